"""Symbols.  The offline market's random walk serves any name (its seed and
starting price come from the name), but documents only exchange symbols
``SHSE.<6 digits>`` and ``SZSE.<6 digits>``: anything else gets prices all
the same, which a backtest should say rather than pass off as a market."""

import re
from typing import Iterable, List

__all__ = ["WALK_FORM", "outside_walk", "split"]

WALK_FORM = "SHSE.NNNNNN or SZSE.NNNNNN"
_WALK = re.compile(r"^(SHSE|SZSE)\.\d{6}$")


def split(text: str) -> List[str]:
    """The names of a comma-separated list, blanks around them dropped."""
    return [s.strip() for s in text.split(",") if s.strip()]


def outside_walk(symbols: Iterable[str]) -> List[str]:
    """The symbols outside the walk's documented set."""
    return [s for s in symbols if not _WALK.match(s)]
