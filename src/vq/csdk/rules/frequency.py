"""Bar lengths as the market subscribes them: ``tick`` (one trade every
three seconds), ``1d`` or ``86400s`` (daily bars), or ``<N>s`` with N a
multiple of 3 from 3 to 14400 (intraday bars)."""

import re
from typing import Optional

__all__ = ["DAILY", "FORMS", "MAX_SECONDS", "STEP", "bar_seconds", "check"]

STEP = 3  # seconds between two trades of the walk
MAX_SECONDS = 4 * 3600  # an intraday bar is at most the whole session
DAILY = ("1d", "86400s")
FORMS = "'Ns' for N-second bars (N a multiple of %d up to %d, e.g. 60s, 300s), '1d' or 'tick'" % (
    STEP,
    MAX_SECONDS,
)

_BAR = re.compile(r"^([0-9]+)s$")


def bar_seconds(frequency: str) -> Optional[int]:
    """Seconds of one bar (86400 for daily bars), 0 for ticks; None when the
    market does not take ``frequency``."""
    if frequency == "tick":
        return 0
    if frequency in DAILY:
        return 86400
    m = _BAR.match(frequency) if isinstance(frequency, str) else None
    if m is None:
        return None
    n = int(m.group(1))
    return n if 0 < n <= MAX_SECONDS and n % STEP == 0 else None


def check(frequency: str) -> str:
    """``frequency`` itself, or ValueError saying why the market refuses it."""
    if bar_seconds(frequency) is not None:
        return frequency
    m = _BAR.match(frequency) if isinstance(frequency, str) else None
    if m is not None and int(m.group(1)) % STEP:
        why = "%s seconds is not a multiple of %d" % (m.group(1), STEP)
    elif m is not None:
        why = "bars are 3 to %d seconds long" % MAX_SECONDS
    else:
        why = "use %s" % FORMS
    raise ValueError("frequency %r: %s" % (frequency, why))
