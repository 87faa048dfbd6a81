// Configuration and run control: simple setters and getters, run and stop,
// multi-argument configuration, the message bus and the backtest settings.
#include "event_bridge.hpp"
#include "rows.hpp"

namespace vq {

// clang-format off
static Row rows[] = {
    // ---- one text, one integer or nothing --------------------------------------
    VQ_WRAP("py_vqi_set_mode_consistency", "mode", ADAPTED, vqi_set_mode_consistency, Nothing, IntTruth<0>),
    VQ_WRAP("py_vqi_get_serv_addr", "serv_id", ADAPTED, vqi_get_serv_addr, TextThroughPointer, Text<0>),
    VQ_WRAP("py_vqi_add_bus_topic", "topic", ADAPTED, vqi_add_bus_topic, Nothing, Text<0>),
    VQ_WRAP("py_vqi_set_strategy_id", "strategy_id", ADAPTED, vqi_set_strategy_id, Nothing, Text<0>),
    VQ_WRAP("py_vqi_set_token", "token", ADAPTED, vqi_set_token, Status, Text<0>),
    VQ_WRAP("py_vqi_get_encrypted_token", "", ADAPTED, vqi_get_encrypted_token, TextOut),
    VQ_WRAP("py_vqi_get_orgcode", "", ADAPTED, vqi_get_orgcode, TextOut),
    VQ_WRAP("py_vqi_set_mfp", "mfp", ADAPTED, vqi_set_mfp, Nothing, Text<0>),
    VQ_WRAP("py_vqi_set_apitoken", "token", ADAPTED, vqi_set_apitoken, Nothing, Text<0>),
    VQ_WRAP("py_vqi_set_serv_addr", "addr", ADAPTED, vqi_set_serv_addr, Nothing, Text<0>),
    VQ_WRAP("py_vqi_strerror", "errorno", PLAIN, vqi_strerror, TextOut, Int<0>),
    VQ_WRAP("py_vqi_get_ext_errormsg", "", PLAIN, vqi_get_ext_errormsg, TextOut),
    VQ_WRAP("py_vqi_run", "", PLAIN, vqi_run, Status),
    VQ_WRAP("py_vqi_stop", "", PLAIN, vqi_stop, Status),
    VQ_WRAP("py_vqi_set_timer", "interval", PLAIN, vqi_set_timer, Nothing, Int<0>),
    VQ_WRAP("py_vqi_user_timer_stop", "timer_id", ADAPTED, vqi_user_timer_stop, Nothing, Int<0>),
    VQ_WRAP("py_vqi_set_account_id", "account_ids", PLAIN, vqi_set_account_id, Nothing, Text<0>),
    VQ_WRAP("py_vqi_set_simtrade_only", "", PLAIN, vqi_set_simtrade_only, Nothing),
    VQ_WRAP("py_vqi_set_max_wait_time", "max_wait_time", PLAIN, vqi_set_max_wait_time, Nothing, Int<0>),
    VQ_WRAP("py_vqi_get_stop_error_code", "", PLAIN, vqi_get_stop_error_code, Status),
    VQ_WRAP("py_vqi_use_dsproxy", "", PLAIN, vqi_use_dsproxy, Status),

    // ---- events ---------------------------------------------------------------------
    VQ_FUNC("py_vqi_set_data_callback", set_data_callback, METH_O, "pythonf", 1, nullptr, nullptr),

    // ---- several arguments: identity, schedule, timers, message bus ------------------
    VQ_WRAP("py_vqi_set_bus_info", "server_addr, user_name, password", ADAPTED,
            vqi_set_bus_info, Nothing, Text<0>, Text<1>, Text<2>),
    VQ_WRAP("py_vqi_set_bus_secure", "in_mode, tlsca, tlscert, tlskey, skip_verify", ADAPTED,
            vqi_set_bus_secure, Nothing, Int<0>, Text<1>, Text<2>, Text<3>, Truth<4>),
    VQ_WRAP("py_vqi_send_msg_to_bus", "topic, msg", ADAPTED,
            vqi_send_msg_to_bus, Status, Text<0>, Text<1>),
    VQ_WRAP("py_vqi_schedule", "date_rule, time_rule", ADAPTED,
            vqi_schedule, Status, Text<0>, Text<1>),
    VQ_WRAP("py_vqi_set_ctp_md_info", "front_addresses, user_name, password", ADAPTED,
            vqi_set_ctp_md_info, Nothing, Text<0>, Text<1>, Text<2>),
    // The library's last two texts cannot be set from Python: null pointers.
    VQ_WRAP("py_vqi_set_version", "sdk_version, sdk_lang", ADAPTED,
            vqi_set_version, Nothing, Text<0>, Text<1>, NullText, NullText),
    VQ_WRAP("py_vqi_user_timer", "period, start_delay", ADAPTED,
            vqi_user_timer, Status, Int<0>, Int<1>),
    VQ_WRAP("py_vqi_set_serv_addr_v5", "addr, orgcode, site_id", PLAIN,
            vqi_set_serv_addr_v5, Nothing, Text<0>, Text<1>, Text<2>),

    // ---- backtest -----------------------------------------------------------------------
    VQ_WRAP("py_vqi_set_backtest_config",
            "start_time, end_time, initial_cash, transaction_ratio, commission_ratio, "
            "commission_unit, slippage_ratio, option_float_margin_ratio1, "
            "option_float_margin_ratio2, adjust, match_mode, check_cache",
            ADAPTED, vqi_set_backtest_config, Status,
            Text<0>, Text<1>, Real<2>, Real<3>, Real<4>, Real<5>, Real<6>, Real<7>, Real<8>,
            Int<9>, Int<10>, Int<11>),
    VQ_WRAP("py_vqi_set_backtest_intraday", "req", ADAPTED, vqi_set_backtest_intraday, Nothing, Int<0>),
    VQ_WRAP("py_vqi_set_backtest_threadnum", "n", PLAIN, vqi_set_backtest_threadnum, Nothing, Int<0>),
};
// clang-format on

RowTable config_wrappers() {
    return VQ_TABLE(rows);
}

}  // namespace vq
