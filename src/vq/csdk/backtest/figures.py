"""The figures of a daily equity curve."""

import math
from typing import Dict, Optional, Sequence, Tuple

__all__ = ["TRADING_DAYS_PER_YEAR", "figures"]

TRADING_DAYS_PER_YEAR = 252


def figures(initial: float, daily: Sequence[Tuple[str, float]]) -> Dict[str, Optional[float]]:
    """Total and annualised return, maximum drawdown and Sharpe ratio (daily
    returns, no risk-free rate, 252 trading days a year), as fractions;
    None where the curve is too short."""
    equity = [e for _, e in daily]
    final = equity[-1] if equity else initial
    total = final / initial - 1
    years = len(equity) / TRADING_DAYS_PER_YEAR
    annual = (final / initial) ** (1 / years) - 1 if years > 0 and final > 0 else None
    peak, drawdown = initial, 0.0
    for e in equity:
        peak = max(peak, e)
        drawdown = max(drawdown, 1 - e / peak)
    rets = [b / a - 1 for a, b in zip([initial, *equity], equity)]
    sharpe = None
    if len(rets) > 1:
        mean = sum(rets) / len(rets)
        sd = math.sqrt(sum((r - mean) ** 2 for r in rets) / (len(rets) - 1))
        sharpe = mean / sd * math.sqrt(TRADING_DAYS_PER_YEAR) if sd > 0 else None
    return dict(total_return=total, annual_return=annual, max_drawdown=drawdown, sharpe=sharpe)
