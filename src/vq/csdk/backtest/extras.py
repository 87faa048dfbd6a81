"""Optional dependencies (the package's extras) and the hint for a missing one."""

import importlib

from vq.csdk.backtest.errors import BacktestError

__all__ = ["hint", "need"]

_WHAT = {"plot": "matplotlib", "sweep": "dask[distributed]"}


def hint(extra: str) -> str:
    """How to install an extra, from a checkout as well as from an index."""
    package = _WHAT[extra]
    return "pip install '%s' (from a checkout of vq also: pip install '.[%s]')" % (package, extra)


def need(extra: str, module: str) -> None:
    """BacktestError with the install hint unless ``module`` imports."""
    try:
        importlib.import_module(module)
    except ImportError:
        raise BacktestError("%s needs %s: %s" % (extra, module, hint(extra))) from None
