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
series times strictly increase (``eob``, or ``created_at``).  Prices are
positive, volumes whole numbers from 0 to 2**53 - 1, amounts (given, or
price * volume) finite; a symbol holds no NUL and encodes as UTF-8.
"""

import array
import csv
import ctypes
import datetime
import gc
import itertools
import math
import operator
import os
import re
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

from vq.csdk.rules import frequency as frequency_rule
from vq.csdk.rules import times

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
    return frequency_rule.bar_seconds(f) is not None


def _seconds(value: Any, is_end: bool) -> int:
    """Naive market-local seconds since 1970-01-01; ValueError when not a time."""
    if isinstance(value, datetime.datetime):
        if value.tzinfo is not None:
            raise ValueError("%s has a time zone; market times are naive local times" % value)
        return times.to_seconds(value)
    if isinstance(value, datetime.date):
        value = value.isoformat()
    if not isinstance(value, str):
        raise ValueError("%r is not a time" % (value,))
    return times.seconds(value, is_end)


_MAX_VOLUME = 2**53  # the largest whole number a double holds with all below it


def _short(value: Any) -> str:
    """repr, cut short for the giant ints an error may quote."""
    if isinstance(value, int) and abs(value) >= 10**30:  # repr may refuse, or fill a page
        return "an int of %d bits" % value.bit_length()
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _too_big(volume: Any) -> bool:
    """Whether a whole number given as int or text is 2**53 or more, which
    its float may hide by rounding down."""
    if isinstance(volume, str):
        try:
            volume = int(volume.strip())
        except ValueError:
            return False
    return isinstance(volume, int) and volume >= _MAX_VOLUME


def _number(value: Any) -> float:
    if isinstance(value, bool):
        raise ValueError("%r is not a number" % (value,))
    if isinstance(value, int):
        try:
            x = float(value)
        except OverflowError:
            raise ValueError("%s is too large for a float" % _short(value)) from None
    elif isinstance(value, float):
        x = value
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


def _symbol_problem(sym: str) -> Optional[str]:
    """Why the market cannot take sym as a symbol, or None."""
    if sym != sym.strip() or "," in sym:
        return "%r cannot be subscribed (blanks at an end, or a comma)" % sym
    if "\0" in sym:
        return "%r holds a NUL character" % sym
    try:
        sym.encode("utf-8")
    except UnicodeEncodeError as exc:
        return "%r cannot be encoded as UTF-8 (%s)" % (sym, exc.reason)
    return None


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
        problem = _symbol_problem(sym)
        if problem:
            raise fail("symbol", problem)
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
            raw = get("volume")
            x = num("volume")
            # the market keeps volumes as doubles too: below 2**53 every
            # whole number survives the trip, above it some do not
            if x < 0 or x != int(x) or x >= _MAX_VOLUME or _too_big(raw):
                raise fail(
                    "volume",
                    "a volume is a whole number from 0 to 2**53 - 1, not %s" % _short(raw),
                )
            return int(x)

        def product(p: float, v: int) -> float:
            amount = p * v
            if not math.isfinite(amount):
                raise fail("amount", "price %r x volume %d is too large for a float" % (p, v))
            return amount

        if freq == "tick":
            end = begin = when("created_at", True)
            time_col = "created_at"
            p = price("price")
            o = h = lo = c = p
            vol = volume()
            amount = product(p, vol)
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
            amount = num("amount") if row.get("amount") not in (None, "") else product(c, vol)
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
    reader = _Reader(frequency, symbols)  # checks frequency= first
    fast = _Columns(frequency, symbol, reader.symbols).load(paths)
    if fast is not None:
        return fast
    # Anything the column-wise reader does not take plainly, a fault
    # included, is read again row by row: that names the fault exactly.
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


_CHUNK = 4096  # rows converted at a time: bounded memory, few Python-level steps
# "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS", space or T, nothing else:
# times that datetime.fromisoformat reads the way _seconds does
_PLAIN_TIME = "[0-9]{4}-[0-9]{2}-[0-9]{2}[ T][0-9]{2}:[0-9]{2}(?::[0-9]{2})?"
_PLAIN_TIMES = re.compile("(?:%s\n)*%s" % (_PLAIN_TIME, _PLAIN_TIME))
_SECOND = datetime.timedelta(seconds=1)
_FLOAT_COLUMNS = ("open", "high", "low", "close", "price", "amount")


class _Plain(Exception):
    """The data need the row-by-row reader."""


def _plain_times(column: Sequence[str]) -> "array.array[int]":
    """Seconds of a column of plain times (see _PLAIN_TIME)."""
    if not _PLAIN_TIMES.fullmatch("\n".join(column)):
        raise _Plain
    parsed = map(datetime.datetime.fromisoformat, column)
    deltas = map(operator.sub, parsed, itertools.repeat(times.EPOCH))
    return array.array("q", map(operator.floordiv, deltas, itertools.repeat(_SECOND)))


def _floats(column: Sequence[str], positive: bool) -> "array.array[float]":
    values = array.array("d", map(float, column))
    # a sum that is not finite: a value that is not, or (rarely) an overflow
    # of the sum alone, which the row-by-row reader then finds to be fine
    if values and (not math.isfinite(sum(values)) or (positive and min(values) <= 0)):
        raise _Plain
    return values


def _columns(header: List[str], rows: List[List[str]]) -> Dict[str, Sequence[str]]:
    return dict(zip(header, zip(*rows)))


class _Columns:
    """The CSV reader for data as they usually come: a few thousand rows
    at a time, a column at a time, with C-level loops.  Whatever it does not
    take plainly (a fault, a blank cell, a quoted or odd field) makes it
    give up (None), and the row-by-row reader reads everything again."""

    def __init__(self, frequency: Optional[str], symbol: Optional[str], symbols: Any):
        self.frequency, self.symbol, self.symbols = frequency, symbol, symbols
        self.series: Dict[Tuple[str, str], Series] = {}

    def load(self, paths: Sequence[PathLike]) -> Optional[List[Series]]:
        if self.frequency is None:
            return None
        # Nothing made here can form a cycle: the collector, run for every
        # few hundred rows' lists and tuples, would only cost time.
        collecting = gc.isenabled()
        gc.disable()
        try:
            for p in paths:
                self.file(os.fspath(p))
        except (_Plain, ValueError, TypeError, OverflowError, csv.Error, OSError):
            return None  # UnicodeDecodeError is a ValueError
        finally:
            if collecting:
                gc.enable()
        return list(self.series.values())

    def file(self, path: str) -> None:
        with open(path, newline="", encoding="utf-8-sig") as f:
            rows = csv.reader(f)
            header = next(rows)
            if header != [h.strip() for h in header] or len(set(header)) != len(header):
                raise _Plain
            need = TICK_REQUIRED if self.frequency == "tick" else BAR_REQUIRED
            if "frequency" in header or not set(need) <= set(header):
                raise _Plain
            if "symbol" not in header:
                fixed = _csv_symbol(path, self.symbol)
                if not fixed:
                    raise _Plain
            while True:
                chunk = list(itertools.islice(rows, _CHUNK))
                if not chunk:
                    return
                if set(map(len, chunk)) != {len(header)}:
                    raise _Plain  # short, long or blank rows
                source = os.path.basename(path)
                if "symbol" not in header:
                    self.chunk(source, fixed, _columns(header, chunk))
                    continue
                at = header.index("symbol")
                # each symbol with the place of its first row
                names = {
                    n: i for i, n in enumerate(dict.fromkeys(map(operator.itemgetter(at), chunk)))
                }
                if len(names) == 1:
                    groups = [(next(iter(names)), chunk)]
                elif len(names) <= 8:  # a pass over the rows per symbol
                    groups = [
                        (n, list(itertools.compress(chunk, map(operator.eq, map(
                            operator.itemgetter(at), chunk), itertools.repeat(n)))))
                        for n in names
                    ]  # fmt: skip
                else:  # a stable sort keeps each symbol's rows in order
                    chunk.sort(key=operator.itemgetter(at))
                    by = itertools.groupby(chunk, operator.itemgetter(at))
                    groups = sorted(((n, list(g)) for n, g in by), key=lambda g: names[g[0]])
                for sym, rows_of in groups:
                    self.chunk(source, sym, _columns(header, rows_of))

    def chunk(self, source: str, sym: str, columns: Dict[str, Sequence[str]]) -> None:
        """Rows of one symbol, as columns."""
        if not sym or _symbol_problem(sym):
            raise _Plain
        if self.symbols is not None and sym not in self.symbols:
            raise _Plain
        tick = self.frequency == "tick"
        values: Dict[str, Any] = {}
        if tick:
            values["eob"] = values["bob"] = _plain_times(columns["created_at"])
            price = values["close"] = _floats(columns["price"], True)
            values["open"] = values["high"] = values["low"] = price
        else:
            values["eob"] = _plain_times(columns["eob"])
            values["bob"] = _plain_times(columns["bob"]) if "bob" in columns else values["eob"]
            for name in ("open", "high", "low", "close"):
                values[name] = _floats(columns[name], True)
            o, h, lo, c = (values[n] for n in ("open", "high", "low", "close"))
            if not (
                all(map(operator.le, values["bob"], values["eob"]))
                and all(map(operator.le, lo, o))
                and all(map(operator.le, lo, c))
                and all(map(operator.le, o, h))
                and all(map(operator.le, c, h))
            ):
                raise _Plain
        volume = _floats(columns["volume"], False)
        if min(volume) < 0 or max(volume) >= _MAX_VOLUME or not all(map(float.is_integer, volume)):
            raise _Plain
        if not tick and "amount" in columns:
            amount = _floats(columns["amount"], False)
            if min(amount) < 0:
                raise _Plain
        else:
            amount = array.array("d", map(operator.mul, values["close"], volume))
            if not all(map(math.isfinite, amount)):
                raise _Plain
        values["amount"] = amount
        values["volume"] = array.array("q", map(int, volume))
        key = (sym, self.frequency or "")
        s = self.series.get(key)
        if s is None:
            s = self.series[key] = Series(sym, key[1], source)
        start = max(len(s) - 1, 0)  # the new rows and the one before them
        for name, _ in _COLUMNS:
            getattr(s, name).extend(values[name])
        eob = s.eob
        if not all(map(operator.lt, eob[start:], itertools.islice(eob, start + 1, None))):
            raise _Plain


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


_COLUMNS = (("bob", "q"), ("eob", "q"), ("open", "d"), ("high", "d"), ("low", "d"),
            ("close", "d"), ("volume", "q"), ("amount", "d"))  # fmt: skip


def _feed_arguments(s: Series) -> Tuple[Any, ...]:
    """The market's arguments for s, after every check the market makes
    itself, so that once all series pass none is refused."""

    def fail(column: Optional[str], message: str) -> ReplayError:
        return ReplayError(s.origin, None, column, "%r: %s" % (s, message))

    if not isinstance(s.symbol, str) or not s.symbol:
        raise fail("symbol", "missing symbol")
    problem = _symbol_problem(s.symbol)
    if problem:
        raise fail("symbol", problem)
    if not isinstance(s.frequency, str) or not _valid_frequency(s.frequency):
        raise fail("frequency", "not a frequency the market takes (tick, 1d, <N>s)")
    n = len(s.eob)
    if n > 2**31 - 1:
        raise fail(None, "at most 2**31 - 1 rows per series")
    columns = []
    for name, code in _COLUMNS:
        column = getattr(s, name)
        if not isinstance(column, array.array) or column.typecode != code or len(column) != n:
            raise fail(name, "not an array.array(%r) of %d items" % (code, n))
        columns.append(_address(column))
    eob = s.eob
    if any(a >= b for a, b in zip(eob, eob[1:])):
        raise fail("eob", "times are not increasing")
    return (s.symbol.encode("utf-8"), s.frequency.encode("ascii"), n, *columns)


def feed(series: Iterable[Series]) -> None:
    """Hand checked series to the market: each replaces the random walk
    (and any earlier replay) for its symbol and frequency until reset()
    or clear_replay().  All or nothing: every series is checked first."""
    calls = [_feed_arguments(s) for s in series]
    for args in calls:
        if _feed(*args) != 0:  # cannot happen once the checks passed
            raise RuntimeError("the market refused %r %r" % args[:2])


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
