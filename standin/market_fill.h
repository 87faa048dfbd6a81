/*
 * market_fill.h - the arithmetic of one order against the account: numbers
 * in, numbers out, no state and no JSON, so the rules read in one place.
 */
#ifndef VQ_STANDIN_MARKET_FILL_H
#define VQ_STANDIN_MARKET_FILL_H

#include <algorithm>

namespace vqstub {
namespace market {

enum { SIDE_BUY = 1, SIDE_SELL = 2, TYPE_LIMIT = 1, TYPE_MARKET = 2 };

/* the order, the market and the account it meets */
struct FillInput {
    int side = SIDE_BUY, type = TYPE_MARKET;
    long long volume = 0;
    double limit = 0; /* limit price, for TYPE_LIMIT */
    double last = 0;  /* the trade price the order meets */
    double slippage_ratio = 0, commission_ratio = 0, commission_min = 0;
    double cash = 0;
    long long held_volume = 0;
    double held_cost = 0;
};

/* What became of it: reject is "" when the order filled, else why not.
 * Price, amount and commission are those of the fill, and cash and the
 * holding are the account afterwards (unchanged on a reject). */
struct Fill {
    const char *reject = "";
    double price = 0, amount = 0, commission = 0;
    double cash = 0;
    long long held_volume = 0;
    double held_cost = 0;
};

/* Fills at the given price moved by the slippage against the trader; the
 * commission is a ratio of the amount, but at least commission_min.  A limit order fills only when the market is at or better than
 * its limit; a buy needs the cash for amount and commission, a sell the
 * shares.  A sale takes out the average cost of the shares sold. */
inline Fill fill_order(const FillInput &in) {
    Fill f;
    f.cash = in.cash;
    f.held_volume = in.held_volume;
    f.held_cost = in.held_cost;
    const bool buy = in.side == SIDE_BUY;
    f.price = in.last * (buy ? 1 + in.slippage_ratio : 1 - in.slippage_ratio);
    f.amount = f.price * static_cast<double>(in.volume);
    f.commission = std::max(f.amount * in.commission_ratio, in.commission_min);
    if (in.type == TYPE_LIMIT && buy && in.limit < in.last) {
        f.reject = "limit price below the market";
    } else if (in.type == TYPE_LIMIT && !buy && in.limit > in.last) {
        f.reject = "limit price above the market";
    } else if (buy && in.cash < f.amount + f.commission) {
        f.reject = "insufficient cash";
    } else if (!buy && in.held_volume < in.volume) {
        f.reject = "insufficient position";
    } else if (buy) {
        f.cash -= f.amount + f.commission;
        f.held_volume += in.volume;
        f.held_cost += f.amount;
    } else {
        f.cash += f.amount - f.commission;
        f.held_cost -=
            f.held_cost * static_cast<double>(in.volume) / static_cast<double>(f.held_volume);
        f.held_volume -= in.volume;
    }
    return f;
}

}  // namespace market
}  // namespace vqstub

#endif /* VQ_STANDIN_MARKET_FILL_H */
