"""Replay of the user's own bars or ticks on the stand-in's offline market.

Data come from CSV files or from Python iterables of mappings.  Everything
is read and checked here first; the first fault raises ReplayError naming
the file (or "rows"), the line (or item) and the column, and then nothing
at all has been handed to the market.  Checked series are handed over in
one go and replace what the market had for the same symbol and frequency.

Columns (CSV header names, or mapping keys; other columns are ignored):

=============  ==========================================================
bars           ``eob``, ``open``, ``high``, ``low``, ``close``, ``volume``;
               optional ``bob`` (default: the row's ``eob``) and
               ``amount`` (default: close * volume)
ticks          ``created_at``, ``price``, ``volume`` (the trade's shares)
either         optional ``symbol`` and ``frequency``
=============  ==========================================================

Without a ``symbol`` column the symbol is the ``symbol=`` argument, or for
a CSV file its name less ``.csv`` (``SHSE.600000.csv``).  Without a
``frequency`` column it is the ``frequency=`` argument: ``tick``, ``1d``
or ``<N>s`` as the market subscribes them.  Times take the forms the
market takes: ``YYYY-MM-DD``, ``YYYY-MM-DD HH:MM`` or ``YYYY-MM-DD
HH:MM:SS`` (space or ``T``); a bare date means 00:00:00 as ``bob`` and
23:59:59 as ``eob`` or ``created_at``.  Mappings may also hold
``datetime.datetime`` / ``datetime.date`` values and numbers.  Within a
series times strictly increase (``eob``, or ``created_at``).
"""

import array
import csv
import ctypes
import datetime
import math
import os
import re
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

from . import _controls

__all__ = [
    "ReplayError",
    "Series",
    "clear_replay",
    "feed",
    "load_csv",
    "load_rows",
    "replay_csv",
    "replay_rows",
]

PathLike = Union[str, "os.PathLike[str]"]

BAR_REQUIRED = ("eob", "open", "high", "low", "close", "volume")
TICK_REQUIRED = ("created_at", "price", "volume")

_TIME = re.compile(r"^ *(\d{4})-(\d\d)-(\d\d)(?:[ T] *(?:(\d\d):(\d\d)(?::(\d\d))?)?)? *$")
_EPOCH = datetime.datetime(1970, 1, 1)
_MAX_SECONDS = 4 * 3600


class ReplayError(ValueError):
    """Bad replay data: where (source, line or item, column) and what."""

    def __init__(self, source: str, line: Optional[int], column: Optional[str], message: str):
        self.source, self.line, self.column = source, line, column
        where = [source]
        if line is not None:
            where.append(("line %d" if source != "rows" else "item %d") % line)
        if column is not None:
            where.append(("column %r" if source != "rows" else "key %r") % column)
        super().__init__("%s: %s" % (", ".join(where), message))


class Series:
    """One symbol's checked rows at one frequency, as the market takes them."""

    def __init__(self, symbol: str, frequency: str, origin: str):
        self.symbol, self.frequency, self.origin = symbol, frequency, origin
        self.bob, self.eob, self.volume = array.array("q"), array.array("q"), array.array("q")
        self.open, self.high, self.low = array.array("d"), array.array("d"), array.array("d")
        self.close, self.amount = array.array("d"), array.array("d")
        self.last_where: Tuple[str, Optional[int]] = (origin, None)

    def __len__(self) -> int:
        return len(self.eob)

    def __repr__(self) -> str:
        return "Series(%r, %r, %d rows from %s)" % (
            self.symbol,
            self.frequency,
            len(self),
            self.origin,
        )


def _valid_frequency(f: str) -> bool:
    if f in ("tick", "1d", "86400s"):
        return True
    m = re.match(r"^([0-9]+)s$", f)
    return m is not None and 0 < int(m.group(1)) <= _MAX_SECONDS and int(m.group(1)) % 3 == 0


def _seconds(value: Any, is_end: bool) -> int:
    """Naive market-local seconds since 1970-01-01; ValueError when not a time."""
    if isinstance(value, datetime.datetime):
        if value.tzinfo is not None:
            raise ValueError("%s has a time zone; market times are naive local times" % value)
        return (value.replace(microsecond=0) - _EPOCH) // datetime.timedelta(seconds=1)
    if isinstance(value, datetime.date):
        value = value.isoformat()
    if not isinstance(value, str):
        raise ValueError("%r is not a time" % (value,))
    m = _TIME.match(value)
    if not m:
        raise ValueError("%r is not a time (YYYY-MM-DD[ HH:MM[:SS]])" % value)
    y, mo, d, h, mi, s = (int(g) if g else None for g in m.groups())
    try:
        day = datetime.date(y, mo, d)  # type: ignore[arg-type]
        clock = datetime.time(h or 0, mi or 0, s or 0)
    except ValueError as exc:
        raise ValueError("%r is not a time (%s)" % (value, exc)) from None
    t = (day.toordinal() - _EPOCH.toordinal()) * 86400
    t += clock.hour * 3600 + clock.minute * 60 + clock.second
    if h is None and is_end:
        t += 86399
    return t


def _number(value: Any) -> float:
    if isinstance(value, bool):
        raise ValueError("%r is not a number" % (value,))
    if isinstance(value, (int, float)):
        x = float(value)
    elif isinstance(value, str):
        try:
            x = float(value.strip())
        except ValueError:
            raise ValueError("%r is not a number" % value) from None
    else:
        raise ValueError("%r is not a number" % (value,))
    if not math.isfinite(x):
        raise ValueError("%r is not a finite number" % (value,))
    return x


class _Reader:
    """Checks rows one by one into series keyed by (symbol, frequency)."""

    def __init__(self, frequency: Optional[str], symbols: Optional[Iterable[str]]):
        if frequency is not None and not _valid_frequency(frequency):
            raise ValueError(
                "frequency %r is not one the market takes (tick, 1d, <N>s)" % frequency
            )
        self.frequency = frequency
        self.symbols = None if symbols is None else set(symbols)
        self.series: Dict[Tuple[str, str], Series] = {}

    def check_columns(
        self, source: str, line: Optional[int], columns: Sequence[str], symbol: Optional[str]
    ) -> None:
        """Missing columns are an error even before the first row."""
        kinds = {self.frequency} if self.frequency else set()
        if "frequency" not in columns and not self.frequency:
            raise ReplayError(
                source, line, "frequency", "no frequency column and no frequency= given"
            )
        if "symbol" not in columns and not symbol:
            raise ReplayError(source, line, "symbol", "no symbol column and no symbol= given")
        for kind in kinds:
            need = TICK_REQUIRED if kind == "tick" else BAR_REQUIRED
            for col in need:
                if col not in columns:
                    raise ReplayError(
                        source,
                        line,
                        col,
                        "missing column (%s data need %s)"
                        % ("tick" if kind == "tick" else "bar", ", ".join(need)),
                    )

    def add(self, source: str, line: int, row: Mapping[str, Any], symbol: Optional[str]) -> None:
        def fail(col: Optional[str], msg: str) -> ReplayError:
            return ReplayError(source, line, col, msg)

        def get(col: str) -> Any:
            v = row.get(col)
            if v is None or (isinstance(v, str) and not v.strip()):
                raise fail(col, "missing value" if col in row else "missing column")
            return v

        sym = row.get("symbol", symbol) if row.get("symbol") not in (None, "") else symbol
        if not isinstance(sym, str) or not sym:
            raise fail("symbol", "missing symbol")
        if sym != sym.strip() or "," in sym:
            raise fail("symbol", "%r cannot be subscribed (blanks at an end, or a comma)" % sym)
        if self.symbols is not None and sym not in self.symbols:
            raise fail(
                "symbol",
                "unknown symbol %r (expected one of %s)" % (sym, ", ".join(sorted(self.symbols))),
            )
        freq = row.get("frequency")
        if freq in (None, ""):
            freq = self.frequency
        if not isinstance(freq, str) or not _valid_frequency(freq.strip()):
            raise fail(
                "frequency", "%r is not a frequency the market takes (tick, 1d, <N>s)" % (freq,)
            )
        freq = freq.strip()
        if self.frequency and freq != self.frequency:
            raise fail("frequency", "%r differs from frequency=%r" % (freq, self.frequency))

        def num(col: str) -> float:
            try:
                return _number(get(col))
            except ValueError as exc:
                raise fail(col, str(exc)) from None

        def when(col: str, is_end: bool) -> int:
            try:
                return _seconds(get(col), is_end)
            except ValueError as exc:
                raise fail(col, str(exc)) from None

        def price(col: str) -> float:
            x = num(col)
            if x <= 0:
                raise fail(col, "a price must be positive, not %r" % x)
            return x

        def volume() -> int:
            x = num("volume")
            if x < 0 or x != int(x) or x >= 2**63:
                raise fail("volume", "a volume is a whole number >= 0, not %r" % row.get("volume"))
            return int(x)

        if freq == "tick":
            end = begin = when("created_at", True)
            time_col = "created_at"
            p = price("price")
            o = h = lo = c = p
            vol = volume()
            amount = p * vol
        else:
            time_col = "eob"
            end = when("eob", True)
            begin = when("bob", False) if row.get("bob") not in (None, "") else end
            if begin > end:
                raise fail("bob", "bob %r comes after eob %r" % (row.get("bob"), row.get("eob")))
            o, h, lo, c = price("open"), price("high"), price("low"), price("close")
            if not lo <= min(o, c) or not max(o, c) <= h:
                raise fail(
                    "high" if h < max(o, c) else "low",
                    "low %r <= open %r, close %r <= high %r does not hold" % (lo, o, c, h),
                )
            vol = volume()
            amount = num("amount") if row.get("amount") not in (None, "") else c * vol
            if amount < 0:
                raise fail("amount", "an amount must be >= 0, not %r" % amount)

        s = self.series.get((sym, freq))
        if s is None:
            s = self.series[(sym, freq)] = Series(sym, freq, source)
        elif end <= s.eob[-1]:
            prev_source, prev_line = s.last_where
            prev = (
                "%s line %s" % (prev_source, prev_line)
                if prev_source != source
                else "line %s" % prev_line
            )
            raise fail(
                time_col,
                "times of %s %s are not increasing: %r is not after the row at %s"
                % (sym, freq, row.get(time_col), prev),
            )
        s.bob.append(begin)
        s.eob.append(end)
        s.open.append(o)
        s.high.append(h)
        s.low.append(lo)
        s.close.append(c)
        s.volume.append(vol)
        s.amount.append(amount)
        s.last_where = (source, line)

    def done(self) -> List[Series]:
        return list(self.series.values())


def _csv_symbol(path: str, symbol: Optional[str]) -> str:
    if symbol:
        return symbol
    base = os.path.basename(path)
    return base[:-4] if base.lower().endswith(".csv") else base


def load_csv(
    *paths: PathLike,
    frequency: Optional[str] = None,
    symbol: Optional[str] = None,
    symbols: Optional[Iterable[str]] = None,
) -> List[Series]:
    """Read and check CSV files (columns in the module's docstring) into
    series, without handing them to the market.  symbols, if given, lists
    the only symbols the data may name."""
    reader = _Reader(frequency, symbols)
    for p in paths:
        path = os.fspath(p)
        source = os.path.basename(path)
        try:
            f = open(path, newline="", encoding="utf-8-sig")
        except OSError as exc:
            raise ReplayError(source, None, None, "cannot be read (%s)" % exc.strerror) from None
        with f:
            rows = csv.reader(f)
            try:
                header = [h.strip() for h in next(rows)]
            except StopIteration:
                raise ReplayError(source, 1, None, "empty file, no header line") from None
            except (csv.Error, UnicodeDecodeError) as exc:
                raise ReplayError(source, 1, None, "not CSV (%s)" % exc) from None
            dup = {h for h in header if header.count(h) > 1}
            if dup:
                raise ReplayError(source, 1, sorted(dup)[0], "column named twice in the header")
            file_symbol = _csv_symbol(path, symbol) if "symbol" not in header else symbol
            reader.check_columns(source, 1, header, file_symbol)
            try:
                for fields in rows:
                    line = rows.line_num
                    if not fields or all(not x.strip() for x in fields):
                        continue
                    if len(fields) != len(header):
                        raise ReplayError(
                            source,
                            line,
                            None,
                            "%d fields where the header has %d" % (len(fields), len(header)),
                        )
                    reader.add(source, line, dict(zip(header, fields)), file_symbol)
            except (csv.Error, UnicodeDecodeError) as exc:
                raise ReplayError(source, rows.line_num, None, "not CSV (%s)" % exc) from None
    return reader.done()


def load_rows(
    rows: Iterable[Mapping[str, Any]],
    frequency: Optional[str] = None,
    symbol: Optional[str] = None,
    symbols: Optional[Iterable[str]] = None,
) -> List[Series]:
    """Check an iterable of mappings (keys as the CSV columns) into series,
    without handing them to the market.  Errors name the item (from 0)."""
    reader = _Reader(frequency, symbols)
    for i, row in enumerate(rows):
        if not isinstance(row, Mapping):
            raise ReplayError("rows", i, None, "%s is not a mapping" % type(row).__name__)
        if i == 0:
            reader.check_columns("rows", i, list(row), symbol)
        reader.add("rows", i, row, symbol)
    return reader.done()


_feed = _controls._declare(
    "vqstub_market_feed",
    ctypes.c_int,
    ctypes.c_char_p,
    ctypes.c_char_p,
    ctypes.c_int,
    *([ctypes.c_void_p] * 8),
)


def _address(a: "array.array[Any]") -> Optional[int]:
    return a.buffer_info()[0] if len(a) else None


def feed(series: Iterable[Series]) -> None:
    """Hand checked series to the market: each replaces the random walk
    (and any earlier replay) for its symbol and frequency until reset()
    or clear_replay()."""
    todo = list(series)
    for s in todo:
        if len(s) > 2**31 - 1:
            raise ValueError("%r: at most 2**31 - 1 rows per series" % s)
    done: List[Series] = []
    for s in todo:
        columns = (s.bob, s.eob, s.open, s.high, s.low, s.close, s.volume, s.amount)
        rc = _feed(
            s.symbol.encode("utf-8"),
            s.frequency.encode("ascii"),
            len(s),
            *[_address(c) for c in columns],
        )
        if rc != 0:
            for d in done:  # leave nothing of this call behind
                _feed(d.symbol.encode("utf-8"), d.frequency.encode("ascii"), 0, *[None] * 8)
            raise ValueError("the market refused %r" % s)
        done.append(s)


def clear_replay(symbol: Optional[str] = None, frequency: Optional[str] = None) -> None:
    """Forget replayed data (of one symbol and frequency): the random walk
    serves it again.  reset() forgets all of it too."""
    if symbol is None or frequency is None:
        rc = _feed(None, None, 0, *[None] * 8)
    else:
        rc = _feed(symbol.encode("utf-8"), frequency.encode("ascii"), 0, *[None] * 8)
    if rc != 0:
        raise ValueError(
            "the market refused to forget replayed data of %r %r" % (symbol, frequency)
        )


def replay_csv(
    *paths: PathLike,
    frequency: Optional[str] = None,
    symbol: Optional[str] = None,
    symbols: Optional[Iterable[str]] = None,
) -> List[Series]:
    """load_csv, then feed: all files are checked before anything is fed."""
    series = load_csv(*paths, frequency=frequency, symbol=symbol, symbols=symbols)
    feed(series)
    return series


def replay_rows(
    rows: Iterable[Mapping[str, Any]],
    frequency: Optional[str] = None,
    symbol: Optional[str] = None,
    symbols: Optional[Iterable[str]] = None,
) -> List[Series]:
    """load_rows, then feed."""
    series = load_rows(rows, frequency=frequency, symbol=symbol, symbols=symbols)
    feed(series)
    return series
