"""Sweeps on a Dask cluster of a scheduler and worker processes on
127.0.0.1: the local results, a bounded wait for a scheduler or for
workers, and a worker lost on the way."""

import contextlib
import json
import os
import subprocess
import sys
import time

import pytest

pytest.importorskip("distributed")

from vq.csdk.backtest import BacktestConfig, BacktestError, BacktestResult, sweep
from vq.csdk.backtest.crossover import Crossover

TESTS = os.path.dirname(os.path.abspath(__file__))
CONFIG = BacktestConfig(start="2023-01-03", end="2023-12-29")
GRID = {"short": [5, 10], "long": [20, 40]}


@contextlib.contextmanager
def cluster(tmp_path, workers=2):
    """A scheduler on 127.0.0.1 and ``workers`` single-threaded worker
    processes (each under a nanny that restarts it); yields the scheduler's
    address.  The Python API, not the dask commands, whose options differ
    between the releases that each interpreter gets."""
    from distributed import Client, LocalCluster

    with LocalCluster(
        n_workers=workers,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address="127.0.0.1:0",  # a free port: other clusters may run beside it
    ) as c:
        if workers:  # all of them in place, so that the sweep sees each one come and go
            with Client(c.scheduler_address) as client:
                client.wait_for_workers(workers, timeout=60)
        yield c.scheduler_address


def test_a_sweep_on_a_dask_cluster_gives_the_local_results(tmp_path):
    local = sweep(CONFIG, Crossover, GRID, workers=2)
    with cluster(tmp_path) as address:
        remote = sweep(CONFIG, Crossover, GRID, scheduler=address)
        # and through the command line
        path = tmp_path / "sweep.json"
        out = subprocess.run(
            [sys.executable, "-m", "vq.csdk.demo", "--sweep", "--start", CONFIG.start,
             "--end", CONFIG.end, "--short", "5,10", "--long", "20,40",
             "--scheduler", address, "--output", str(path)],
            cwd=TESTS, capture_output=True, text=True, timeout=300,
        )  # fmt: skip
    assert remote.where == "Dask scheduler %s" % address
    assert [r.to_dict() for r in remote.results] == [r.to_dict() for r in local.results]
    assert out.returncode == 0, out.stderr
    assert "Dask scheduler" in out.stderr
    assert json.loads(path.read_text()) == [json.loads(r.to_json()) for r in local.results]


@pytest.mark.parametrize(
    ("address", "message"),
    [
        ("tcp://127.0.0.1:9", "cannot reach the Dask scheduler tcp://127.0.0.1:9 within 2s"),
        ("not an address:::", "'not an address:::' is not a Dask scheduler address"),
    ],
)
def test_an_unreachable_scheduler_is_one_line_within_the_timeout(address, message):
    t0 = time.monotonic()
    out = subprocess.run(
        [sys.executable, "-m", "vq.csdk.demo", "--sweep", "--short", "5", "--long", "20",
         "--scheduler", address, "--connect-timeout", "2"],
        cwd=TESTS, capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert out.returncode == 1
    assert out.stderr.count("\n") == 1, out.stderr
    assert message in out.stderr, out.stderr
    assert time.monotonic() - t0 < 30  # 2 s and the start: not the 30 s of old


def test_a_cluster_without_workers_is_reported_and_waited_for_a_bounded_time(tmp_path, capfd):
    with cluster(tmp_path, workers=0) as address:
        t0 = time.monotonic()
        with pytest.raises(
            BacktestError, match=r"no Dask worker joined the scheduler .* within 3s"
        ):
            sweep(CONFIG, Crossover, GRID, scheduler=address, worker_wait=3)
        waited = time.monotonic() - t0
    assert 3 <= waited < 20
    assert "has no worker yet; waiting up to 3s" in capfd.readouterr().err


def test_a_lost_worker_is_named_and_its_backtest_rerun(tmp_path, capfd):
    from strategies import DieOn

    marker = str(tmp_path / "died-once")
    grid = [{"n": 1}, {"n": 2, "marker": marker}, {"n": 3}]
    with cluster(tmp_path) as address:
        swept = sweep(CONFIG, DieOn, grid, scheduler=address)
    assert os.path.exists(marker)  # one worker process died
    assert all(isinstance(r, BacktestResult) for r in swept.results)
    assert sorted(r.params["n"] for r in swept.results) == [1, 2, 3]
    err = capfd.readouterr().err
    assert "left the cluster; its backtests are rerun" in err
    assert "tcp://127.0.0.1:" in err
