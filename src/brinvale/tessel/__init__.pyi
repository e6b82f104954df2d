"""Scoring a Dask DataFrame partition by partition with the feature engine of
one machine, every whole-frame quantity computed over all partitions first."""

from typing import TYPE_CHECKING, Literal

from .brinvale import tabular_incrml

if TYPE_CHECKING:  # Dask is an optional dependency (brinvale[dask])
    import dask.array as _da
    import dask.dataframe as _dd

def preprocess(obj: tabular_incrml, ddf: _dd.DataFrame, return_y: bool = False) -> _dd.DataFrame: ...
def predict(
    obj: tabular_incrml, ddf: _dd.DataFrame, method: Literal["predict", "predict_proba"] = "predict"
) -> _da.Array: ...
