"""The market's rules (vq.csdk.rules) agree with the stand-in's own checks:
the same cases go to both."""

import datetime

import pytest
from test_demo import Events

from vq.csdk.rules import frequency, holidays, symbols, times

TIMES = [
    ("2024-01-02", True),
    ("2024-01-02 09:30", True),
    ("2024-01-02 09:30:15", True),
    ("2024-01-02T09:30:15", True),
    ("  2024-01-02 09:30  ", True),
    ("2024-01-02 ", True),  # the clock may be left out after the separator
    ("2024-02-29", True),
    ("2023-02-29", False),
    ("2024-13-01", False),
    ("2024-01-02 24:00", False),
    ("2024-01-02 09:60", False),
    ("2024-01-02 9:30", False),
    ("2024-1-2", False),
    ("02/01/2024", False),
    ("yesterday", False),
    ("", False),
    ("2024-01-02 09:30:15.5", False),
]


@pytest.mark.parametrize(("text", "ok"), TIMES)
def test_times_agree_with_the_market(mod, lib, text, ok):
    lib.market(True)
    try:
        times.parse(text)
        ours = True
    except ValueError:
        ours = False
    theirs = mod.py_vqi_set_backtest_config(text, "2030-01-01", 1e6, 1, 0, 0, 0, 0, 0, 0, 0, 0)
    assert (ours, theirs == 0) == (ok, ok)
    if not ok:
        assert theirs == 1001


@pytest.mark.parametrize(
    ("text", "end", "seconds"),
    [
        ("2024-01-02", False, 0),
        ("2024-01-02", True, 86399),
        ("2024-01-02 09:30", True, 9 * 3600 + 1800),
        ("2024-01-02T00:00:01", False, 1),
    ],
)
def test_a_bare_date_is_its_first_or_last_second(text, end, seconds):
    assert times.seconds(text, end) - times.seconds("2024-01-02") == seconds


FREQUENCIES = [
    ("tick", 0), ("1d", 86400), ("86400s", 86400), ("3s", 3), ("60s", 60), ("14400s", 14400),
    ("7s", None), ("0s", None), ("14403s", None), ("1m", None), ("60", None), ("", None),
    (" 60s", None), ("060s", 60), ("1D", None),
]  # fmt: skip


@pytest.mark.parametrize(("text", "seconds"), FREQUENCIES)
def test_bar_lengths_agree_with_the_market(mod, lib, text, seconds):
    lib.market(True)
    assert frequency.bar_seconds(text) == seconds
    status = mod.py_vqi_subscribe("SHSE.600000", text, True)
    assert status == (0 if seconds is not None else 1002)
    if seconds is None:
        with pytest.raises(ValueError, match="frequency"):
            frequency.check(text)


def test_seven_seconds_is_refused_for_its_reason():
    with pytest.raises(ValueError, match="7 seconds is not a multiple of 3"):
        frequency.check("7s")


@pytest.mark.parametrize(
    "listed",
    [None, ("2024-10-02", "2024-10-03"), ()],
)
def test_trading_days_agree_with_the_market(mod, lib, monkeypatch, listed):
    lib.market(True)
    if listed is None:
        monkeypatch.delenv(holidays.ENV, raising=False)
    else:
        monkeypatch.setenv(holidays.ENV, holidays.env_value(listed))
    events = Events(mod)
    assert (
        mod.py_vqi_set_backtest_config("2024-09-20", "2024-10-15", 1e6, 1, 0, 0, 0, 0, 0, 0, 0, 0)
        == 0
    )
    assert mod.py_vqi_subscribe("SHSE.600000", "1d", True) == 0
    assert mod.py_vqi_run() == 0
    market_days = [b["eob"][:10] for b in events.of("bar")]
    ours = holidays.trading_days(datetime.date(2024, 9, 20), datetime.date(2024, 10, 15), listed)
    assert [d.isoformat() for d in ours] == market_days


def test_a_holiday_file_names_its_bad_line(tmp_path):
    f = tmp_path / "days.txt"
    f.write_text("# off\n2024-01-03\n\n2024-01-03  # twice\n2024-01-01\n")
    assert holidays.read(str(f)) == ["2024-01-01", "2024-01-03"]
    f.write_text("2024-01-03\n03/01/2024\n")
    with pytest.raises(ValueError, match=r"days\.txt line 2: '03/01/2024'"):
        holidays.read(str(f))


def test_symbols_outside_the_walk():
    names = symbols.split(" SHSE.600000 ,SZSE.000001,,NOT A SYMBOL;DROP, SHSE.6000")
    assert names == ["SHSE.600000", "SZSE.000001", "NOT A SYMBOL;DROP", "SHSE.6000"]
    assert symbols.outside_walk(names) == ["NOT A SYMBOL;DROP", "SHSE.6000"]
