"""What one backtest runs on: the configuration and the source of its prices."""

import dataclasses
import math
import os
from typing import Optional, Tuple, Union

from vq.csdk.backtest.errors import ConfigError
from vq.csdk.rules import frequency as frequency_rule
from vq.csdk.rules import holidays as holiday_rule
from vq.csdk.rules import symbols as symbol_rule
from vq.csdk.rules import times

__all__ = ["BacktestConfig", "DataSource", "RandomWalk", "Replay"]


@dataclasses.dataclass(frozen=True)
class RandomWalk:
    """Prices from the offline market's seeded random walk: synthetic, the
    same for the same symbol and first day."""

    def describe(self) -> str:
        return "synthetic random walk of the offline stand-in, seeded by each symbol's name"


@dataclasses.dataclass(frozen=True)
class Replay:
    """Prices replayed from CSV files (columns as ``vq.csdk.testing.replay``
    reads them) on the offline market."""

    files: Tuple[str, ...]

    def __post_init__(self) -> None:
        if isinstance(self.files, (str, os.PathLike)):
            object.__setattr__(self, "files", (self.files,))
        object.__setattr__(self, "files", tuple(os.fspath(f) for f in self.files))

    def describe(self) -> str:
        return "replayed from " + ", ".join(self.files)


DataSource = Union[RandomWalk, Replay]


@dataclasses.dataclass(frozen=True)
class BacktestConfig:
    """One backtest's settings.  Every front end calls :meth:`validate`
    before it runs anything; :func:`vq.csdk.backtest.run` does too."""

    symbols: Tuple[str, ...] = ("SHSE.600000", "SZSE.000001")
    frequency: str = "1d"
    start: str = "2022-01-04"
    end: str = "2024-12-31"
    cash: float = 1000000.0
    commission: float = 0.0003  # a fraction of each fill's amount
    min_commission: float = 5.0  # of one filled order
    slippage: float = 0.0  # a fraction of the fill price, against the order
    holidays: Optional[Tuple[str, ...]] = None  # None: the market's default list
    data: DataSource = RandomWalk()
    serv_addr: str = "127.0.0.1:7001"
    token: str = "demo-token"
    strategy_id: str = "backtest"
    account_id: str = "demo-account"

    def __post_init__(self) -> None:
        if isinstance(self.symbols, str):
            object.__setattr__(self, "symbols", tuple(symbol_rule.split(self.symbols)))
        else:
            object.__setattr__(self, "symbols", tuple(self.symbols))
        if self.holidays is not None:
            object.__setattr__(self, "holidays", tuple(self.holidays))

    def replace(self, **changes: object) -> "BacktestConfig":
        return dataclasses.replace(self, **changes)  # type: ignore[arg-type]

    def describe_data(self) -> str:
        return self.data.describe()

    def validate(self) -> Tuple[str, ...]:
        """ConfigError naming the first field the market cannot run with;
        otherwise the warnings (texts) the run deserves."""
        warnings = []
        if not self.symbols:
            raise ConfigError("symbols: no symbol named")
        for s in self.symbols:
            if not isinstance(s, str) or s != s.strip() or "," in s or not s:
                raise ConfigError("symbols: %r cannot be subscribed" % (s,))
        try:
            frequency_rule.check(self.frequency)
        except ValueError as exc:
            raise ConfigError(str(exc)) from None
        try:
            start = times.parse(self.start, is_end=False)
        except ValueError as exc:
            raise ConfigError("start %s" % exc) from None
        try:
            end = times.parse(self.end, is_end=True)
        except ValueError as exc:
            raise ConfigError("end %s" % exc) from None
        if end < start:
            raise ConfigError("end %s comes before start %s" % (self.end, self.start))
        _number("cash", self.cash, above=0)
        _number("commission", self.commission, at_least=0, below=1)
        _number("min_commission", self.min_commission, at_least=0)
        _number("slippage", self.slippage, at_least=0, below=1)
        if self.slippage > 0.1:
            warnings.append(
                "slippage %g moves every fill by more than 10%% against the order" % self.slippage
            )
        if self.holidays is not None:
            for d in self.holidays:
                try:
                    times.parse(d)
                except ValueError:
                    raise ConfigError("holidays: %r is not a date YYYY-MM-DD" % (d,)) from None
                if len(d) != 10:
                    raise ConfigError("holidays: %r is not a date YYYY-MM-DD" % (d,))
        if isinstance(self.data, RandomWalk):
            days = holiday_rule.trading_days(start.date(), end.date(), self.holidays)
            if not days:
                raise ConfigError(
                    "%s to %s has no trading day: weekends and holidays only"
                    % (self.start, self.end)
                )
            odd = symbol_rule.outside_walk(self.symbols)
            if odd:
                warnings.append(
                    "%s: not a symbol the random walk documents (%s); its prices are invented "
                    "all the same" % (", ".join(odd), symbol_rule.WALK_FORM)
                )
        elif isinstance(self.data, Replay):
            if not self.data.files:
                raise ConfigError("data: a replay names no file")
            for f in self.data.files:
                if not os.path.isfile(f):
                    raise ConfigError("data: %s is not a readable file" % f)
        else:
            raise ConfigError("data: %r is neither RandomWalk() nor Replay(files)" % (self.data,))
        return tuple(warnings)


def _number(name, value, above=None, at_least=None, below=None) -> None:  # type: ignore[no-untyped-def]
    ok = isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)
    ok = ok and (above is None or value > above) and (at_least is None or value >= at_least)
    ok = ok and (below is None or value < below)
    if not ok:
        bounds = []
        if above is not None:
            bounds.append("> %g" % above)
        if at_least is not None:
            bounds.append(">= %g" % at_least)
        if below is not None:
            bounds.append("< %g" % below)
        raise ConfigError("%s must be a number %s, not %r" % (name, " and ".join(bounds), value))
