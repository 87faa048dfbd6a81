"""Bad replay input: every kind gets a ReplayError naming where (file or
"rows", line or item, column or key), and the market keeps exactly what it
had before the call, an earlier replay of the same series included."""

import os

import pytest
from helpers import backtest_config

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


# ---- the column-wise CSV reader gives what the row-by-row one gives -------------------------

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
}  # fmt: skip
FREQUENCY = {"ticks with extra columns": "tick"}


def contents(series):
    return [
        (s.symbol, s.frequency, s.origin, [list(getattr(s, c)) for c, _ in replay._COLUMNS])
        for s in series
    ]


@pytest.mark.parametrize("name", sorted(GOOD_FILES))
def test_column_reader_matches_row_reader(tmp_path, monkeypatch, name):
    paths = []
    for file_name, text in GOOD_FILES[name]:
        (tmp_path / file_name).write_text(text)
        paths.append(str(tmp_path / file_name))
    frequency = FREQUENCY.get(name, "3600s")
    taken = []
    real = replay._Columns.load
    monkeypatch.setattr(replay._Columns, "load", lambda self, p: taken.append(real(self, p)))
    replay.load_csv(*paths, frequency=frequency)
    (fast,) = taken
    assert fast  # the column-wise reader took it
    monkeypatch.setattr(replay._Columns, "load", lambda self, p: None)
    assert contents(fast) == contents(replay.load_csv(*paths, frequency=frequency))
