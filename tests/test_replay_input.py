"""Bad replay input: every kind gets a ReplayError naming where (file or
"rows", line or item, column or key), and the market keeps exactly what it
had before the call, an earlier replay of the same series included."""

import array
import os
import sys
from unittest import mock

import pytest
from helpers import backtest_config
from hypothesis import given, settings
from hypothesis import strategies as st

import vq.csdk.testing as kit
from vq.csdk import c_sdk
from vq.csdk.testing import replay
from vq.csdk.testing.replay import feed

BAR = {"eob": "2024-01-02 10:30", "open": 10, "high": 11, "low": 9, "close": 10, "volume": 100}
HEADER = "symbol,eob,open,high,low,close,volume\n"
NEWER = "E.1,2024-01-02 10:30,10,99,9,88,100\n"  # what a half-load would leave for E.1


def rows_call(bad):
    """replay_rows of E.1's newer bar, then the bad one (item 1)."""
    rows = [dict(BAR, symbol="E.1", high=99, close=88), dict(BAR, **dict({"symbol": "B.1"}, **bad))]
    return lambda tmp_path: kit.replay_rows(rows, frequency="3600s")


def csv_call(name, text):
    """replay_csv of a file with E.1's newer bar, then the bad file."""

    def call(tmp_path):
        good = tmp_path / "good.csv"
        good.write_text(HEADER + NEWER)
        bad = os.path.join(os.fsencode(str(tmp_path)), name)
        with open(bad, "w") as f:
            f.write(text)
        return kit.replay_csv(str(good), os.fsdecode(bad), frequency="3600s")

    return call


CASES = [
    ("int too large for a float", rows_call({"open": 10**400}), "rows", 1, "open"),
    ("volume too large for a float", rows_call({"volume": 10**400}), "rows", 1, "volume"),
    ("int volume above 2**53", rows_call({"volume": 2**53 + 1}), "rows", 1, "volume"),
    ("lone surrogate in the symbol", rows_call({"symbol": "B\ud800"}), "rows", 1, "symbol"),
    ("NUL inside the symbol", rows_call({"symbol": "B\0C"}), "rows", 1, "symbol"),
    ("symbol starting with NUL", rows_call({"symbol": "\0B"}), "rows", 1, "symbol"),
    (
        "close x volume overflows",
        rows_call({"open": 1e300, "high": 1e300, "low": 1, "close": 1e300, "volume": 10**10}),
        "rows",
        1,
        "amount",
    ),
    (
        "volume text above 2**53",
        csv_call(b"bad.csv", HEADER + "B.1,2024-01-02 10:30,10,11,9,10,9007199254740993\n"),
        "bad.csv",
        2,
        "volume",
    ),
    (
        "file name not UTF-8",
        csv_call(b"\xff.csv", "eob,open,high,low,close,volume\n2024-01-02 10:30,10,11,9,10,1\n"),
        os.fsdecode(b"\xff.csv"),
        2,
        "symbol",
    ),
]


@pytest.mark.parametrize(
    ("call", "source", "line", "column"), [pytest.param(*c[1:], id=c[0]) for c in CASES]
)
def test_bad_input_is_named_and_leaves_the_market_as_it_was(
    vq_standin, tmp_path, call, source, line, column
):
    kit.replay_rows(
        [dict(BAR, high=80, close=77)], frequency="3600s", symbol="E.1"
    )  # the earlier replay
    with pytest.raises(kit.ReplayError) as info:
        call(tmp_path)
    err = info.value
    assert (err.source, err.line, err.column) == (source, line, column)
    assert str(err).startswith(source)
    bars = run_market("E.1,B.1")
    # E.1: the earlier replay, untouched; B.1: still the random walk's 4 hours
    assert [b for b in bars if b'"E.1"' in b] == [bars[0]]
    assert b'"close":77,' in bars[0]
    assert len([b for b in bars if b'"B.1"' in b]) == 4


def run_market(symbols):
    """The bar payloads of a market run over 2024-01-02."""
    kit.market(True)
    seen = []
    c_sdk.py_vqi_set_data_callback(lambda t, p: seen.append((t, p)))
    try:
        assert backtest_config(c_sdk, "2024-01-02", "2024-01-02") == 0
        c_sdk.py_vqi_unsubscribe("*", "*")
        assert c_sdk.py_vqi_subscribe(symbols, "3600s", False) == 0
        assert c_sdk.py_vqi_run() == 0
    finally:
        c_sdk.py_vqi_set_data_callback(None)
    return [p for t, p in seen if t == "bar"]


def test_series_edited_after_loading_are_checked_before_anything_is_fed(vq_standin):
    kit.replay_rows([dict(BAR, high=80, close=77)], frequency="3600s", symbol="E.1")
    newer = kit.load_rows([dict(BAR, high=99, close=88)], frequency="3600s", symbol="E.1")
    bad = kit.load_rows([BAR, dict(BAR, eob="2024-01-02 11:30")], frequency="3600s", symbol="B")
    bad[0].eob[1] = bad[0].eob[0]
    with pytest.raises(kit.ReplayError, match="times are not increasing") as info:
        feed(newer + bad)
    assert (info.value.source, info.value.column) == ("rows", "eob")
    (bar,) = run_market("E.1")
    assert b'"close":77,' in bar


# ---- the stand-in's plain reader gives what the row-by-row one gives ------------------------

GOOD_FILES = {
    "bars, symbols interleaved": [
        ("a.csv", "symbol,bob,eob,open,high,low,close,volume,amount\n"
         + "".join("S%d,2024-01-0%d 09:30,2024-01-0%dT10:30:00,10,11,9,10.5,%d,1e3\n"
                   % (k % 11, 2 + i % 5, 2 + i % 5, 100 + k) for i in range(5)
                   for k in range(11 * i, 11 * i + 11)))
    ],
    "bars, no symbol column, no bob or amount, two files": [
        ("X.1.csv", "eob,open,high,low,close,volume\n2024-01-02 10:30,10,11,9,10.5,3\n"),
        ("more.csv", "symbol,eob,open,high,low,close,volume\nX.1,2024-01-03 10:30,1,1,1,1,0\n"),
    ],
    "ticks with extra columns": [
        ("t.csv", "note,created_at,price,volume,amount\nx,2024-01-02 09:30:03,5.5,100,1\n"
         "y,2024-01-02 09:30:06,6,2.0,-1\n"),
    ],
    "bars: BOM, CRLF, blank lines, bare dates, empty bob and amount, odd numbers": [
        ("B.2.csv", "\ufeffeob,bob,open,high,low,close,volume,amount,note\r\n"
         "2024-02-28,,+1.5,2.25e0,.5,1.,1e3,,\u00e9t\u00e9\r\n\r\n"
         "2024-02-29 15:00,2024-02-29,0.1,0.3,0.1,0.2,-0,7.25,\r\n"
         "1969-12-31 23:59:59,,1,1,1,1,9007199254740991,,x\n"
         .replace("1969-12-31 23:59:59", "2024-03-01 00:00:01")),
    ],
    "bars, fields quoted whole, a comma inside quotes": [
        ("q.csv", '"symbol","eob","open","high","low","close","volume","note"\n'
         '"Q.1","2024-01-02 10:30","10",11,9,"10.5",3,"a, b"\n'
         'Q.1,2024-01-03 10:30,10,11,9,10.5,"",""\n'.replace(',"",""', ',4,""')),
    ],
    "bars, long file": [
        ("L.csv", "eob,open,high,low,close,volume\n"
         + "".join("%04d-%02d-%02d 10:30,%r,%r,%r,%r,%d\n"
                   % (1900 + i // 336, 1 + i // 28 % 12, 1 + i % 28, 10 + i / 7, 11 + i / 7,
                      9 + i / 7, 10.1 + i / 7, i) for i in range(30000))),
    ],
}  # fmt: skip
FREQUENCY = {"ticks with extra columns": "tick"}


def contents(series):
    return [
        (s.symbol, s.frequency, s.origin, [list(getattr(s, c)) for c, _ in replay._COLUMNS])
        for s in series
    ]


def write_files(tmp_path, files):
    paths = []
    for file_name, text in files:
        paths.append(str(tmp_path / file_name))
        with open(paths[-1], "w", encoding="utf-8", newline="") as f:
            f.write(text)
    return paths


@pytest.mark.parametrize("name", sorted(GOOD_FILES))
def test_plain_reader_matches_row_reader(tmp_path, monkeypatch, name):
    paths = write_files(tmp_path, GOOD_FILES[name])
    frequency = FREQUENCY.get(name, "3600s")
    fast = replay.load_csv(*paths, frequency=frequency)
    assert all(s._loaded for s in fast)  # the plain reader took it
    monkeypatch.setattr(replay, "_load_plain", lambda *args: None)
    assert contents(fast) == contents(replay.load_csv(*paths, frequency=frequency))


LEFT_TO_THE_ROW_READER = {
    "doubled quote in a quoted field": 'S,"2024-01-02 10:30""",10,11,9,10,1\n',
    "quote inside a field": 'S,2024-01-02 10:30,1"0,11,9,10,1\n',
    "text after a closing quote": 'S,"2024-01-02 10:30"x,10,11,9,10,1\n',
    "line break inside quotes": 'S,"2024-01-02\n10:30",10,11,9,10,1\n',
    "blank around a number": "S,2024-01-02 10:30, 10,11,9,10,1\n",
    "underscore in a number": "S,2024-01-02 10:30,1_0,11,9,10,1\n",
    "seconds missing their colon": "S,2024-01-02 10:3000,10,11,9,10,1\n",
    "a lone CR": "S,2024-01-02 10:30,10,11,9,10,1\rS,2024-01-03 10:30,10,11,9,10,1\n",
    "a symbol with a blank at its end": "S ,2024-01-02 10:30,10,11,9,10,1\n",
    "a non-ASCII symbol": "\u00c9,2024-01-02 10:30,10,11,9,10,1\n",
    "whitespace-only line": "S,2024-01-02 10:30,10,11,9,10,1\n  \n",
}


@pytest.mark.parametrize("name", sorted(LEFT_TO_THE_ROW_READER))
def test_data_the_plain_reader_leaves_to_the_row_reader(tmp_path, name):
    (path,) = write_files(tmp_path, [("f.csv", HEADER + LEFT_TO_THE_ROW_READER[name])])
    assert replay._load_plain([path], "3600s", None, None) is None


def test_loaded_columns_are_read_only_views_that_outlive_the_market(vq_standin, tmp_path):
    (path,) = write_files(tmp_path, GOOD_FILES["bars, long file"])
    (s,) = kit.replay_csv(path, frequency="3600s", symbol="V.1")
    closes = s.close
    assert isinstance(closes, memoryview)
    assert closes.format == "d"
    if sys.version_info >= (3, 8):
        with pytest.raises(TypeError):
            closes[0] = 1.0
    kit.clear_replay()
    del s
    assert closes[29999] == 10.1 + 29999 / 7  # the view keeps the data alive


def test_loaded_series_edited_or_renamed_are_fed_as_edited(vq_standin, tmp_path):
    (path,) = write_files(tmp_path, [("f.csv", HEADER + NEWER)])
    (s,) = replay.load_csv(path, frequency="3600s")
    s.symbol = "E.2"  # the stand-in's columns, under another name
    (t,) = replay.load_csv(path, frequency="3600s")
    t.close = array.array("d", [77.0])  # one column replaced: copied like any array
    t.high = array.array("d", [80.0])
    feed([s, t])
    assert b'"close":88,' in run_market("E.2")[0]
    assert b'"close":77,' in run_market("E.1")[0]


def test_symbols_and_paths_are_not_cut_at_a_nul(tmp_path):
    (path,) = write_files(tmp_path, [("f.csv", HEADER + "A,2024-01-02 10:30,10,11,9,10,1\n")])
    with pytest.raises(kit.ReplayError, match="unknown symbol 'A'"):
        replay.load_csv(path, frequency="3600s", symbols=["A\0B"])
    with pytest.raises(ValueError, match="null"):
        replay.load_csv(path + "\0.txt", frequency="3600s")


# ---- the plain reader against the row reader, on files made to be awkward --------------------


# Good rows written in the many ways both readers take alike, with now and
# then a cell that one or both refuse or read differently.
def spellings(x):
    return [repr(float(x)), "%g" % x, "+%r" % float(x), "%.3e" % x, "%r" % x]


GOOD = {
    "open": spellings(10), "high": spellings(11), "low": spellings(9), "close": spellings(10.5),
    "price": spellings(10.5), "amount": [*spellings(1050), ""], "volume": ["100", "1e2", "100.0"],
    "symbol": ["A", "B.1", "a b"], "extra": ["", "x", "\u00e9", "\\N", "a\tb"],
}  # fmt: skip
BAD = {
    "time": ["2023-02-29 09:00", "2024-01-02 24:00", " 2024-01-02 10:30", "2024-1-02 10:30",
             "0000-01-01", "", "2024-01-02 10:30:60", "\u0662024-01-02", "2024-01-02 "],
    "number": ["-1", "0", "1_0", " 10", "inf", "nan", "1e400", "1e-400", "0x10", "",
               "10\u00a0", "1.5", "9007199254740992", "-0", "12"],
    "symbol": ["A ", " A", "", "\u00c9", "A\u3000", '"A"'],
}  # fmt: skip
COLUMN_SETS = [
    ("symbol", "bob", "eob", "open", "high", "low", "close", "volume", "amount", "extra"),
    ("eob", "open", "high", "low", "close", "volume"),
    ("symbol", "created_at", "price", "volume", "extra"),
]


def times(day):
    return ["2024-01-%02d 10:30" % day, "2024-01-%02dT10:30:00" % day, "2024-01-%02d" % day]


@st.composite
def awkward_files(draw):
    columns = draw(st.sampled_from(COLUMN_SETS))
    lines = [",".join(columns)]
    for day in range(2, 2 + draw(st.integers(0, 6))):
        row = []
        for c in columns:
            if c in ("bob", "eob", "created_at"):
                good = times(day) if c != "bob" else ["", "2024-01-%02d" % day]
                kind = "time"
            else:
                good, kind = GOOD[c], "symbol" if c == "symbol" else "number"
            bad = BAD.get(kind, [])
            cell = draw(st.sampled_from(good + bad) if draw(st.integers(0, 9)) == 0 and bad
                        else st.sampled_from(good))  # fmt: skip
            row.append('"%s"' % cell if draw(st.integers(0, 4)) == 0 else cell)
        lines.append(",".join(row))
    ends = draw(st.sampled_from(["\n", "\r\n", "\r"]))
    text = ends.join(lines) + draw(st.sampled_from(["", ends, ends + ends]))
    if draw(st.booleans()):
        text = "\ufeff" + text
    frequency = "tick" if "price" in columns else draw(st.sampled_from(["3600s", "60s", "1d"]))
    return text, frequency


def row_reader_result(path, frequency):
    with mock.patch.object(replay, "_load_plain", return_value=None):
        try:
            return contents(replay.load_csv(path, frequency=frequency, symbol="F.1"))
        except kit.ReplayError as exc:
            return exc


@settings(max_examples=300, deadline=None, database=None)
@given(awkward_files())
def test_plain_reader_takes_only_what_the_row_reader_reads_alike(tmp_path_factory, case):
    text, frequency = case
    path = str(tmp_path_factory.mktemp("awkward") / "f.csv")
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    plain = replay._load_plain([path], frequency, "F.1", None)
    if plain is not None:
        assert contents(plain) == row_reader_result(path, frequency)
