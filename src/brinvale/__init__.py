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


# Settings that belong to a library loaded on first use (the chart fonts of
# Matplotlib) are applied right after that library's first import: the finder
# below lets the real finders locate the module and runs the callbacks once
# its body has executed.
class _AfterImportLoader(importlib.abc.Loader):
    def __init__(self, loader, callbacks, requeue):
        self._loader = loader
        self._callbacks = callbacks
        self._requeue = requeue

    def create_module(self, spec):
        return self._loader.create_module(spec)

    def exec_module(self, module):
        # The module keeps its real loader (resource readers, reloads).
        module.__loader__ = self._loader
        if module.__spec__ is not None:
            module.__spec__.loader = self._loader
        try:
            self._loader.exec_module(module)
        except BaseException:
            # a failed import leaves the settings for the next attempt
            self._requeue(self._callbacks)
            raise
        for callback in self._callbacks:
            callback(module)

    def __getattr__(self, name):
        return getattr(self._loader, name)


class _AfterImportFinder(importlib.abc.MetaPathFinder):
    def __init__(self):
        self.pending = {}

    def find_spec(self, fullname, path=None, target=None):
        if fullname not in self.pending:
            return None
        for finder in sys.meta_path:
            if finder is self or not hasattr(finder, "find_spec"):
                continue
            spec = finder.find_spec(fullname, path, target)
            if spec is not None:
                break
        else:
            return None
        if spec.loader is None or not hasattr(spec.loader, "exec_module"):
            return spec
        callbacks = self.pending.pop(fullname)
        spec.loader = _AfterImportLoader(
            spec.loader, callbacks, lambda cbs: self.pending.setdefault(fullname, []).extend(cbs)
        )
        return spec


def _after_import(name, callback):
    """Call callback(module) once the top-level module `name` is imported: at
    once if it already is, else right after its first import completes."""
    module = sys.modules.get(name)
    if module is not None:
        callback(module)
        return
    finder = next((f for f in sys.meta_path if isinstance(f, _AfterImportFinder)), None)
    if finder is None:
        finder = _AfterImportFinder()
        sys.meta_path.insert(0, finder)
    finder.pending.setdefault(name, []).append(callback)
