"""Parameter sweeps of the demo strategy.

The trading library is one per process (one registered callable, one
account), so parallel backtests are parallel processes:

- locally, a standard-library process pool; each worker process runs one
  backtest at a time, and every backtest configures, subscribes and runs
  afresh, which resets the library's account and market;
- on a Dask cluster (``--scheduler``, needs ``dask.distributed``), each
  backtest is a task in a worker process; a lock keeps two threads of one
  worker process from sharing its library at once.

A backtest that fails is reported with its parameters; the others' results
are kept.  A worker process that dies is replaced and its backtest retried
once on its own, so the one that killed it is the one reported.
"""

import concurrent.futures as cf
import multiprocessing
import os
import signal
import sys
import threading
import time
from concurrent.futures.process import BrokenProcessPool

from vq.csdk import demo
from vq.csdk.runner import catch_signals, signal_name

_library_lock = threading.Lock()


# the signal a worker process has seen: a backtest it has not started yet
# is then not run
_worker_signal = None


def run_one(params):
    """One backtest in this process: its public result, None when a signal
    came before it started, or a record of the failure with the
    parameters."""
    global _worker_signal
    with _library_lock:
        if _worker_signal is not None:
            return None
        try:
            result = demo.public(demo.backtest(params))
        except Exception as e:  # reported with the parameters, never lost
            return failure(params, "%s: %s" % (type(e).__name__, e))
        if result["interrupted"]:
            _worker_signal = result["interrupted"]
        return result


def failure(params, error):
    return {"short": params["short"], "long": params["long"], "error": error}


def _note_signal(signum, frame):
    global _worker_signal
    _worker_signal = signal_name(signum)


def _init_worker():
    # Between backtests a worker notes SIGINT (sent by Ctrl-C to the whole
    # process group, or forwarded by the parent), and runs no more; during
    # one, its Runner stops it cleanly.  SIGTERM keeps its default, so that
    # the pool can still terminate its workers.
    signal.signal(signal.SIGINT, _note_signal)
    # the parent spawned this process with SIGINT blocked (submit_spawning):
    # one forwarded while it started is pending, and lands here
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def submit_spawning(pool, fn, *args):
    """pool.submit, with SIGINT blocked in this thread meanwhile: a worker
    process that the call spawns inherits the mask, so a SIGINT forwarded
    while the worker is still starting waits for its handler instead of
    ending it with a traceback.  A SIGINT for this process waits the same
    few moments."""
    saved = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        return pool.submit(fn, *args)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, saved)


def pool_of(workers):
    # spawned, not forked: each worker starts from a fresh interpreter and
    # loads its own library, whatever the parent holds
    return cf.ProcessPoolExecutor(
        max_workers=workers,
        mp_context=multiprocessing.get_context("spawn"),
        initializer=_init_worker,
    )


def sort_key(r):
    failed = "error" in r or r.get("total_return") is None
    return (failed, -(r.get("total_return") or 0.0), r["short"], r["long"])


class Sweep:
    """Runs the backtests of ``params`` with ``task`` (run_one, or any
    picklable function of the same contract) and collects their results."""

    def __init__(self, params, task=run_one):
        self.params = params
        self.task = task
        self.results = []
        self.signum = None
        self.t0 = time.monotonic()

    def on_signal(self, signum):
        if self.signum is None:
            self.signum = signum
            print("sweep: %s, stopping" % signal_name(signum), file=sys.stderr, flush=True)
        # pool workers stop their running backtest and run no more; SIGINT,
        # as SIGTERM would kill an idle worker and with it the pool
        for child in multiprocessing.active_children():
            try:
                os.kill(child.pid, signal.SIGINT)
            except OSError:
                pass

    def progress(self, r):
        self.results.append(r)
        n, total = len(self.results), len(self.params)
        what = (
            "FAILED: %s" % r["error"]
            if "error" in r
            else "return %s, %d trades" % (demo.pct(r["total_return"]), r["trades"])
        )
        print(
            "[%d/%d %.1fs] MA %d/%d: %s"
            % (n, total, time.monotonic() - self.t0, r["short"], r["long"], what),
            file=sys.stderr,
            flush=True,
        )

    def collect(self, submit, params, in_flight, poll=0.1):
        """Run ``params`` through ``submit`` (params -> future) with at most
        ``in_flight`` futures pending, reporting each result as it comes;
        after a signal nothing more is submitted.  Returns the params whose
        worker process died."""
        todo, pending, dead = list(params), {}, []
        cancelled = False
        while todo or pending:
            while todo and len(pending) < in_flight and self.signum is None:
                p = todo.pop(0)
                try:
                    pending[submit(p)] = p
                except BrokenProcessPool:  # a worker died: the rest go to the retry
                    dead += [p, *todo]
                    todo = []
            for f in [f for f in pending if f.done()]:
                p = pending.pop(f)
                if f.cancelled():
                    continue
                try:
                    r = f.result()
                except BrokenProcessPool:
                    dead.append(p)
                except Exception as e:  # a task's own failure (Dask)
                    self.progress(failure(p, "%s: %s" % (type(e).__name__, e)))
                else:
                    if r is not None:
                        if r.get("interrupted") and self.signum is not None:
                            r["interrupted"] = signal_name(self.signum)  # the sweep's signal
                        self.progress(r)
            if self.signum is not None:
                todo = []
                if not cancelled:
                    cancelled = True
                    for f in pending:
                        f.cancel()
            time.sleep(poll)
        return dead

    def run_local(self, workers):
        with pool_of(workers) as pool:
            dead = self.collect(lambda p: submit_spawning(pool, self.task, p), self.params, workers)
        for p in dead:  # one at a time, each in a pool of its own
            if self.signum is not None:
                break
            with pool_of(1) as pool:
                if self.collect(lambda p: submit_spawning(pool, self.task, p), [p], 1):
                    self.progress(failure(p, "the worker process died"))

    def run_dask(self, address):
        from distributed import Client

        with Client(address, timeout="30s") as client:
            self.collect(
                lambda p: client.submit(self.task, p, pure=False), self.params, len(self.params)
            )


def print_table(results):
    head = "%6s %6s %9s %9s %9s %7s %7s %7s %7s %12s  %s" % (
        "short",
        "long",
        "return",
        "annual",
        "max dd",
        "sharpe",
        "trades",
        "win",
        "orders",
        "commission",
        "status",
    )
    print(head)
    for r in results:
        if "error" in r:
            print("%6d %6d  FAILED: %s" % (r["short"], r["long"], r["error"]))
            continue
        print(
            "%6d %6d %9s %9s %9s %7s %7d %7s %7d %12.2f  %s"
            % (
                r["short"],
                r["long"],
                demo.pct(r["total_return"]),
                demo.pct(r["annual_return"]),
                demo.pct(r["max_drawdown"]),
                demo.num(r["sharpe"]),
                r["trades"],
                demo.pct(r["win_rate"]),
                r["orders"],
                r["commission"],
                "interrupted" if r["interrupted"] else "ok",
            )
        )
    sys.stdout.flush()


def main(args):
    """The demo's --sweep: run, print the table, write --output; the exit status."""
    if args.scheduler:
        try:
            import distributed  # noqa: F401
        except ImportError:
            print(
                "--scheduler needs dask.distributed: pip install 'vq[sweep]'",
                file=sys.stderr,
            )
            return 2
    params = [demo.params_of(args, s, lg) for s, lg in args.pairs]
    where = (
        "Dask scheduler %s" % args.scheduler
        if args.scheduler
        else "%d worker processes" % (min(args.workers, len(params)))
    )
    print("sweep of %d backtests on %s" % (len(params), where), flush=True)
    sweep = Sweep(params)
    with catch_signals(sweep.on_signal):
        if args.scheduler:
            sweep.run_dask(args.scheduler)
        else:
            sweep.run_local(min(args.workers, len(params)))
        results = sorted(sweep.results, key=sort_key)
        done = {(r["short"], r["long"]) for r in results}
        missing = [(p["short"], p["long"]) for p in params if (p["short"], p["long"]) not in done]
        print_table(results)
        if sweep.signum is not None:
            print(
                "interrupted by %s: %d of %d backtests not run%s"
                % (
                    signal_name(sweep.signum),
                    len(missing),
                    len(params),
                    "".join(" %d/%d" % m for m in missing),
                )
            )
        if args.output:
            demo.write_json(args.output, results)
    if sweep.signum is not None:
        return 128 + sweep.signum
    return 1 if any("error" in r for r in results) else 0
