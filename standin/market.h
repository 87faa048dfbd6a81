/*
 * market.h - the offline market of the stand-in: a small deterministic
 * backtest behind vqi_run, with a simulated account that orders fill
 * against.  See MARKET.md.  Nothing here is exported.
 */
#ifndef VQ_STANDIN_MARKET_H
#define VQ_STANDIN_MARKET_H

#include <atomic>

#include "state.h"

namespace vqstub {

/* Market mode: on in a fresh process, off after vqstub_reset or any
 * scripting call, back on with vqstub_set_market(1). */
extern std::atomic<bool> g_market_on;

inline bool market_on() {
    return g_market_on.load(std::memory_order_relaxed);
}

namespace market {

/* statuses of the market's own failures */
enum : int {
    ERR_TIME = 1001,      /* start/end text not understood, or end before start */
    ERR_SUBSCRIBE = 1002, /* no symbols, or a frequency the market cannot make */
    ERR_ORDER = 1003,     /* order request not understood */
    ERR_NO_CONFIG = 1004, /* vqi_run with subscriptions but no backtest config */
    ERR_BUSY = 1005,      /* vqi_run from inside a running simulation */
    ERR_HOLIDAYS = 1006   /* a date of VQ_STANDIN_HOLIDAYS not understood */
};

/* error text of the codes above, or null */
const char *error_text(int code);

/* Forget configuration, subscriptions and account; a running simulation
 * ends at its next event. */
void clear();

/* commission_min: the least commission of one fill (commission_unit) */
int configure(const char *start_time, const char *end_time, double initial_cash,
              double commission_ratio, double commission_min, double slippage_ratio);
int subscribe(const char *symbols, const char *frequency, bool unsubscribe_previous);
int unsubscribe(const char *symbols, const char *frequency);
void set_account_id(const char *account_ids);
void set_strategy_id(const char *strategy_id);

/* Run the simulation on the calling thread; 0 or an ERR_ status. */
int run();

/* Answer a query the market serves (orders, cash, positions).  False when
 * the market leaves this function to its script. */
bool query(Fn id, const char *req, int req_len, const char **res, int *res_len, int *status);
int account_info(const char **res, int *res_len);

}  // namespace market
}  // namespace vqstub

#endif /* VQ_STANDIN_MARKET_H */
