"""Parameter sweeps: one backtest per combination of parameters, each in a
worker process of this machine or as a task of a Dask cluster.

A backtest that fails is reported with its parameters; the others' results
are kept.  A local worker process that dies is replaced and its backtest
retried once on its own, so the one that killed it is the one reported; a
Dask worker that leaves is named and Dask reruns its backtests."""

import dataclasses
import itertools
import os
import pickle
import signal
import sys
import time
from concurrent.futures.process import BrokenProcessPool
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from vq.csdk.backtest import cluster, pool
from vq.csdk.backtest.config import BacktestConfig
from vq.csdk.backtest.errors import ConfigError
from vq.csdk.backtest.result import BacktestResult, SweepFailure
from vq.csdk.backtest.strategy import factory_name
from vq.csdk.runner import catch_signals, signal_name

__all__ = ["SweepResult", "combinations", "sweep"]

Grid = Union[Mapping[str, Sequence[Any]], Sequence[Mapping[str, Any]]]
Outcome = Union[BacktestResult, SweepFailure]


def _stderr(line: str) -> None:
    print(line, file=sys.stderr, flush=True)


def combinations(grid: Grid, factory: Optional[Callable[..., Any]] = None) -> List[Dict[str, Any]]:
    """The parameter sets of ``grid`` (a mapping of name -> values, whose
    product is taken, or a sequence of mappings), less those the factory's
    ``check_params`` refuses."""
    if isinstance(grid, Mapping):
        names = list(grid)
        sets = [dict(zip(names, values)) for values in itertools.product(*grid.values())]
    else:
        sets = [dict(p) for p in grid]
    check = getattr(factory, "check_params", None)
    if check is None:
        return sets
    kept = []
    for p in sets:
        try:
            check(p)
        except ValueError:
            continue
        kept.append(p)
    return kept


@dataclasses.dataclass(frozen=True)
class SweepResult:
    """The backtests of a sweep, best first by ``sort_by``."""

    strategy: str
    config: BacktestConfig
    data_source: str
    where: str  # "N worker processes" or "Dask scheduler ADDRESS"
    sort_by: str
    results: Tuple[Outcome, ...]
    not_run: Tuple[Mapping[str, Any], ...]  # after a signal
    interrupted: Optional[str]

    @property
    def failures(self) -> Tuple[SweepFailure, ...]:
        return tuple(r for r in self.results if isinstance(r, SweepFailure))

    @property
    def exit_status(self) -> int:
        if self.interrupted:
            return 128 + int(signal.Signals[self.interrupted])
        return 1 if self.failures else 0

    def to_dict(self) -> Dict[str, Any]:
        return dict(
            strategy=self.strategy,
            data_source=self.data_source,
            where=self.where,
            sort_by=self.sort_by,
            interrupted=self.interrupted,
            not_run=[dict(p) for p in self.not_run],
            results=[r.to_dict() for r in self.results],
        )


def _sort_key(sort_by: str) -> Callable[[Outcome], Tuple[Any, ...]]:
    def key(r: Outcome) -> Tuple[Any, ...]:
        value = None if isinstance(r, SweepFailure) else r.figures.get(sort_by)
        return (value is None, -(value or 0.0), sorted((k, repr(v)) for k, v in r.params.items()))

    return key


class _Collector:
    """Runs jobs through futures and collects their outcomes; a signal stops
    what runs and keeps what has not started from starting."""

    def __init__(self, progress: Callable[[str], None], total: int) -> None:
        self.progress_line, self.total = progress, total
        self.results: List[Outcome] = []
        self.signum: Optional[int] = None
        self.t0 = time.monotonic()

    def on_signal(self, signum: int) -> None:
        if self.signum is None:
            self.signum = signum
            _stderr("sweep: %s, stopping" % signal_name(signum))
        # pool workers stop their running backtest and run no more; SIGINT,
        # as SIGTERM would kill an idle worker and with it the pool
        import multiprocessing

        for child in multiprocessing.active_children():
            try:
                os.kill(child.pid, signal.SIGINT)  # type: ignore[arg-type]
            except OSError:
                pass

    def add(self, r: Outcome) -> None:
        self.results.append(r)
        if isinstance(r, SweepFailure):
            what = "FAILED: %s" % r.error
        else:
            tr = r.figures.get("total_return")
            what = "return %s, %d trades" % (
                "n/a" if tr is None else "%.2f%%" % (100 * tr),
                r.figures.get("trades", 0),
            )
        params = " ".join("%s=%s" % kv for kv in sorted(r.params.items()))
        self.progress_line(
            "[%d/%d %.1fs] %s: %s"
            % (len(self.results), self.total, time.monotonic() - self.t0, params, what)
        )

    def collect(
        self,
        submit: Callable[[pool.Job], Any],
        jobs: Sequence[pool.Job],
        in_flight: int,
        poll: float = 0.1,
        tick: Optional[Callable[[], None]] = None,
    ) -> List[pool.Job]:
        """Run ``jobs`` through ``submit`` (job -> future) with at most
        ``in_flight`` pending; after a signal nothing more is submitted.
        Returns the jobs whose worker process died."""
        todo, dead = list(jobs), []
        pending: Dict[Any, pool.Job] = {}  # future (concurrent.futures or Dask) -> job
        cancelled = False
        while todo or pending:
            while todo and len(pending) < in_flight and self.signum is None:
                job = todo.pop(0)
                try:
                    pending[submit(job)] = job
                except BrokenProcessPool:  # a worker died: the rest go to the retry
                    dead += [job, *todo]
                    todo = []
            for f in [f for f in pending if f.done()]:
                job = pending.pop(f)
                if f.cancelled():
                    continue
                try:
                    r = f.result()
                except BrokenProcessPool:
                    dead.append(job)
                except Exception as e:  # a task's own failure (Dask: KilledWorker, ...)
                    self.add(SweepFailure(dict(job[2]), "%s: %s" % (type(e).__name__, e)))
                else:
                    if r is not None:
                        if isinstance(r, BacktestResult) and r.interrupted and self.signum:
                            r = dataclasses.replace(r, interrupted=signal_name(self.signum))
                        self.add(r)
            if self.signum is not None:
                todo = []
                if not cancelled:
                    cancelled = True
                    for f in pending:
                        f.cancel()
            if tick is not None:
                tick()
            time.sleep(poll)
        return dead

    def run_local(self, jobs: Sequence[pool.Job], workers: int) -> None:
        with pool.pool_of(workers) as p:
            dead = self.collect(lambda j: pool.submit_spawning(p, pool.run_job, j), jobs, workers)
        for job in dead:  # one at a time, each in a pool of its own
            if self.signum is not None:
                break
            with pool.pool_of(1) as p:
                if self.collect(lambda j: pool.submit_spawning(p, pool.run_job, j), [job], 1):
                    self.add(SweepFailure(dict(job[2]), "the worker process died"))

    def run_dask(self, jobs: Sequence[pool.Job], client: Any) -> None:
        watcher = cluster.Watcher(client, _stderr)
        self.collect(
            lambda j: client.submit(pool.run_job, j, pure=False),
            jobs,
            len(jobs),
            tick=watcher.poll,
        )
        watcher.poll(force=True)  # a worker lost near the end, its task already rerun


def sweep(
    config: BacktestConfig,
    strategy_factory: Callable[..., Any],
    grid: Grid,
    workers: Optional[int] = None,
    scheduler: Optional[str] = None,
    connect_timeout: float = 10.0,
    worker_wait: float = 30.0,
    sort_by: str = "total_return",
    progress: Callable[[str], None] = _stderr,
) -> SweepResult:
    """Backtest ``strategy_factory(**params)`` for every parameter set of
    ``grid``: in ``workers`` local processes (default: the CPU count), or on
    the Dask cluster of ``scheduler`` (an address such as
    ``tcp://127.0.0.1:8786``).  The factory must pickle (a class or a
    function at module level).  Ctrl-C or SIGTERM stop the sweep: what ran
    is kept, marked interrupted.  ConfigError before anything runs when the
    configuration or the grid is unusable; BacktestError when the cluster
    cannot be reached or has no worker."""
    collector = _Collector(progress, 0)
    # a signal from here on stops the sweep, also one that comes while the
    # grid is checked, the cluster reached or a worker started: nothing more
    # runs
    with catch_signals(collector.on_signal):
        config.validate()
        try:  # what each worker receives
            pickle.dumps((config, strategy_factory))
        except Exception as exc:
            raise ConfigError(
                "the strategy factory %s cannot be sent to worker processes (%s: %s); use a "
                "class or a function defined at module level"
                % (factory_name(strategy_factory), type(exc).__name__, exc)
            ) from None
        params = combinations(grid, strategy_factory)
        if not params:
            raise ConfigError("the grid gives no parameter set the strategy takes")
        jobs = [(config, strategy_factory, p) for p in params]
        collector.total = len(jobs)
        client = None
        try:
            if scheduler:
                client = cluster.connect(scheduler, connect_timeout, worker_wait, _stderr)
                where = "Dask scheduler %s" % scheduler
            else:
                n = min(workers or os.cpu_count() or 1, len(jobs))
                where = "%d worker processes" % n
            progress(
                "sweep of %d backtests on %s; prices: %s"
                % (len(jobs), where, config.describe_data())
            )
            if client is not None:
                collector.run_dask(jobs, client)
            else:
                collector.run_local(jobs, n)
        finally:
            if client is not None:
                client.close()
    done = [r.params for r in collector.results]
    return SweepResult(
        strategy=factory_name(strategy_factory),
        config=config,
        data_source=config.describe_data(),
        where=where,
        sort_by=sort_by,
        results=tuple(sorted(collector.results, key=_sort_key(sort_by))),
        not_run=tuple(p for p in params if p not in done),
        interrupted=signal_name(collector.signum) if collector.signum else None,
    )
