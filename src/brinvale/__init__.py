"""brinvale: load tabular AutoML result folders, rebuild engineered features
from their names and predict, with a native feature engine."""

import importlib
import importlib.abc
import importlib.util
import sys

__version__ = "0.1.0"

# The modules of this package import each other by bare names ("tavrin",
# "module.common.quillet") once `brinvale.brinvale` has put the package folder
# on sys.path.  A bare name must give the very same module object as its dotted
# name (one TaskConfig singleton, one class identity for pickles), so bare
# names are served from the dotted modules instead of being loaded twice.
_BARE_NAMES = frozenset(
    {
        "tavrin",
        "module",
        "module.common",
        "module.common.quillet",
        "module.util",
        "module.util.corlet",
        "module.util.report",
        "module.dataprocess",
        "module.dataprocess.dovrel",
        "module.automl",
        "module.automl.flaml",
        "module.automl.flaml.skelby",
    }
)


class _SameModuleLoader(importlib.abc.Loader):
    def __init__(self, dotted):
        self._dotted = dotted

    def create_module(self, spec):
        return importlib.import_module(self._dotted)

    def exec_module(self, module):
        pass


class _BareNameFinder(importlib.abc.MetaPathFinder):
    def find_spec(self, fullname, path=None, target=None):
        if fullname not in _BARE_NAMES:
            return None
        dotted = __name__ + "." + fullname
        real = importlib.util.find_spec(dotted)
        if real is None:
            return None
        return importlib.util.spec_from_loader(
            fullname,
            _SameModuleLoader(dotted),
            is_package=real.submodule_search_locations is not None,
        )


if not any(isinstance(f, _BareNameFinder) for f in sys.meta_path):
    sys.meta_path.insert(0, _BareNameFinder())
