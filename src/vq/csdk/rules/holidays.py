"""Trading days: weekdays that are not holidays.  A holiday file has one
date ``YYYY-MM-DD`` a line; ``#`` starts a comment and blank lines are
ignored.  The offline market reads its list from the environment variable
``VQ_STANDIN_HOLIDAYS`` (dates separated by commas or blanks) at each
backtest configuration; without it the default applies, the same every
year: 1 January, 1-3 May and 1-7 October."""

import datetime
from typing import Iterable, List, Optional, Sequence

__all__ = ["ENV", "env_value", "is_default_holiday", "read", "trading_days"]

ENV = "VQ_STANDIN_HOLIDAYS"


def read(path: str) -> List[str]:
    """The sorted dates of a holiday file; ValueError naming the bad line,
    OSError when the file cannot be read."""
    dates = set()
    with open(path) as f:
        for n, line in enumerate(f, 1):
            text = line.split("#", 1)[0].strip()
            if not text:
                continue
            try:
                datetime.datetime.strptime(text, "%Y-%m-%d")
            except ValueError:
                raise ValueError(
                    "%s line %d: %r is not a date YYYY-MM-DD" % (path, n, text)
                ) from None
            dates.add(text)
    return sorted(dates)


def env_value(dates: Sequence[str]) -> str:
    """The text of the environment variable that gives the market ``dates``."""
    return ",".join(dates)


def is_default_holiday(day: datetime.date) -> bool:
    return (day.month, day.day) == (1, 1) or (
        (day.month == 5 and day.day <= 3) or (day.month == 10 and day.day <= 7)
    )


def trading_days(
    first: datetime.date, last: datetime.date, holidays: Optional[Iterable[str]] = None
) -> List[datetime.date]:
    """The days from ``first`` to ``last`` the market trades on: weekdays not
    in ``holidays`` (None: the default list)."""
    listed = None if holidays is None else set(holidays)
    days, day = [], first
    while day <= last:
        off = is_default_holiday(day) if listed is None else day.isoformat() in listed
        if day.weekday() < 5 and not off:
            days.append(day)
        day += datetime.timedelta(days=1)
    return days
