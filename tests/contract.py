"""The module's contract, written out independently of its source: one row
per module callable.  The tests check the module, the library's record of
the calls it received, and the shipped stubs against this table; every
other table and count of the tests is derived from it."""

from typing import NamedTuple, Optional, Tuple


# Kinds of argument: T text, Q request (pointer and length), I int, B int
# passed as a bool, R real, V truth value, A any object (used as it is).
# Results: None, "int", "float", "text" (bytes), "addr" (bytes, or None on
# failure), "reply" ((status, bytes) or (status, None)), "bool", "object".
# `order` is the order of conversion (the library's order) when it is not
# Python's; `extra` the library arguments that Python cannot set.
class Function(NamedTuple):
    name: str
    family: str
    params: Tuple[str, ...]
    kinds: str
    result: Optional[str]
    adapted: bool
    lib: Optional[str]
    order: Tuple[int, ...]
    extra: Tuple[str, ...]


def _function(family, name, params, kinds, result, adapted, lib, order=None, extra=()):
    params = tuple(params.split())
    assert len(params) == len(kinds), name
    return Function(
        name, family, params, kinds, result, adapted, lib, order or tuple(range(len(kinds))), extra
    )


# fmt: off
# (name, parameters, kinds, result)
_SUPPORT = [
    ("is_windows", "", "", "bool"),
    ("is_linux", "", "", "bool"),
    ("adapt_to_python3", "func", "A", "object"),
    ("c_status_ok", "status", "A", "object"),
    ("c_status_fail", "status cfunname", "AA", "object"),
]

# (name, parameters, kinds, result, adapted, library function[, extra])
_CONFIG = [
    ("py_vqi_set_mode_consistency", "mode", "B", None, True, "vqi_set_mode_consistency"),
    ("py_vqi_get_serv_addr", "serv_id", "T", "addr", True, "vqi_get_serv_addr"),
    ("py_vqi_add_bus_topic", "topic", "T", None, True, "vqi_add_bus_topic"),
    ("py_vqi_set_strategy_id", "strategy_id", "T", None, True, "vqi_set_strategy_id"),
    ("py_vqi_set_token", "token", "T", "int", True, "vqi_set_token"),
    ("py_vqi_get_encrypted_token", "", "", "text", True, "vqi_get_encrypted_token"),
    ("py_vqi_get_orgcode", "", "", "text", True, "vqi_get_orgcode"),
    ("py_vqi_set_mfp", "mfp", "T", None, True, "vqi_set_mfp"),
    ("py_vqi_set_apitoken", "token", "T", None, True, "vqi_set_apitoken"),
    ("py_vqi_set_serv_addr", "addr", "T", None, True, "vqi_set_serv_addr"),
    ("py_vqi_strerror", "errorno", "I", "text", False, "vqi_strerror"),
    ("py_vqi_get_ext_errormsg", "", "", "text", False, "vqi_get_ext_errormsg"),
    ("py_vqi_run", "", "", "int", False, "vqi_run"),
    ("py_vqi_stop", "", "", "int", False, "vqi_stop"),
    ("py_vqi_set_timer", "interval", "I", None, False, "vqi_set_timer"),
    ("py_vqi_user_timer_stop", "timer_id", "I", None, True, "vqi_user_timer_stop"),
    ("py_vqi_set_account_id", "account_ids", "T", None, False, "vqi_set_account_id"),
    ("py_vqi_set_simtrade_only", "", "", None, False, "vqi_set_simtrade_only"),
    ("py_vqi_set_max_wait_time", "max_wait_time", "I", None, False, "vqi_set_max_wait_time"),
    ("py_vqi_get_stop_error_code", "", "", "int", False, "vqi_get_stop_error_code"),
    ("py_vqi_use_dsproxy", "", "", "int", False, "vqi_use_dsproxy"),
    # the event callback, bound here in the module's order
    ("py_vqi_set_data_callback", "pythonf", "A", None, False, "vqi_set_event_callback_pb"),
    ("py_vqi_set_bus_info", "server_addr user_name password", "TTT", None, True, "vqi_set_bus_info"),
    ("py_vqi_set_bus_secure", "in_mode tlsca tlscert tlskey skip_verify", "ITTTV", None, True, "vqi_set_bus_secure"),
    ("py_vqi_send_msg_to_bus", "topic msg", "TT", "int", True, "vqi_send_msg_to_bus"),
    ("py_vqi_schedule", "date_rule time_rule", "TT", "int", True, "vqi_schedule"),
    ("py_vqi_set_ctp_md_info", "front_addresses user_name password", "TTT", None, True, "vqi_set_ctp_md_info"),
    # the library's last two texts are null pointers
    ("py_vqi_set_version", "sdk_version sdk_lang", "TT", None, True, "vqi_set_version", (None, None)),
    ("py_vqi_user_timer", "period start_delay", "II", "int", True, "vqi_user_timer"),
    ("py_vqi_set_serv_addr_v5", "addr orgcode site_id", "TTT", None, False, "vqi_set_serv_addr_v5"),
    ("py_vqi_set_backtest_config",
     "start_time end_time initial_cash transaction_ratio commission_ratio commission_unit"
     " slippage_ratio option_float_margin_ratio1 option_float_margin_ratio2 adjust match_mode"
     " check_cache",
     "TTRRRRRRRIII", "int", True, "vqi_set_backtest_config"),
    ("py_vqi_set_backtest_intraday", "req", "I", None, True, "vqi_set_backtest_intraday"),
    ("py_vqi_set_backtest_threadnum", "n", "I", None, False, "vqi_set_backtest_threadnum"),
]

# Buffer families: one request in (none where a fourth item says ""), the
# reply for queries, the status for commands.  (name, library function,
# adapted[, parameters])
_QUERY = [
    ("py_vqi_current_price", "vqi_current_price_pb", True),
    ("py_vqi_place_order", "vqi_place_order_pb", True),
    ("py_vqi_last_tick", "vqi_last_tick_pb", True),
    ("py_vqi_get_unfinished_orders", "vqi_get_unfinished_orders_pb", True),
    ("py_vqi_get_orders", "vqi_get_orders_pb", True),
    ("py_vqi_close_all_positions", "vqi_close_all_positions_pb", True),
    ("py_vqi_get_execution_reports", "vqi_get_execution_reports_pb", True),
    ("py_vqi_get_cash", "vqi_get_cash_pb", True),
    ("py_vqi_get_positions", "vqi_get_positions_pb", True),
    ("py_vqi_get_accounts", "vqi_get_account_info_pb", False, ""),  # no request
    ("py_vqi_get_account_status", "vqi_get_account_status_pb", True),
    ("py_vqi_raw_func", "vqi_raw_func_pb", True),
    ("py_vqi_repay_cash_directly_pb", "vqi_repay_cash_directly_pb", True),
    ("py_vqi_get_collateral_instruments_pb", "vqi_get_collateral_instruments_pb", True),
    ("py_vqi_get_borrowable_instruments_pb", "vqi_get_borrowable_instruments_pb", True),
    ("py_vqi_get_borrowable_instruments_positions_pb", "vqi_get_borrowable_instruments_positions_pb", True),
    ("py_vqi_get_credit_contracts_pb", "vqi_get_credit_contracts_pb", True),
    ("py_vqi_get_credit_cash_pb", "vqi_get_credit_cash_pb", True),
    ("py_vqi_get_ipo_quota_pb", "vqi_get_ipo_quota_pb", True),
    ("py_vqi_get_ipo_instruments_pb", "vqi_get_ipo_instruments_pb", True),
    ("py_vqi_get_ipo_match_number_pb", "vqi_get_ipo_match_number_pb", True),
    ("py_vqi_get_ipo_lot_info_pb", "vqi_get_ipo_lot_info_pb", True),
    ("py_vqi_get_parameters", "vqi_get_parameters_pb", False),
    ("py_vqi_history_ticks_l2", "vqi_history_ticks_l2_pb", True),
    ("py_vqi_history_bars_l2", "vqi_history_bars_l2_pb", True),
    ("py_vqi_history_transaction_l2", "vqi_history_transaction_l2_pb", True),
    ("py_vqi_place_algo_orders", "vqi_place_algo_orders_pb", True),
    ("py_vqi_get_algo_orders", "vqi_get_algo_orders_pb", True),
    ("py_vqi_history_order_l2", "vqi_history_order_l2_pb", True),
    ("py_vqi_history_order_queue_l2", "vqi_history_order_queue_l2_pb", True),
    ("py_vqi_get_entrustable_volume_by_symbol_pb", "vqi_get_entrustable_volume_by_symbol_pb", True),
    ("py_vqi_get_symbol_infos", "vqi_get_symbol_infos", False),
    ("py_vqi_get_symbols_v2", "vqi_get_symbols_v2", False),
    ("py_vqi_get_history_symbol", "vqi_get_history_symbol", False),
    ("py_vqi_get_trading_session", "vqi_get_trading_session", False),
    ("py_vqi_get_contract_expire_rest_days", "vqi_get_contract_expire_rest_days", False),
    ("py_vqi_stk_get_industry_category", "vqi_stk_get_industry_category", False),
    ("py_vqi_stk_get_industry_constituents", "vqi_stk_get_industry_constituents", False),
    ("py_vqi_stk_get_symbol_industry", "vqi_stk_get_symbol_industry", False),
    ("py_vqi_stk_get_sector_category", "vqi_stk_get_sector_category", False),
    ("py_vqi_stk_get_sector_constituents", "vqi_stk_get_sector_constituents", False),
    ("py_vqi_stk_get_symbol_sector", "vqi_stk_get_symbol_sector", False),
    ("py_vqi_stk_get_index_constituents", "vqi_stk_get_index_constituents", False),
    ("py_vqi_stk_get_index_history_constituents", "vqi_stk_get_index_history_constituents", False),
    ("py_vqi_stk_get_dividend", "vqi_stk_get_dividend", False),
    ("py_stk_get_ration", "stk_get_ration", False),
    ("py_vqi_stk_get_adj_factor", "vqi_stk_get_adj_factor", False),
    ("py_vqi_stk_get_shareholder_num", "vqi_stk_get_shareholder_num", False),
    ("py_vqi_stk_get_top_shareholder", "vqi_stk_get_top_shareholder", False),
    ("py_vqi_stk_get_share_change", "vqi_stk_get_share_change", False),
    ("py_vqi_stk_get_fundamentals_balance", "vqi_stk_get_fundamentals_balance", False),
    ("py_vqi_stk_get_fundamentals_balance_pt", "vqi_stk_get_fundamentals_balance_pt", False),
    ("py_vqi_stk_get_fundamentals_cashflow", "vqi_stk_get_fundamentals_cashflow", False),
    ("py_vqi_stk_get_fundamentals_cashflow_pt", "vqi_stk_get_fundamentals_cashflow_pt", False),
    ("py_vqi_stk_get_fundamentals_income", "vqi_stk_get_fundamentals_income", False),
    ("py_vqi_stk_get_fundamentals_income_pt", "vqi_stk_get_fundamentals_income_pt", False),
    ("py_vqi_stk_get_finance_prime", "vqi_stk_get_finance_prime", False),
    ("py_vqi_stk_get_finance_prime_pt", "vqi_stk_get_finance_prime_pt", False),
    ("py_vqi_stk_get_finance_deriv", "vqi_stk_get_finance_deriv", False),
    ("py_vqi_stk_get_finance_deriv_pt", "vqi_stk_get_finance_deriv_pt", False),
    ("py_vqi_stk_get_daily_valuation", "vqi_stk_get_daily_valuation", False),
    ("py_vqi_stk_get_daily_valuation_pt", "vqi_stk_get_daily_valuation_pt", False),
    ("py_vqi_stk_get_daily_mktvalue", "vqi_stk_get_daily_mktvalue", False),
    ("py_vqi_stk_get_daily_mktvalue_pt", "vqi_stk_get_daily_mktvalue_pt", False),
    ("py_vqi_stk_get_daily_basic", "vqi_stk_get_daily_basic", False),
    ("py_vqi_stk_get_daily_basic_pt", "vqi_stk_get_daily_basic_pt", False),
    ("py_vqi_fut_get_continuous_contracts", "vqi_fut_get_continuous_contracts", False),
    ("py_vqi_fut_get_contract_info", "vqi_fut_get_contract_info", False),
    ("py_vqi_fut_get_transaction_ranking", "vqi_fut_get_transaction_ranking", False),
    ("py_vqi_fut_get_transaction_rankings", "vqi_fut_get_transaction_rankings", False),
    ("py_vqi_fut_get_warehouse_receipt", "vqi_fut_get_warehouse_receipt", False),
    ("py_vqi_fnd_get_etf_constituents", "vqi_fnd_get_etf_components", False),
    ("py_vqi_fnd_get_portfolio", "vqi_fnd_get_portfolio", False),
    ("py_vqi_fnd_get_net_value", "vqi_fnd_get_net_value", False),
    ("py_vqi_fnd_get_adj_factor", "vqi_fnd_get_adj_factor", False),
    ("py_vqi_fnd_get_dividend", "vqi_fnd_get_dividend", False),
    ("py_vqi_fnd_get_split", "vqi_fnd_get_split", False),
    ("py_vqi_bnd_get_conversion_price", "vqi_bnd_get_conversion_price", False),
    ("py_vqi_bnd_get_call_info", "vqi_bnd_get_call_info", False),
    ("py_vqi_bnd_get_put_info", "vqi_bnd_get_put_info", False),
    ("py_vqi_bnd_get_amount_change", "vqi_bnd_get_amount_change", False),
    ("py_get_trading_dates_by_year", "vqi_get_trading_dates_by_year", False),
    ("py_vqi_option_comb_entrust_pb", "vqi_option_comb_entrust_pb", False),
    ("py_vqi_option_sep_entrust_pb", "vqi_option_sep_entrust_pb", False),
    ("py_vqi_get_option_combinable_pb", "vqi_get_option_combinable_pb", False),
    ("py_vqi_get_option_comb_position_pb", "vqi_get_option_comb_position_pb", False),
    ("py_vqi_get_fundamentals", "vqi_get_fundamentals", False),
    ("py_vqi_get_fundamentals_n", "vqi_get_fundamentals_n", False),
    ("py_vqi_get_instrumentInfos", "vqi_get_instrumentInfos", False),
    ("py_vqi_get_fuzzy_match_instrumentInfos", "vqi_get_fuzzy_match_instrumentInfos", False),
    ("py_vqi_get_history_instruments", "vqi_get_history_instruments", False),
    ("py_vqi_get_constituents", "vqi_get_constituents", False),
    ("py_vqi_get_sector", "vqi_get_sector", False),
    ("py_vqi_get_industry", "vqi_get_industry", False),
    ("py_vqi_get_concept", "vqi_get_concept", False),
    ("py_vqi_get_trading_dates", "vqi_get_trading_dates", False),
    ("py_vqi_get_previous_trading_date", "vqi_get_previous_trading_date", False),
    ("py_vqi_get_next_trading_date", "vqi_get_next_trading_date", False),
    ("py_vqi_get_dividends", "vqi_get_dividends", False),
    ("py_vqi_get_dividends_snapshot", "vqi_get_dividends_snapshot", False),
    ("py_vqi_get_continuous_contracts", "vqi_get_continuous_contracts", False),
    ("py_vqi_get_varietyinfos", "vqi_get_varietyinfos", False),
    ("py_vqi_get_trading_time", "vqi_get_trading_time", False),
    ("py_vqi_option_get_symbols_by_exchange", "vqi_option_get_symbols_by_exchange", False),
    ("py_vqi_option_get_symbols_by_in_at_out", "vqi_option_get_symbols_by_in_at_out", False),
    ("py_vqi_option_get_delisted_dates", "vqi_option_get_delisted_dates", False),
    ("py_vqi_option_get_exercise_prices", "vqi_option_get_exercise_prices", False),
    ("py_vqi_history_ticks_pb", "vqi_history_ticks_pb", False),
    ("py_vqi_history_bars_pb", "vqi_history_bars_pb", False),
    ("py_vqi_history_ticks_n_pb", "vqi_history_ticks_n_pb", False),
    ("py_vqi_history_bars_n_pb", "vqi_history_bars_n_pb", False),
    ("py_vqi_get_instruments", "vqi_get_instruments", False),
    ("py_vqi_get_trading_times_ext", "vqi_get_trading_times_ext", False),
    ("py_vqi_get_convertible_bond_call_info", "vqi_get_convertible_bond_call_info", False),
    ("py_vqi_get_previous_n_trading_dates", "vqi_get_previous_n_trading_dates", False),
    ("py_vqi_get_next_n_trading_dates", "vqi_get_next_n_trading_dates", False),
    ("py_vqi_stk_abnor_change_stocks", "vqi_stk_abnor_change_stocks", False),
    ("py_vqi_stk_abnor_change_detail", "vqi_stk_abnor_change_detail", False),
    ("py_vqi_stk_quota_shszhk_infos", "vqi_stk_quota_shszhk_infos", False),
    ("py_vqi_stk_hk_inst_holding_detail_info", "vqi_stk_hk_inst_holding_detail_info", False),
    ("py_vqi_stk_hk_inst_holding_info", "vqi_stk_hk_inst_holding_info", False),
    ("py_vqi_stk_active_stock_top10_shszhk_info", "vqi_stk_active_stock_top10_shszhk_info", False),
    ("py_vqi_stk_get_money_flow", "vqi_stk_get_money_flow", False),
    ("py_vqi_stk_get_finance_audit", "vqi_stk_get_finance_audit", False),
    ("py_vqi_stk_get_finance_forecast", "vqi_stk_get_finance_forecast", False),
    ("py_vqi_fnd_get_share", "vqi_fnd_get_share", False),
    ("py_vqi_bnd_get_analysis", "vqi_bnd_get_analysis", False),
    ("py_vqi_get_cash_pb_v2", "vqi_get_cash_pb_v2", False),
    ("py_vqi_get_positions_pb_v2", "vqi_get_positions_pb_v2", False),
    ("py_vqi_get_instrument_pool_by_name_pb", "vqi_get_instrument_pool_by_name_pb", False),
    ("py_vqi_get_instrument_pools_pb", "vqi_get_instrument_pools_pb", False),
    ("py_vqi_get_open_call_auction", "vqi_get_open_call_auction", False),
]

_COMMAND = [
    ("py_vqi_cancel_all_orders", "vqi_cancel_all_orders_pb", True),
    ("py_vqi_cancel_order", "vqi_cancel_orders_pb", True),
    ("py_vqi_add_parameters", "vqi_add_parameters_pb", False),
    ("py_vqi_set_parameters", "vqi_set_parameters_pb", False),
    ("py_vqi_log", "vqi_log_pb", False),
    ("py_vqi_cancel_algo_orders", "vqi_cancel_algo_orders_pb", True),
    ("py_vqi_pause_algo_orders", "vqi_pause_algo_orders_pb", True),
    ("py_vqi_set_instrument_pool_symbols_pb", "vqi_set_instrument_pool_symbols_pb", False),
    ("py_vqi_del_instrument_pool_by_name_pb", "vqi_del_instrument_pool_by_name_pb", False),
]

# (name, parameters, kinds, result, adapted, library function[, order])
_MARKET = [
    ("py_vqi_subscribe", "symbols frequency unsubscribe_previous", "TTV", "int", True, "vqi_subscribe"),
    ("py_vqi_unsubscribe", "symbols frequency", "TT", "int", True, "vqi_unsubscribe"),
    # Python takes (symbols, fields, flag); the library (symbols, flag, fields)
    ("py_vqi_current", "symbols fields include_call_auction", "TTV", "reply", True, "vqi_current_pb", (0, 2, 1)),
    ("py_vqi_algo_order_batch", "req algo_name algo_params", "QTT", "reply", True, "vqi_algo_order_batch_pb"),
    ("py_vqi_get_child_orders", "account_id algo_id", "TT", "reply", True, "vqi_get_child_orders_pb"),
    ("py_vqi_smart_reorder",
     "symbol price volume side order_type position_effect repeat_n max_price_offset time_out"
     " time_wait account",
     "TRIIIIIIIIT", "int", True, "vqi_smart_reorder"),
    ("py_vqi_smart_reorder_cancel", "reorder_id", "I", "int", True, "vqi_smart_reorder_cancel"),
]

# Library functions under their own names: (name, parameters, kinds, result)
_EXPORTS = [
    ("vqi_add_bus_topic", "topic", "T", None),
    ("vqi_get_c_version", "", "", "text"),
    ("vqi_get_encrypted_token", "", "", "text"),
    ("vqi_get_ext_errormsg", "", "", "text"),
    ("vqi_get_orgcode", "", "", "text"),
    ("vqi_init", "", "", "int"),
    ("vqi_now", "", "", "int"),
    ("vqi_now_plus", "", "", "float"),
    ("vqi_poll", "", "", "int"),
    ("vqi_send_msg_to_bus", "topic msg", "TT", "int"),
    ("vqi_set_bus_info", "server_addr user_name password", "TTT", None),
    ("vqi_set_bus_secure", "in_mode tlsca tlscert tlskey skip_verify", "ITTTV", None),
    ("vqi_set_mode", "mode", "I", None),
    ("vqi_strerror", "errorno", "I", "text"),
]
# fmt: on


def _buffer(family, result, row):
    name, lib, adapted = row[:3]
    params = row[3] if len(row) > 3 else "req"
    return _function(family, name, params, "Q" * len(params.split()), result, adapted, lib)


def _config(row):  # a seventh item is `extra`
    family = "events" if row[0] == "py_vqi_set_data_callback" else "config"
    return _function(family, *row[:6], extra=row[6] if len(row) > 6 else ())


def _market(row):  # a seventh item is `order`
    return _function("market", *row[:6], order=row[6] if len(row) > 6 else None)


# Every module callable, in the order the module binds them.
FUNCTIONS = (
    [_function("support", n, p, k, r, False, None) for n, p, k, r in _SUPPORT]
    + [_config(r) for r in _CONFIG]
    + [_buffer("query", "reply", r) for r in _QUERY]
    + [_buffer("command", "int", r) for r in _COMMAND]
    + [_market(r) for r in _MARKET]
    + [_function("export", n, p, k, r, False, n) for n, p, k, r in _EXPORTS]
)
BY_NAME = {f.name: f for f in FUNCTIONS}
assert len(BY_NAME) == len(FUNCTIONS)


def family(*names):
    return [f for f in FUNCTIONS if f.family in names]


# ---- views of the table, in the shapes the tests use ----------------------------------------
QUERY = [(f.name, f.lib, f.adapted) for f in family("query")]
COMMAND = [(f.name, f.lib, f.adapted) for f in family("command")]
CONFIG = [(f.name, f.params, f.adapted, f.lib) for f in family("config")]
MARKET = [(f.name, f.params, f.adapted, f.lib) for f in family("market")]
SUPPORT = [f.name for f in family("support")]
EXPORTS = [f.name for f in family("export")]
# the py_... wrappers
WRAPPERS = [f.name for f in family("config", "events", "query", "command", "market")]
ADAPTED = {f.name for f in FUNCTIONS if f.adapted}
# the builtin functions (the exports are objects of their own type)
BUILTINS = SUPPORT + WRAPPERS
# the library functions the module calls
LIBRARY = {f.lib for f in FUNCTIONS if f.lib is not None}

RECORDS = ["QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2", "ObjectLikeDict2"]

GLOBALS = ["functools", "platform", "CSDK_OPERATE_SUCCESS", "vqsdklogger", "IS_PY2", "IS_PY3"]
