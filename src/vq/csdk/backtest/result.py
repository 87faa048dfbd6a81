"""The result of one backtest."""

import dataclasses
import json
import signal
from typing import Any, Dict, Mapping, Optional, Tuple

from vq.csdk.backtest.config import BacktestConfig

__all__ = ["BacktestResult", "SweepFailure"]


@dataclasses.dataclass(frozen=True)
class BacktestResult:
    """What one backtest gave: plain values, the same whichever process ran it."""

    strategy: str  # module:name of the factory
    params: Mapping[str, Any]
    config: BacktestConfig
    data_source: str  # where the prices came from
    figures: Mapping[str, Any]  # figure name -> number (or None)
    rejections: Mapping[str, int]  # reason -> orders rejected for it
    equity_curve: Tuple[Tuple[str, float], ...]  # (day, equity at its last event)
    orders: Tuple[Mapping[str, Any], ...]
    fills: Tuple[Mapping[str, Any], ...]
    interrupted: Optional[str]  # the signal's name, or None
    book_ok: bool  # the account agrees with the execution reports
    warnings: Tuple[str, ...] = ()
    seconds: float = 0.0  # of the library's run
    stopped_at: Optional[float] = None  # time.monotonic() of a signal's stop

    @property
    def exit_status(self) -> int:
        """128 + the signal's number when interrupted, 1 when the book does
        not agree, else 0."""
        if self.interrupted:
            return 128 + int(signal.Signals[self.interrupted])
        return 0 if self.book_ok else 1

    def __getitem__(self, name: str) -> Any:
        """A figure by name (``result["total_return"]``)."""
        return self.figures[name]

    def to_dict(self) -> Dict[str, Any]:
        """Plain JSON-ready values: everything but the timing."""
        config = dataclasses.asdict(self.config)
        config["data"] = self.data_source
        return dict(
            strategy=self.strategy,
            params=dict(self.params),
            config=config,
            data_source=self.data_source,
            figures=dict(self.figures),
            rejections=dict(self.rejections),
            equity_curve=[list(p) for p in self.equity_curve],
            orders=[dict(o) for o in self.orders],
            fills=[dict(f) for f in self.fills],
            interrupted=self.interrupted,
            book_ok=self.book_ok,
            warnings=list(self.warnings),
        )

    def to_json(self, indent: Optional[int] = 2) -> str:
        return json.dumps(self.to_dict(), indent=indent, sort_keys=True) + "\n"


@dataclasses.dataclass(frozen=True)
class SweepFailure:
    """A backtest of a sweep that failed, with its parameters."""

    params: Mapping[str, Any]
    error: str

    def to_dict(self) -> Dict[str, Any]:
        return dict(params=dict(self.params), error=self.error)
