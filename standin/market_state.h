/*
 * market_state.h - what the market knows between calls: its configuration,
 * subscriptions and the simulated account, under one lock.  Shared by the
 * run loop (market_run.cpp) and the account (market_account.cpp).
 */
#ifndef VQ_STANDIN_MARKET_STATE_H
#define VQ_STANDIN_MARKET_STATE_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "json.h"
#include "market_calendar.h"

namespace vqstub {
namespace market {

enum Kind { BAR, DAILY, TICK };

struct Sub {
    std::string symbol;
    std::string frequency;
    std::string symbol_json, frequency_json; /* as payloads write them */
    Kind kind = BAR;
    int seconds = 0; /* bar length, for BAR */
};

struct Position {
    long long volume = 0;
    double cost = 0; /* what the shares held cost, commission excluded */
};

struct Price {
    double last = 0;
};

struct Config {
    bool set = false;
    long long start = 0, end = 0;
    double initial_cash = 0, commission_ratio = 0, commission_min = 0, slippage_ratio = 0;
    Holidays holidays;
};

struct Order {
    std::string symbol, cl_ord_id;
    int side = 0, type = 0;
    long long volume = 0;
    double price = 0; /* the limit, for a limit order */
};

/* an order placed during a run, waiting for its symbol's next trade */
struct Pending {
    Order order;
    std::string order_id;
    long long placed_at = 0;
};

struct State {
    Config cfg;
    std::vector<Sub> subs;
    std::string account_id = "backtest";
    std::string strategy_id;
    /* the account of the current or last run */
    double cash = 0, commission = 0;
    std::map<std::string, Position> positions;
    std::map<std::string, Price> prices;
    long long orders = 0, fills = 0, bars = 0, ticks = 0;
    long long now = 0;            /* time of the event being delivered */
    std::vector<Pending> pending; /* in the order they were placed */
    bool running = false;
};

extern std::mutex g_mu;
extern State g_state;              /* guarded by g_mu */
extern unsigned long long g_epoch; /* bumped by clear(), so a run can tell */

/* the account back to the configured start; caller holds g_mu */
void reset_account(State &s);

/* the positions at their last prices; caller holds g_mu */
double market_value(const State &s);

/* The account's worth as object fields: initial_cash, its cash (named
 * cash_key), market_value, nav, pnl and commission; caller holds g_mu */
json::Writer &value_fields(json::Writer &w, const State &s, const char *cash_key);

/* Fill the symbol's pending orders placed up to `at` (before it, when
 * strictly_after) at `price`: the open of its next bar, or its next tick.
 * Orders the account cannot pay or deliver are rejected.  Their execution
 * reports are appended to `reports`.  Caller holds g_mu. */
void fill_pending(State &s, const std::string &symbol, long long at, bool strictly_after,
                  double price, std::vector<std::string> &reports);

/* Reject every pending order (the run ended before a next trade); their
 * reports are appended.  Caller holds g_mu. */
void expire_pending(State &s, std::vector<std::string> &reports);

}  // namespace market
}  // namespace vqstub

#endif /* VQ_STANDIN_MARKET_STATE_H */
