"""Charts (need matplotlib, the package's ``plot`` extra): the equity curve
of a backtest, and a heat map of a sweep.  Each chart names the source of
its prices, and is written atomically."""

import datetime
from typing import Any, List, Optional, Tuple

from vq.csdk.backtest.errors import BacktestError
from vq.csdk.backtest.extras import need
from vq.csdk.backtest.files import write_atomic
from vq.csdk.backtest.report import describe_params
from vq.csdk.backtest.result import BacktestResult, SweepFailure

__all__ = ["equity_chart", "heatmap_axes", "sweep_heatmap"]


def _pyplot() -> Any:
    need("plot", "matplotlib")
    import matplotlib

    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.pyplot as plt

    return plt


def _save(fig: Any, path: str) -> None:
    write_atomic(path, lambda f: fig.savefig(f, format="png", dpi=100))


def equity_chart(result: BacktestResult, path: str) -> None:
    """A PNG of the daily equity, its running peak with the drawdowns shaded
    between them, and the drawdown in percent below."""
    plt = _pyplot()
    days = [datetime.datetime.strptime(d, "%Y-%m-%d") for d, _ in result.equity_curve]
    equity = [e for _, e in result.equity_curve]
    initial = result.config.cash
    peak, peaks = initial, []
    for e in equity:
        peak = max(peak, e)
        peaks.append(peak)
    drawdown = [100 * (e / p - 1) for e, p in zip(equity, peaks)]
    fig, (top, bottom) = plt.subplots(
        2, 1, sharex=True, figsize=(10, 6), gridspec_kw={"height_ratios": [3, 1]}
    )
    try:
        top.plot(days, equity, color="tab:blue", linewidth=1.2, label="equity")
        top.plot(days, peaks, color="tab:gray", linewidth=0.8, linestyle="--", label="running peak")
        top.fill_between(days, equity, peaks, color="tab:red", alpha=0.25, label="drawdown")
        top.axhline(initial, color="black", linewidth=0.6)
        f, c = result.figures, result.config
        title = "%s %s on %s (%s), %s to %s: return %.2f%%, max drawdown %.2f%%" % (
            result.strategy.rsplit(":", 1)[-1],
            describe_params(result.params),
            ",".join(c.symbols),
            c.frequency,
            c.start,
            c.end,
            100 * f["total_return"],
            100 * f["max_drawdown"],
        )
        if result.interrupted:
            title += " (interrupted)"
        top.set_title(title + "\nprices: " + result.data_source, fontsize=9)
        top.set_ylabel("equity")
        top.ticklabel_format(axis="y", style="plain", useOffset=False)
        top.legend(loc="best", fontsize=8)
        top.grid(alpha=0.3)
        bottom.fill_between(days, drawdown, 0, color="tab:red", alpha=0.4)
        bottom.set_ylabel("drawdown %")
        bottom.grid(alpha=0.3)
        fig.autofmt_xdate()
        fig.tight_layout()
        _save(fig, path)
    finally:
        plt.close(fig)


def heatmap_axes(sweep: Any) -> Tuple[str, str]:
    """The two parameters a sweep's heat map spreads over (x, y); BacktestError
    unless the sweep varies exactly one or two parameters."""
    names: List[str] = []
    for r in sweep.results:
        for k in r.params:
            if k not in names:
                names.append(k)
    varied = [k for k in names if len({repr(r.params.get(k)) for r in sweep.results}) > 1]
    if not 1 <= len(varied) <= 2:
        raise BacktestError(
            "a heat map needs a sweep over one or two parameters, not %d" % len(varied)
        )
    return (varied[0], varied[1]) if len(varied) == 2 else (varied[0], "")


def sweep_heatmap(sweep: Any, path: str) -> None:
    """A PNG heat map of the figure the sweep is sorted by, over its one or
    two varied parameters; failed backtests are blank cells."""
    x, y = heatmap_axes(sweep)
    plt = _pyplot()
    xs = sorted({r.params.get(x) for r in sweep.results}, key=repr)
    ys = sorted({r.params.get(y) for r in sweep.results}, key=repr) if y else [None]
    grid: List[List[Optional[float]]] = [[None] * len(xs) for _ in ys]
    for r in sweep.results:
        if isinstance(r, SweepFailure):
            continue
        value = r.figures.get(sweep.sort_by)
        i = ys.index(r.params.get(y)) if y else 0
        grid[i][xs.index(r.params.get(x))] = None if value is None else float(value)
    fig, ax = plt.subplots(figsize=(8, 6))
    try:
        masked = [[float("nan") if v is None else v for v in row] for row in grid]
        image = ax.imshow(masked, cmap="RdYlGn", origin="lower", aspect="auto")
        fig.colorbar(image, ax=ax, label=sweep.sort_by)
        ax.set_xticks(range(len(xs)))
        ax.set_xticklabels([str(v) for v in xs])
        ax.set_xlabel(x)
        ax.set_yticks(range(len(ys)))
        ax.set_yticklabels([str(v) for v in ys] if y else [""])
        ax.set_ylabel(y)
        for i, row in enumerate(grid):
            for j, v in enumerate(row):
                ax.text(j, i, "n/a" if v is None else "%.3g" % v, ha="center", va="center")
        ax.set_title(
            "%s of %s%s\nprices: %s"
            % (
                sweep.sort_by,
                sweep.strategy.rsplit(":", 1)[-1],
                " (interrupted)" if sweep.interrupted else "",
                sweep.data_source,
            ),
            fontsize=9,
        )
        fig.tight_layout()
        _save(fig, path)
    finally:
        plt.close(fig)
