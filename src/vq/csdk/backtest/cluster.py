"""A sweep's Dask cluster: connecting with a bounded wait, waiting a bounded
time for workers, and noticing the workers that leave."""

import contextlib
import logging
import time
from typing import Any, Callable, Iterator, Set

from vq.csdk.backtest.errors import BacktestError
from vq.csdk.backtest.extras import need

__all__ = ["Watcher", "connect"]


@contextlib.contextmanager
def _quiet() -> Iterator[None]:
    """Dask logs each failed attempt; the failure is reported once instead."""
    log = logging.getLogger("distributed")
    level = log.level
    log.setLevel(logging.CRITICAL)
    try:
        yield
    finally:
        log.setLevel(level)


def connect(address: str, timeout: float, worker_wait: float, note: Callable[[str], None]) -> Any:
    """A Client of the scheduler at ``address`` with at least one worker.
    BacktestError in one line when it cannot be reached within ``timeout``
    seconds, or no worker joins within ``worker_wait`` seconds."""
    need("sweep", "distributed")
    from distributed import Client
    from distributed.comm.addressing import get_address_host_port

    try:  # a client made of a bad address complains once more when collected
        get_address_host_port(address if "://" in address else "tcp://" + address)
    except ValueError as exc:
        raise BacktestError("%r is not a Dask scheduler address: %s" % (address, exc)) from None
    try:
        with _quiet():
            client = Client(address, timeout=timeout, set_as_default=False)
    except Exception as exc:  # OSError, TimeoutError, ValueError by address and version
        text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise BacktestError(
            "cannot reach the Dask scheduler %s within %gs: %s" % (address, timeout, text)
        ) from None
    try:
        _wait_for_workers(client, address, worker_wait, note)
    except BaseException:
        client.close()
        raise
    return client


def _workers(client: Any) -> Set[str]:
    return set(client.scheduler_info().get("workers", {}))


def _wait_for_workers(client: Any, address: str, wait: float, note: Callable[[str], None]) -> None:
    t0 = time.monotonic()
    told = False
    while not _workers(client):
        waited = time.monotonic() - t0
        if waited >= wait:
            raise BacktestError(
                "no Dask worker joined the scheduler %s within %gs" % (address, wait)
            )
        if not told and waited >= 1.0:
            told = True
            note("the Dask scheduler %s has no worker yet; waiting up to %gs" % (address, wait))
        client.sync(client._update_scheduler_info)
        time.sleep(0.2)


class Watcher:
    """Names, through ``note``, each worker that leaves the cluster; Dask
    reruns its backtests elsewhere."""

    def __init__(self, client: Any, note: Callable[[str], None], every: float = 0.5) -> None:
        self.client, self.note, self.every = client, note, every
        self.known = _workers(client)
        self.last = time.monotonic()

    def poll(self, force: bool = False) -> None:
        if not force and time.monotonic() - self.last < self.every:
            return
        self.last = time.monotonic()
        try:
            self.client.sync(self.client._update_scheduler_info)
        except Exception:  # the scheduler's own loss shows in the tasks
            return
        now = _workers(self.client)
        for gone in sorted(self.known - now):
            self.note("Dask worker %s left the cluster; its backtests are rerun" % gone)
        self.known = now
