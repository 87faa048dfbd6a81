"""Where a backtest's prices come from: replayed files are read, checked
against the subscriptions and fed to the offline market before the run,
and forgotten after it."""

import contextlib
from typing import Any, Iterator, List, Optional

from vq.csdk.backtest.config import BacktestConfig, Replay
from vq.csdk.backtest.errors import ConfigError

__all__ = ["fed", "prepare"]


def prepare(config: BacktestConfig) -> Optional[List[Any]]:
    """The checked series of a replay (None for the random walk).
    ConfigError when a file has no rows, a row is bad, or a subscribed
    symbol has no rows at the configured frequency."""
    if not isinstance(config.data, Replay):
        return None
    from vq.csdk.testing import replay  # the stand-in's replay: loaded only when asked

    try:
        for path in config.data.files:
            if not any(len(s) for s in replay.load_csv(path, frequency=config.frequency)):
                raise ConfigError("data: %s has no rows" % path)
        series = replay.load_csv(*config.data.files, frequency=config.frequency)
    except replay.ReplayError as exc:
        raise ConfigError("data: %s" % exc) from None
    have = {s.symbol for s in series if len(s)}
    missing = [s for s in config.symbols if s not in have]
    if missing:
        raise ConfigError(
            "data: %s has no %s rows of %s; replayed symbols: %s"
            % (
                config.describe_data()[len("replayed from ") :],
                config.frequency,
                ", ".join(missing),
                ", ".join(sorted(have)) or "none",
            )
        )
    return series


@contextlib.contextmanager
def fed(series: Optional[List[Any]]) -> Iterator[None]:
    """The series on the market for the block, and forgotten after it."""
    if series is None:
        yield
        return
    from vq.csdk.testing import replay

    replay.feed(series)
    try:
        yield
    finally:
        for s in series:
            replay.clear_replay(s.symbol, s.frequency)
