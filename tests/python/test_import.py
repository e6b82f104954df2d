"""Importing the workbench (and its Dask layer) loads neither the chart
libraries nor shap, scikit-learn, SciPy or Dask; every name of its module body is still there when
asked for.  Each check runs in a fresh interpreter, since the suite itself
has long loaded all of them."""

import json
import os
import subprocess
import sys

HEAVY = ("shap", "matplotlib", "sklearn", "scipy", "flaml", "lightgbm", "dask", "distributed")


def run(code):
    env = dict(os.environ)
    env.pop("MPLBACKEND", None)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.strip().splitlines()[-1])


def test_heavy_libraries_load_on_first_use():
    result = run(f"""
import json, sys
import brinvale.brinvale as bv
import brinvale.tavrin as tv
import brinvale.tessel
before = sorted(m for m in {HEAVY!r} if m in sys.modules)
import shap, matplotlib.pyplot, sklearn.model_selection, sklearn.preprocessing, scipy.stats
from module.util import report
from brinvale.brinvale import shap as lazy_shap, plt as lazy_plt, plot_kde
same = [lazy_shap is shap, lazy_plt is matplotlib.pyplot, bv.plt is matplotlib.pyplot,
        plot_kde is report.plot_kde,
        all(getattr(bv, n) is getattr(report, n) for n in ("plot_confusion_matrix",
            "plot_regression_results", "plot_roc_curve", "plot_trends", "plot_box", "plot_kde")),
        tv.KFold is sklearn.model_selection.KFold, tv.stats is scipy.stats,
        tv.LabelEncoder is sklearn.preprocessing.LabelEncoder,
        "shap" in vars(bv)]
print(json.dumps([before, same, "shap" in dir(bv), "TruncatedSVD" in dir(tv)]))
""")
    before, same, listed, listed_tv = result
    assert before == []
    assert all(same), same
    assert listed and listed_tv


def test_chart_fonts_apply_when_matplotlib_loads_later():
    fonts = run("""
import json
import brinvale.brinvale
import matplotlib
print(json.dumps([matplotlib.rcParams["font.sans-serif"], matplotlib.rcParams["axes.unicode_minus"]]))
""")
    assert fonts == [["SimHei"], False]
    # loaded before the workbench: set at once
    fonts = run("""
import json
import matplotlib.pyplot as plt
import brinvale.brinvale
print(json.dumps([plt.rcParams["font.sans-serif"], plt.rcParams["axes.unicode_minus"]]))
""")
    assert fonts == [["SimHei"], False]


def test_missing_library_fails_where_it_is_used():
    result = run("""
import json, sys
sys.modules["shap"] = None   # as if shap were not installed
import brinvale.brinvale as bv
errors = []
try:
    bv.shap
except ImportError as e:
    errors.append("attr")
try:
    from brinvale.brinvale import shap
except ImportError:
    errors.append("from")
try:
    bv.no_such_name
except AttributeError as e:
    errors.append(str(e))
print(json.dumps([errors, bv.np.__name__]))
""")
    errors, np_name = result
    assert errors == ["attr", "from", "module 'brinvale.brinvale' has no attribute 'no_such_name'"]
    assert np_name == "numpy"
