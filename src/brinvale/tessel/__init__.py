"""Scoring a Dask DataFrame partition by partition with the feature engine of
one machine, every whole-frame quantity computed over all partitions first.

Dask is imported when one of these functions is called, never with the
package: brinvale works without it.
"""

__all__ = ["predict", "preprocess"]


def preprocess(obj, ddf, return_y=False):
    """The preprocessing of `obj` (a loaded result folder) applied to a Dask
    DataFrame: a Dask DataFrame in the input's row order, every value the one
    the whole frame gives on one machine.  Whole-frame quantities are computed
    on the active scheduler when this is called."""
    from ._driver import Run

    return Run(obj, ddf, return_y).preprocess()


def predict(obj, ddf, method="predict"):
    """The model's predict or predict_proba over a Dask DataFrame: a Dask
    array in the input's row order."""
    if method not in ("predict", "predict_proba"):
        raise ValueError("method must be 'predict' or 'predict_proba'")
    from ._driver import Run

    return Run(obj, ddf, True).predict(method)
