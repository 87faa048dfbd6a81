"""Times as the market reads them: ``YYYY-MM-DD``, ``YYYY-MM-DD HH:MM`` or
``YYYY-MM-DD HH:MM:SS``, with a space or a ``T`` between date and clock,
blanks allowed at either end.  A bare date means its first second as a
start and its last second (23:59:59) as an end.  Times are market-local and
have no time zone."""

import datetime
import re

__all__ = ["FORMS", "parse", "seconds", "to_seconds"]

FORMS = "YYYY-MM-DD, 'YYYY-MM-DD HH:MM' or 'YYYY-MM-DD HH:MM:SS' (a T may replace the space)"

# The clock is optional even after the separator: "2024-01-02 " and
# "2024-01-02T" read as the bare date, as the market reads them.
_TIME = re.compile(r"^ *(\d{4})-(\d\d)-(\d\d)(?:[ T] *(?:(\d\d):(\d\d)(?::(\d\d))?)?)? *$")
EPOCH = datetime.datetime(1970, 1, 1)


def parse(text: str, is_end: bool = False) -> datetime.datetime:
    """The naive datetime ``text`` means; ValueError naming the forms when it
    is not one of them."""
    m = _TIME.match(text) if isinstance(text, str) else None
    if not m:
        raise ValueError("%r is not a time: use %s" % (text, FORMS))
    y, mo, d, h, mi, s = (int(g) if g else None for g in m.groups())
    try:
        when = datetime.datetime(y, mo, d, h or 0, mi or 0, s or 0)  # type: ignore[arg-type]
    except ValueError as exc:
        raise ValueError("%r is not a time (%s)" % (text, exc)) from None
    if h is None and is_end:
        when += datetime.timedelta(seconds=86399)
    return when


def to_seconds(when: datetime.datetime) -> int:
    """Seconds since 1970-01-01 of a naive market time, as the market counts."""
    return (when.replace(microsecond=0) - EPOCH) // datetime.timedelta(seconds=1)


def seconds(text: str, is_end: bool = False) -> int:
    """parse(), as seconds since 1970-01-01."""
    return to_seconds(parse(text, is_end))
