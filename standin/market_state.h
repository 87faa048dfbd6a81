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

namespace vqstub {
namespace market {

enum Kind { BAR, DAILY, TICK };

struct Sub {
    std::string symbol;
    std::string frequency;
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
    double initial_cash = 0, commission_ratio = 0, slippage_ratio = 0;
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
    long long now = 0; /* time of the event being delivered */
    bool running = false;
};

extern std::mutex g_mu;
extern State g_state;              /* guarded by g_mu */
extern unsigned long long g_epoch; /* bumped by clear(), so a run can tell */

/* the account back to the configured start; caller holds g_mu */
void reset_account(State &s);

/* the positions at their last prices; caller holds g_mu */
double market_value(const State &s);

}  // namespace market
}  // namespace vqstub

#endif /* VQ_STANDIN_MARKET_STATE_H */
