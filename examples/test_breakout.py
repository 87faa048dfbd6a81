"""Tests of breakout, written as a user would: the strategy backtested and
swept through the API (worker processes, and a Dask cluster on this
machine) and through the command line."""

import json
import os
import subprocess
import sys

import pytest
from breakout import Breakout

from vq.csdk.backtest import BacktestConfig, BacktestResult, Replay, run, sweep

HERE = os.path.dirname(os.path.abspath(__file__))
CONFIG = BacktestConfig(symbols=("SHSE.600000",), start="2023-01-03", end="2023-12-29")
GRID = {"window": [5, 20], "fraction": [0.5, 0.9]}


@pytest.fixture(scope="module")
def offline_children():
    """Worker processes and the command line load the library beside the
    module, not the testing kit's: these tests need that to be the offline
    stand-in too."""
    probe = (
        "from vq.csdk import c_sdk; "
        "print(b'offline stand-in' in (c_sdk.vqi_get_c_version() or b''))"
    )
    out = subprocess.run([sys.executable, "-c", probe], cwd=HERE, stdout=subprocess.PIPE, text=True)
    if out.stdout.strip() != "True":
        pytest.skip("other processes do not load the offline stand-in")


def check(result):
    f = result.figures
    assert result.book_ok
    assert result.interrupted is None
    assert f["fills"] + f["rejected"] == f["orders"] > 0
    # every buy came after a close above the window's highest close: fills
    # alternate buy, sell, buy ...
    assert [x["side"] for x in result.fills] == [1, 2] * (len(result.fills) // 2) + [1] * (
        len(result.fills) % 2
    )


@pytest.mark.vq_market
def test_a_backtest_through_the_api(vq_standin):
    result = run(CONFIG, Breakout, {"window": 10})
    check(result)
    assert result.data_source.startswith("synthetic random walk")
    assert json.loads(result.to_json())["params"] == {"window": 10}


@pytest.mark.vq_market
def test_a_replayed_breakout_buys_at_the_next_open(vq_standin):
    config = CONFIG.replace(
        start="2024-01-01",
        end="2024-01-31",
        data=Replay((os.path.join(HERE, "data", "SHSE.600000.csv"),)),
    )
    result = run(config, Breakout, {"window": 2})
    assert result.data_source.startswith("replayed from ")
    # 01-05 closes at 10.60 above 10.10 and 9.80: bought at 01-08's open
    assert [(x["time"][:10], x["side"]) for x in result.fills][:1] == [("2024-01-08", 1)]


@pytest.mark.vq_market
def test_a_local_sweep_gives_the_single_runs(vq_standin, offline_children):
    swept = sweep(CONFIG, Breakout, GRID, workers=2)
    assert len(swept.results) == 4
    assert swept.exit_status == 0
    best = swept.results[0]
    assert isinstance(best, BacktestResult)
    assert best["total_return"] == max(r["total_return"] for r in swept.results)
    assert run(CONFIG, Breakout, best.params).to_dict() == best.to_dict()


def test_a_sweep_on_a_dask_cluster_on_this_machine(offline_children):
    distributed = pytest.importorskip("distributed")
    local = sweep(CONFIG, Breakout, GRID, workers=2)
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None
    ) as cluster:
        remote = sweep(CONFIG, Breakout, GRID, scheduler=cluster.scheduler_address)
    assert [r.to_dict() for r in remote.results] == [r.to_dict() for r in local.results]


def demo(*args):
    return subprocess.run(
        [sys.executable, "-m", "vq.csdk.demo", "--strategy", "breakout:Breakout", "--symbols", "SHSE.600000", "--start", CONFIG.start, "--end", CONFIG.end, *list(args)],
        cwd=HERE, capture_output=True, text=True,
        timeout=300,
    )  # fmt: skip


@pytest.mark.vq_market
def test_the_command_line_runs_and_sweeps_it(vq_standin, offline_children):
    one = demo("--param", "window=20", "--output", "-")
    assert one.returncode == 0, one.stderr
    assert json.loads(one.stdout) == json.loads(run(CONFIG, Breakout, {"window": 20}).to_json())
    many = demo("--sweep", "--workers", "2", "--param", "window=5,20", "--param", "fraction=0.5")
    assert many.returncode == 0, many.stderr
    assert many.stdout.count("fraction=0.5 window=") == 2
    bad = demo("--param", "window=1")
    assert bad.returncode == 2
    assert "window: a whole number of bars >= 2" in bad.stderr
