"""The demo's equity chart (needs matplotlib: pip install 'vq[plot]')."""

import datetime


def equity_chart(result, path):
    """Write a PNG of a backtest's daily equity, its running peak with the
    drawdowns shaded between them, and the drawdown in percent below."""
    import matplotlib

    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.pyplot as plt

    daily = result["_daily"]
    days = [datetime.datetime.strptime(d, "%Y-%m-%d") for d, _ in daily]
    equity = [e for _, e in daily]
    peak, peaks = result["initial_cash"], []
    for e in equity:
        peak = max(peak, e)
        peaks.append(peak)
    drawdown = [100 * (e / p - 1) for e, p in zip(equity, peaks)]

    fig, (top, bottom) = plt.subplots(
        2, 1, sharex=True, figsize=(10, 6), gridspec_kw={"height_ratios": [3, 1]}
    )
    top.plot(days, equity, color="tab:blue", linewidth=1.2, label="equity")
    top.plot(days, peaks, color="tab:gray", linewidth=0.8, linestyle="--", label="running peak")
    top.fill_between(days, equity, peaks, color="tab:red", alpha=0.25, label="drawdown")
    top.axhline(result["initial_cash"], color="black", linewidth=0.6)
    title = "MA %d/%d on %s (%s), %s to %s: return %.2f%%, max drawdown %.2f%%" % (
        result["short"],
        result["long"],
        result["symbols"],
        result["frequency"],
        result["start"],
        result["end"],
        100 * result["total_return"],
        100 * result["max_drawdown"],
    )
    if result["interrupted"]:
        title += " (interrupted)"
    top.set_title(title, fontsize=10)
    top.set_ylabel("equity")
    top.ticklabel_format(axis="y", style="plain", useOffset=False)
    top.legend(loc="best", fontsize=8)
    top.grid(alpha=0.3)
    bottom.fill_between(days, drawdown, 0, color="tab:red", alpha=0.4)
    bottom.set_ylabel("drawdown %")
    bottom.grid(alpha=0.3)
    fig.autofmt_xdate()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
