"""The errors of the backtest API."""

__all__ = ["BacktestError", "ConfigError"]


class BacktestError(Exception):
    """A library call failed, or the run could not be set up; the text says
    which and why."""


class ConfigError(BacktestError, ValueError):
    """A configuration the market cannot run; the text names the field."""
