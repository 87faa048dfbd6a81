"""Local worker processes of a sweep.

The trading library is one per process (one registered callable, one
account), so parallel backtests are parallel processes.  Each worker runs
one backtest at a time; each backtest configures, subscribes and runs
afresh, which resets the library's account and market."""

import concurrent.futures as cf
import multiprocessing
import signal
import threading
from typing import Any, Callable, Mapping, Optional, Tuple

from vq.csdk.backtest.result import SweepFailure
from vq.csdk.runner import hold_signal, signal_name

__all__ = ["Job", "pool_of", "run_job", "submit_spawning"]

# (config, strategy factory, params): what a worker receives
Job = Tuple[Any, Callable[..., Any], Mapping[str, Any]]

_library_lock = threading.Lock()  # threads of one Dask worker take turns
# the signal a worker process has seen: a backtest it has not started yet
# is then not run
_worker_signal: Optional[str] = None


def run_job(job: Job) -> Any:
    """One backtest in this process: its BacktestResult, None when a signal
    came before it started, or a SweepFailure with the parameters."""
    global _worker_signal
    from vq.csdk.backtest.engine import run

    config, factory, params = job
    with _library_lock:
        if _worker_signal is not None:
            return None
        try:
            # SIGTERM is the pool's to end a worker with, even mid-run: a
            # worker that outlived it would keep a broken pool waiting
            result = run(config, factory, params, signals=(signal.SIGINT,))
        except Exception as e:  # reported with the parameters, never lost
            return SweepFailure(dict(params), "%s: %s" % (type(e).__name__, e))
        if result.interrupted:
            _worker_signal = result.interrupted
        return result


def _note_signal(signum: int, frame: Any) -> None:
    global _worker_signal
    _worker_signal = signal_name(signum)
    hold_signal(signum)  # a backtest starting just now stops at once


def _init_worker() -> None:
    # Between backtests a worker notes SIGINT (sent by Ctrl-C to the whole
    # process group, or forwarded by the parent) and runs no more; during
    # one, its Runner stops it cleanly.  SIGTERM keeps its default, so that
    # the pool can still terminate its workers.
    signal.signal(signal.SIGINT, _note_signal)
    # the parent spawned this process with SIGINT blocked (submit_spawning):
    # one forwarded while it started is pending, and lands here
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def submit_spawning(pool: cf.Executor, fn: Callable[..., Any], *args: Any) -> "cf.Future[Any]":
    """pool.submit, with SIGINT blocked in this thread meanwhile: a worker
    process that the call spawns inherits the mask, so a SIGINT forwarded
    while the worker is still starting waits for its handler instead of
    ending it with a traceback."""
    saved = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        return pool.submit(fn, *args)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, saved)


def pool_of(workers: int) -> cf.ProcessPoolExecutor:
    # spawned, not forked: each worker starts from a fresh interpreter and
    # loads its own library, whatever the parent holds
    return cf.ProcessPoolExecutor(
        max_workers=workers,
        mp_context=multiprocessing.get_context("spawn"),
        initializer=_init_worker,
    )
