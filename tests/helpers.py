"""Helpers shared by the test files: the argument shapes of the callables
(from the contract's table) and odd objects that the conversions meet."""

from typing import NamedTuple, Optional, Tuple

import contract


# What a test needs to call a callable: its parameters and their kinds (see
# contract.py), whether it is adapted, the library function, the order of
# conversion and the library arguments Python cannot set.
class Sig(NamedTuple):
    name: str
    params: Tuple[str, ...]
    kinds: str
    adapted: bool
    lib: Optional[str]
    order: Tuple[int, ...]
    extra: Tuple[str, ...]


# every callable but the support functions
SIGS = [
    Sig(f.name, f.params, f.kinds, f.adapted, f.lib, f.order, f.extra)
    for f in contract.FUNCTIONS
    if f.family != "support"
]


class Boom(ValueError):
    pass


class Int(int):
    pass


def backtest_config(mod, start, end, cash=1e6, commission=0.0, minimum=0.0):
    """Configure a plain backtest (every order filled in full, no slippage,
    no option margins); the library's status."""
    return mod.py_vqi_set_backtest_config(
        start, end, cash, 1.0, commission, minimum, 0.0, 0.0, 0.0, 0, 0, 0
    )
