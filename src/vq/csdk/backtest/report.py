"""Text reports of results: the summary of one backtest, the table of a sweep."""

import time
from typing import Any, List, Optional, Tuple

from vq.csdk.backtest.result import BacktestResult, SweepFailure

__all__ = ["describe_params", "num", "pct", "summary", "table"]


def pct(x: Optional[float]) -> str:
    return "n/a" if x is None else "%.2f%%" % (100 * x)


def num(x: Optional[float], fmt: str = "%.2f") -> str:
    return "n/a" if x is None else fmt % x


def describe_params(params: Any) -> str:
    return " ".join("%s=%s" % kv for kv in sorted(dict(params).items())) or "defaults"


def summary(r: BacktestResult) -> str:
    """The summary lines of one backtest."""
    f = r.figures
    status = "interrupted by %s" % r.interrupted if r.interrupted else "completed"
    rows: List[Tuple[str, Any]] = [
        ("status", status),
        ("prices", r.data_source),
        ("strategy", "%s %s" % (r.strategy, describe_params(r.params))),
        ("last bar", f["last_bar"] or "none"),
        ("bars", f["bars"]),
        ("trading days", f["days"]),
        ("orders", f["orders"]),
        ("fills", f["fills"]),
        ("rejected", f["rejected"]),
    ]
    for reason, n in sorted(r.rejections.items(), key=lambda kv: -kv[1]):
        rows.append(("  " + reason, n))
    rows += [
        ("trades", f["trades"]),
        ("win rate", pct(f["win_rate"])),
        ("positions held", f["positions_held"]),
        ("initial cash", "%.2f" % f["initial_cash"]),
        ("cash", "%.2f" % f["cash"]),
        ("positions value", "%.2f" % f["positions_value"]),
        ("equity", "%.2f" % f["equity"]),
        ("pnl", "%.2f" % f["pnl"]),
        ("commission", "%.2f" % f["commission"]),
        ("total return", pct(f["total_return"])),
        ("annual return", pct(f["annual_return"])),
        ("max drawdown", pct(f["max_drawdown"])),
        ("sharpe", num(f["sharpe"])),
        ("events", f["events"]),
        ("run seconds", "%.3f" % r.seconds),
        ("events per second", "%.0f" % (f["events"] / r.seconds if r.seconds > 0 else 0)),
        ("book check", "ok" if r.book_ok else "MISMATCH"),
    ]
    if r.stopped_at is not None:  # from the signal's handler to the summary
        rows.append(("stop seconds", "%.3f" % (time.monotonic() - r.stopped_at)))
    lines = ["summary" + (" (interrupted)" if r.interrupted else "")]
    lines += ["  %-18s %s" % (name + ":", value) for name, value in rows]
    lines += ["warning: %s" % w for w in r.warnings]
    return "\n".join(lines) + "\n"


_HEAD = "%9s %9s %9s %7s %7s %7s %7s %12s  %-11s  %s"


def table(sweep: Any) -> str:
    """The table of a sweep, in its order (best first)."""
    lines = [
        "prices: %s" % sweep.data_source,
        _HEAD
        % (
            "return",
            "annual",
            "max dd",
            "sharpe",
            "trades",
            "win",
            "orders",
            "commission",
            "status",
            "params",
        ),
    ]
    for r in sweep.results:
        params = describe_params(r.params)
        if isinstance(r, SweepFailure):
            lines.append("%9s %s  FAILED: %s" % ("", params, r.error))
            continue
        f = r.figures
        lines.append(
            _HEAD
            % (
                pct(f["total_return"]),
                pct(f["annual_return"]),
                pct(f["max_drawdown"]),
                num(f["sharpe"]),
                f["trades"],
                pct(f["win_rate"]),
                f["orders"],
                "%.2f" % f["commission"],
                "interrupted" if r.interrupted else "ok",
                params,
            )
        )
    if sweep.interrupted:
        lines.append(
            "interrupted by %s: %d of %d backtests not run%s"
            % (
                sweep.interrupted,
                len(sweep.not_run),
                len(sweep.not_run) + len(sweep.results),
                "".join(" [%s]" % describe_params(p) for p in sweep.not_run),
            )
        )
    return "\n".join(lines) + "\n"
