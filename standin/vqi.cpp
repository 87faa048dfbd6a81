/*
 * vqi.cpp - every function of libvq3-c.so (the lists in vqfuncs.h).
 *
 * Each records its call, then returns what was scripted for it.  Queries
 * and commands come from the X-macro lists; the rest are written out
 * because their parameters differ.  In market mode a few of them answer
 * from the offline market instead (market_*.cpp); every call is recorded
 * all the same.
 */
#include <chrono>

#include "market.h"
#include "state.h"

using namespace vqstub;

namespace {

/* Out-parameters are written whatever the status, so tests can check the
 * caller ignores them on failure. */
inline int respond(Fn id, const char **res, int *res_len) {
    const Script &s = g_scripts[id];
    if (res)
        *res = s.resp;
    if (res_len)
        *res_len = s.resp_len;
    return s.status;
}

int query(Fn id, const char *req, int req_len, const char **res, int *res_len) {
    record(id, Req{req, req_len});
    int status;
    if (market_on() && market::query(id, req, req_len, res, res_len, &status))
        return status;
    return respond(id, res, res_len);
}

/* the market's status when it fails, else the scripted one */
int either(int market_status, Fn id) {
    return market_status ? market_status : g_scripts[id].status;
}

int command(Fn id, const char *req, int req_len) {
    record(id, Req{req, req_len});
    return g_scripts[id].status;
}

template <class... A>
int status_call(Fn id, A... a) {
    record(id, a...);
    return g_scripts[id].status;
}

template <class... A>
void void_call(Fn id, A... a) {
    record(id, a...);
}

const char *text_call(Fn id, const char *dflt) {
    record(id);
    const Script &s = g_scripts[id];
    return s.has_text ? s.text : dflt;
}

}  // namespace

extern "C" {

#define VQ_DEFINE_QUERY(name)                                                \
    int name(const char *req, int req_len, const char **res, int *res_len) { \
        return query(FN_##name, req, req_len, res, res_len);                 \
    }
VQ_QUERY_FUNCS(VQ_DEFINE_QUERY)
#undef VQ_DEFINE_QUERY

#define VQ_DEFINE_COMMAND(name)                  \
    int name(const char *req, int req_len) {     \
        return command(FN_##name, req, req_len); \
    }
VQ_COMMAND_FUNCS(VQ_DEFINE_COMMAND)
#undef VQ_DEFINE_COMMAND

/* ---- lifecycle, run control and events ---------------------------------- */

int vqi_init(void) {
    return status_call(FN_vqi_init);
}

int vqi_run(void) {
    record(FN_vqi_run);
    clear_stop();
    deliver_events(true);
    return either(market_on() ? market::run() : 0, FN_vqi_run);
}

int vqi_stop(void) {
    record(FN_vqi_stop);
    request_stop();
    return g_scripts[FN_vqi_stop].status;
}

int vqi_poll(void) {
    record(FN_vqi_poll);
    deliver_events(false);
    return g_scripts[FN_vqi_poll].status;
}

void vqi_set_event_callback_pb(EventCallback callback) {
    record(FN_vqi_set_event_callback_pb, callback);
    set_callback(callback);
}

int vqi_get_stop_error_code(void) {
    return status_call(FN_vqi_get_stop_error_code);
}
void vqi_set_mode(int mode) {
    void_call(FN_vqi_set_mode, mode);
}
void vqi_set_mode_consistency(bool mode) {
    void_call(FN_vqi_set_mode_consistency, mode);
}
void vqi_set_simtrade_only(void) {
    void_call(FN_vqi_set_simtrade_only);
}
void vqi_set_timer(int interval) {
    void_call(FN_vqi_set_timer, interval);
}
void vqi_set_max_wait_time(int max_wait_time) {
    void_call(FN_vqi_set_max_wait_time, max_wait_time);
}
int vqi_use_dsproxy(void) {
    return status_call(FN_vqi_use_dsproxy);
}

int vqi_schedule(const char *date_rule, const char *time_rule) {
    return status_call(FN_vqi_schedule, date_rule, time_rule);
}

int vqi_user_timer(int period, int start_delay) {
    return status_call(FN_vqi_user_timer, period, start_delay);
}

void vqi_user_timer_stop(int timer_id) {
    void_call(FN_vqi_user_timer_stop, timer_id);
}

long long vqi_now(void) {
    record(FN_vqi_now);
    const Script &s = g_scripts[FN_vqi_now];
    if (s.has_value)
        return s.value;
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

double vqi_now_plus(void) {
    record(FN_vqi_now_plus);
    const Script &s = g_scripts[FN_vqi_now_plus];
    if (s.has_dvalue)
        return s.dvalue;
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

/* ---- identity, credentials and servers ---------------------------------- */

void vqi_set_version(const char *sdk_version, const char *sdk_lang, const char *reserved1,
                     const char *reserved2) {
    void_call(FN_vqi_set_version, sdk_version, sdk_lang, reserved1, reserved2);
}

int vqi_set_token(const char *token) {
    return status_call(FN_vqi_set_token, token);
}
void vqi_set_apitoken(const char *token) {
    void_call(FN_vqi_set_apitoken, token);
}

void vqi_set_strategy_id(const char *strategy_id) {
    void_call(FN_vqi_set_strategy_id, strategy_id);
    if (market_on())
        market::set_strategy_id(strategy_id);
}

void vqi_set_account_id(const char *account_ids) {
    void_call(FN_vqi_set_account_id, account_ids);
    if (market_on())
        market::set_account_id(account_ids);
}

void vqi_set_mfp(const char *mfp) {
    void_call(FN_vqi_set_mfp, mfp);
}
void vqi_set_serv_addr(const char *addr) {
    void_call(FN_vqi_set_serv_addr, addr);
}

void vqi_set_serv_addr_v5(const char *addr, const char *orgcode, const char *site_id) {
    void_call(FN_vqi_set_serv_addr_v5, addr, orgcode, site_id);
}

int vqi_get_serv_addr(const char *serv_id, const char **addr) {
    record(FN_vqi_get_serv_addr, serv_id);
    const Script &s = g_scripts[FN_vqi_get_serv_addr];
    if (addr)
        *addr = s.has_text ? s.text : "127.0.0.1:7001";
    return s.status;
}

void vqi_set_ctp_md_info(const char *front_addresses, const char *user_name, const char *password) {
    void_call(FN_vqi_set_ctp_md_info, front_addresses, user_name, password);
}

const char *vqi_get_encrypted_token(void) {
    return text_call(FN_vqi_get_encrypted_token, "");
}
const char *vqi_get_orgcode(void) {
    return text_call(FN_vqi_get_orgcode, "");
}
const char *vqi_get_c_version(void) {
    /* says so while its offline market serves runs, so that a simulated
     * backtest is never mistaken for a connection */
    return text_call(FN_vqi_get_c_version,
                     market_on() ? "vq3-c offline stand-in 3.0.0 (simulated market, no server)"
                                 : "vq3-c stand-in 3.0.0");
}
const char *vqi_get_ext_errormsg(void) {
    return text_call(FN_vqi_get_ext_errormsg, "");
}

const char *vqi_strerror(int errorno) {
    record(FN_vqi_strerror, errorno);
    const Script &s = g_scripts[FN_vqi_strerror];
    if (s.has_text)
        return s.text;
    const char *m = market_on() ? market::error_text(errorno) : nullptr;
    return m ? m : strerror_text(errorno);
}

/* ---- message bus --------------------------------------------------------- */

void vqi_set_bus_info(const char *server_addr, const char *user_name, const char *password) {
    void_call(FN_vqi_set_bus_info, server_addr, user_name, password);
}

void vqi_set_bus_secure(int in_mode, const char *tlsca, const char *tlscert, const char *tlskey,
                        bool skip_verify) {
    void_call(FN_vqi_set_bus_secure, in_mode, tlsca, tlscert, tlskey, skip_verify);
}

void vqi_add_bus_topic(const char *topic) {
    void_call(FN_vqi_add_bus_topic, topic);
}

int vqi_send_msg_to_bus(const char *topic, const char *msg) {
    return status_call(FN_vqi_send_msg_to_bus, topic, msg);
}

/* ---- backtest ------------------------------------------------------------ */

int vqi_set_backtest_config(const char *start_time, const char *end_time, double initial_cash,
                            double transaction_ratio, double commission_ratio,
                            double commission_unit, double slippage_ratio,
                            double option_float_margin_ratio1, double option_float_margin_ratio2,
                            int adjust, int match_mode, int check_cache) {
    record(FN_vqi_set_backtest_config, start_time, end_time, initial_cash, transaction_ratio,
           commission_ratio, commission_unit, slippage_ratio, option_float_margin_ratio1,
           option_float_margin_ratio2, adjust, match_mode, check_cache);
    return either(market_on() ? market::configure(start_time, end_time, initial_cash,
                                                  commission_ratio, commission_unit, slippage_ratio)
                              : 0,
                  FN_vqi_set_backtest_config);
}

void vqi_set_backtest_intraday(int intraday) {
    void_call(FN_vqi_set_backtest_intraday, intraday);
}
void vqi_set_backtest_threadnum(int n) {
    void_call(FN_vqi_set_backtest_threadnum, n);
}

/* ---- market data, algorithmic orders, smart reorder ---------------------- */

int vqi_subscribe(const char *symbols, const char *frequency, bool unsubscribe_previous) {
    record(FN_vqi_subscribe, symbols, frequency, unsubscribe_previous);
    return either(market_on() ? market::subscribe(symbols, frequency, unsubscribe_previous) : 0,
                  FN_vqi_subscribe);
}

int vqi_unsubscribe(const char *symbols, const char *frequency) {
    record(FN_vqi_unsubscribe, symbols, frequency);
    return either(market_on() ? market::unsubscribe(symbols, frequency) : 0, FN_vqi_unsubscribe);
}

int vqi_current_pb(const char *symbols, bool include_call_auction, const char *fields,
                   const char **res, int *res_len) {
    record(FN_vqi_current_pb, symbols, include_call_auction, fields);
    return respond(FN_vqi_current_pb, res, res_len);
}

int vqi_algo_order_batch_pb(const char *req, int req_len, const char *algo_name,
                            const char *algo_params, const char **res, int *res_len) {
    record(FN_vqi_algo_order_batch_pb, Req{req, req_len}, algo_name, algo_params);
    return respond(FN_vqi_algo_order_batch_pb, res, res_len);
}

int vqi_get_child_orders_pb(const char *account_id, const char *algo_id, const char **res,
                            int *res_len) {
    record(FN_vqi_get_child_orders_pb, account_id, algo_id);
    return respond(FN_vqi_get_child_orders_pb, res, res_len);
}

int vqi_smart_reorder(const char *symbol, double price, int volume, int side, int order_type,
                      int position_effect, int repeat_n, int max_price_offset, int time_out,
                      int time_wait, const char *account) {
    return status_call(FN_vqi_smart_reorder, symbol, price, volume, side, order_type,
                       position_effect, repeat_n, max_price_offset, time_out, time_wait, account);
}

int vqi_smart_reorder_cancel(int reorder_id) {
    return status_call(FN_vqi_smart_reorder_cancel, reorder_id);
}

/* ---- queries ------------------------------------------------------------- */

int vqi_get_account_info_pb(const char **res, int *res_len) {
    record(FN_vqi_get_account_info_pb);
    if (market_on())
        return market::account_info(res, res_len);
    return respond(FN_vqi_get_account_info_pb, res, res_len);
}

}  // extern "C"
