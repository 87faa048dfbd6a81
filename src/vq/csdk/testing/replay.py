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
import math
import operator
import os
import sys
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

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


#: a column of a series: an array, or for series read from plain CSV files
#: a read-only view of the market's own copy
Column = Union["array.array[Any]", memoryview]


class Series:
    """One symbol's checked rows at one frequency, as the market takes them.

    The columns bob, eob, volume (whole numbers) and open, high, low, close,
    amount are ``array.array`` objects, or for series that ``load_csv`` read
    from plain files, read-only memoryviews of the market's own copy, which
    ``feed`` then shares rather than copies."""

    def __init__(self, symbol: str, frequency: str, origin: str):
        self.symbol, self.frequency, self.origin = symbol, frequency, origin
        self.bob: Column = array.array("q")
        self.eob: Column = array.array("q")
        self.volume: Column = array.array("q")
        self.open: Column = array.array("d")
        self.high: Column = array.array("d")
        self.low: Column = array.array("d")
        self.close: Column = array.array("d")
        self.amount: Column = array.array("d")
        self.last_where: Tuple[str, Optional[int]] = (origin, None)
        # (handle, index, views) of a series the stand-in read
        self._loaded: Optional[Tuple[_Loaded, int, Tuple[memoryview, ...]]] = None

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
        self.arrays: Dict[Tuple[str, str], List[array.array[Any]]] = {}

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
            self.arrays[(sym, freq)] = [getattr(s, c) for c, _ in _COLUMNS]
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
        for column, value in zip(self.arrays[(sym, freq)], (begin, end, o, h, lo, c, vol, amount)):
            column.append(value)
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
    names = [os.fspath(p) for p in paths]
    plain = _load_plain(names, frequency, symbol, reader.symbols)
    if plain is not None:
        return plain
    # Anything the plain reader does not take, a fault included, is read
    # again row by row: that names the fault exactly.
    for path in names:
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


# ---- the stand-in's reader for plain files ----------------------------------------------

_COLUMNS = (("bob", "q"), ("eob", "q"), ("open", "d"), ("high", "d"), ("low", "d"),
            ("close", "d"), ("volume", "q"), ("amount", "d"))  # fmt: skip
_CTYPE: Dict[str, Any] = {"q": ctypes.c_longlong, "d": ctypes.c_double}
_native = _controls._f


class _Loaded:
    """The stand-in's handle on the series it read: freed once no series
    and no view of their columns needs it."""

    def __init__(self, handle: int):
        self.handle = handle

    def __del__(self, free: Callable[[int], None] = _native.csv_free) -> None:
        free(self.handle)


def _view(address: Optional[int], n: int, code: str, owner: _Loaded) -> memoryview:
    """A read-only view of n numbers at address, which keeps owner alive."""
    if not n or not address:
        return memoryview(array.array(code))
    cells = (_CTYPE[code] * n).from_address(address)
    cells._owner = owner  # freed after the last view
    view = memoryview(cells).cast("B").cast(code)  # type: ignore[call-overload]
    if sys.version_info >= (3, 8):
        view = view.toreadonly()
    return view  # type: ignore[no-any-return]


def _load_plain(
    paths: Sequence[str], frequency: Optional[str], symbol: Optional[str], symbols: Any
) -> Optional[List[Series]]:
    """The files read by the stand-in into the market's own columns, which
    the series view in place; None when any file holds anything but plain
    data (a fault included), for the careful reader to read again."""
    if frequency is None or frequency != frequency.strip():
        return None
    fixed: List[Optional[bytes]] = []
    for path in paths:
        sym = _csv_symbol(path, symbol)
        ok = sym and not _symbol_problem(sym) and (symbols is None or sym in symbols)
        fixed.append(sym.encode("utf-8") if ok else None)
    # C strings end at a NUL: a path holding one is the careful reader's to
    # refuse, and a symbol holding one (or not encodable) no file can name
    encoded = [os.fsencode(p) for p in paths]
    if any(b"\0" in p for p in encoded):
        return None
    allowed: List[bytes] = []
    for name in symbols or ():
        if isinstance(name, str) and not _symbol_problem(name):
            allowed.append(name.encode("utf-8"))
    c_paths = (ctypes.c_char_p * len(paths))(*encoded)
    c_fixed = (ctypes.c_char_p * len(paths))(*fixed)
    c_allowed = (ctypes.c_char_p * len(allowed))(*allowed)
    handle = _native.csv_load(
        len(paths),
        c_paths,
        c_fixed,
        frequency.encode("ascii"),
        -1 if symbols is None else len(allowed),
        c_allowed,
    )
    if not handle:
        return None
    owner = _Loaded(handle)
    out = []
    name = ctypes.c_char_p()
    file = ctypes.c_int()
    addresses = (ctypes.c_void_p * 8)()
    for i in range(_native.csv_count(handle)):
        n = _native.csv_series(handle, i, ctypes.byref(name), ctypes.byref(file), addresses)
        s = Series(
            (name.value or b"").decode("utf-8"),
            frequency,
            os.path.basename(paths[file.value]),
        )
        views = {c: _view(a, n, code, owner) for (c, code), a in zip(_COLUMNS, addresses)}
        if frequency == "tick":  # a trade is its own bar
            views["bob"] = views["eob"]
            views["open"] = views["high"] = views["low"] = views["close"]
        for c, view in views.items():
            setattr(s, c, view)
        s._loaded = (owner, i, tuple(views.values()))
        out.append(s)
    return out


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


def _feed_call(s: Series) -> Tuple[Tuple[bytes, bytes], Callable[[], int]]:
    """The symbol and frequency of s and the call that feeds it to the
    market, after every check the market makes itself, so that once all
    series pass none is refused."""

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
    name_bytes, frequency_bytes = s.symbol.encode("utf-8"), s.frequency.encode("ascii")
    columns = tuple(getattr(s, name) for name, _ in _COLUMNS)
    if s._loaded is not None and all(map(operator.is_, columns, s._loaded[2])):
        # the stand-in's own columns, read-only and checked as they were read
        owner, index, _ = s._loaded
        return (name_bytes, frequency_bytes), lambda: int(
            _native.market_feed_loaded(owner.handle, index, name_bytes, frequency_bytes)
        )
    arrays = []
    for (name, code), column in zip(_COLUMNS, columns):
        if isinstance(column, memoryview) and column.format == code and column.ndim == 1:
            column = array.array(code, column)  # a loaded column beside edited ones
        if not isinstance(column, array.array) or column.typecode != code or len(column) != n:
            raise fail(name, "not an array.array(%r) of %d items" % (code, n))
        arrays.append(column)
    eob = arrays[1]
    if any(a >= b for a, b in zip(eob, eob[1:])):
        raise fail("eob", "times are not increasing")
    # the call holds the arrays: the addresses are theirs
    return (name_bytes, frequency_bytes), lambda: int(
        _feed(name_bytes, frequency_bytes, n, *map(_address, arrays))
    )


def feed(series: Iterable[Series]) -> None:
    """Hand checked series to the market: each replaces the random walk
    (and any earlier replay) for its symbol and frequency until reset()
    or clear_replay().  All or nothing: every series is checked first."""
    calls = [_feed_call(s) for s in series]
    for names, call in calls:
        if call() != 0:  # cannot happen once the checks passed
            raise RuntimeError("the market refused %r %r" % names)


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
