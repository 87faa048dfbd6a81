/*
 * vqfuncs.h - every function of libvq3-c.so, as X-macro lists.
 *
 * The query and command lists define those functions outright (one line
 * each in vqi.cpp); all three lists together give each function its slot
 * in the script table, so the hot path indexes an array instead of
 * looking a name up.
 */
#ifndef VQ_STANDIN_VQFUNCS_H
#define VQ_STANDIN_VQFUNCS_H

/* int fn(const char *req, int req_len, const char **res, int *res_len) */
#define VQ_QUERY_FUNCS(X)                          \
    X(vqi_current_price_pb)                        \
    X(vqi_place_order_pb)                          \
    X(vqi_last_tick_pb)                            \
    X(vqi_get_unfinished_orders_pb)                \
    X(vqi_get_orders_pb)                           \
    X(vqi_close_all_positions_pb)                  \
    X(vqi_get_execution_reports_pb)                \
    X(vqi_get_cash_pb)                             \
    X(vqi_get_positions_pb)                        \
    X(vqi_get_account_status_pb)                   \
    X(vqi_raw_func_pb)                             \
    X(vqi_repay_cash_directly_pb)                  \
    X(vqi_get_collateral_instruments_pb)           \
    X(vqi_get_borrowable_instruments_pb)           \
    X(vqi_get_borrowable_instruments_positions_pb) \
    X(vqi_get_credit_contracts_pb)                 \
    X(vqi_get_credit_cash_pb)                      \
    X(vqi_get_ipo_quota_pb)                        \
    X(vqi_get_ipo_instruments_pb)                  \
    X(vqi_get_ipo_match_number_pb)                 \
    X(vqi_get_ipo_lot_info_pb)                     \
    X(vqi_get_parameters_pb)                       \
    X(vqi_history_ticks_l2_pb)                     \
    X(vqi_history_bars_l2_pb)                      \
    X(vqi_history_transaction_l2_pb)               \
    X(vqi_place_algo_orders_pb)                    \
    X(vqi_get_algo_orders_pb)                      \
    X(vqi_history_order_l2_pb)                     \
    X(vqi_history_order_queue_l2_pb)               \
    X(vqi_get_entrustable_volume_by_symbol_pb)     \
    X(vqi_get_symbol_infos)                        \
    X(vqi_get_symbols_v2)                          \
    X(vqi_get_history_symbol)                      \
    X(vqi_get_trading_session)                     \
    X(vqi_get_contract_expire_rest_days)           \
    X(vqi_stk_get_industry_category)               \
    X(vqi_stk_get_industry_constituents)           \
    X(vqi_stk_get_symbol_industry)                 \
    X(vqi_stk_get_sector_category)                 \
    X(vqi_stk_get_sector_constituents)             \
    X(vqi_stk_get_symbol_sector)                   \
    X(vqi_stk_get_index_constituents)              \
    X(vqi_stk_get_index_history_constituents)      \
    X(vqi_stk_get_dividend)                        \
    X(stk_get_ration)                              \
    X(vqi_stk_get_adj_factor)                      \
    X(vqi_stk_get_shareholder_num)                 \
    X(vqi_stk_get_top_shareholder)                 \
    X(vqi_stk_get_share_change)                    \
    X(vqi_stk_get_fundamentals_balance)            \
    X(vqi_stk_get_fundamentals_balance_pt)         \
    X(vqi_stk_get_fundamentals_cashflow)           \
    X(vqi_stk_get_fundamentals_cashflow_pt)        \
    X(vqi_stk_get_fundamentals_income)             \
    X(vqi_stk_get_fundamentals_income_pt)          \
    X(vqi_stk_get_finance_prime)                   \
    X(vqi_stk_get_finance_prime_pt)                \
    X(vqi_stk_get_finance_deriv)                   \
    X(vqi_stk_get_finance_deriv_pt)                \
    X(vqi_stk_get_daily_valuation)                 \
    X(vqi_stk_get_daily_valuation_pt)              \
    X(vqi_stk_get_daily_mktvalue)                  \
    X(vqi_stk_get_daily_mktvalue_pt)               \
    X(vqi_stk_get_daily_basic)                     \
    X(vqi_stk_get_daily_basic_pt)                  \
    X(vqi_fut_get_continuous_contracts)            \
    X(vqi_fut_get_contract_info)                   \
    X(vqi_fut_get_transaction_ranking)             \
    X(vqi_fut_get_transaction_rankings)            \
    X(vqi_fut_get_warehouse_receipt)               \
    X(vqi_fnd_get_etf_components)                  \
    X(vqi_fnd_get_portfolio)                       \
    X(vqi_fnd_get_net_value)                       \
    X(vqi_fnd_get_adj_factor)                      \
    X(vqi_fnd_get_dividend)                        \
    X(vqi_fnd_get_split)                           \
    X(vqi_bnd_get_conversion_price)                \
    X(vqi_bnd_get_call_info)                       \
    X(vqi_bnd_get_put_info)                        \
    X(vqi_bnd_get_amount_change)                   \
    X(vqi_get_trading_dates_by_year)               \
    X(vqi_option_comb_entrust_pb)                  \
    X(vqi_option_sep_entrust_pb)                   \
    X(vqi_get_option_combinable_pb)                \
    X(vqi_get_option_comb_position_pb)             \
    X(vqi_get_fundamentals)                        \
    X(vqi_get_fundamentals_n)                      \
    X(vqi_get_instrumentInfos)                     \
    X(vqi_get_fuzzy_match_instrumentInfos)         \
    X(vqi_get_history_instruments)                 \
    X(vqi_get_constituents)                        \
    X(vqi_get_sector)                              \
    X(vqi_get_industry)                            \
    X(vqi_get_concept)                             \
    X(vqi_get_trading_dates)                       \
    X(vqi_get_previous_trading_date)               \
    X(vqi_get_next_trading_date)                   \
    X(vqi_get_dividends)                           \
    X(vqi_get_dividends_snapshot)                  \
    X(vqi_get_continuous_contracts)                \
    X(vqi_get_varietyinfos)                        \
    X(vqi_get_trading_time)                        \
    X(vqi_option_get_symbols_by_exchange)          \
    X(vqi_option_get_symbols_by_in_at_out)         \
    X(vqi_option_get_delisted_dates)               \
    X(vqi_option_get_exercise_prices)              \
    X(vqi_history_ticks_pb)                        \
    X(vqi_history_bars_pb)                         \
    X(vqi_history_ticks_n_pb)                      \
    X(vqi_history_bars_n_pb)                       \
    X(vqi_get_instruments)                         \
    X(vqi_get_trading_times_ext)                   \
    X(vqi_get_convertible_bond_call_info)          \
    X(vqi_get_previous_n_trading_dates)            \
    X(vqi_get_next_n_trading_dates)                \
    X(vqi_stk_abnor_change_stocks)                 \
    X(vqi_stk_abnor_change_detail)                 \
    X(vqi_stk_quota_shszhk_infos)                  \
    X(vqi_stk_hk_inst_holding_detail_info)         \
    X(vqi_stk_hk_inst_holding_info)                \
    X(vqi_stk_active_stock_top10_shszhk_info)      \
    X(vqi_stk_get_money_flow)                      \
    X(vqi_stk_get_finance_audit)                   \
    X(vqi_stk_get_finance_forecast)                \
    X(vqi_fnd_get_share)                           \
    X(vqi_bnd_get_analysis)                        \
    X(vqi_get_cash_pb_v2)                          \
    X(vqi_get_positions_pb_v2)                     \
    X(vqi_get_instrument_pool_by_name_pb)          \
    X(vqi_get_instrument_pools_pb)                 \
    X(vqi_get_open_call_auction)

/* int fn(const char *req, int req_len) */
#define VQ_COMMAND_FUNCS(X)               \
    X(vqi_cancel_all_orders_pb)           \
    X(vqi_cancel_orders_pb)               \
    X(vqi_add_parameters_pb)              \
    X(vqi_set_parameters_pb)              \
    X(vqi_log_pb)                         \
    X(vqi_cancel_algo_orders_pb)          \
    X(vqi_pause_algo_orders_pb)           \
    X(vqi_set_instrument_pool_symbols_pb) \
    X(vqi_del_instrument_pool_by_name_pb)

/* everything else, each written out by hand in vqi.cpp */
#define VQ_OTHER_FUNCS(X)         \
    X(vqi_init)                   \
    X(vqi_run)                    \
    X(vqi_stop)                   \
    X(vqi_poll)                   \
    X(vqi_set_event_callback_pb)  \
    X(vqi_get_stop_error_code)    \
    X(vqi_set_mode)               \
    X(vqi_set_mode_consistency)   \
    X(vqi_set_simtrade_only)      \
    X(vqi_set_timer)              \
    X(vqi_set_max_wait_time)      \
    X(vqi_use_dsproxy)            \
    X(vqi_schedule)               \
    X(vqi_user_timer)             \
    X(vqi_user_timer_stop)        \
    X(vqi_now)                    \
    X(vqi_now_plus)               \
    X(vqi_set_version)            \
    X(vqi_set_token)              \
    X(vqi_set_apitoken)           \
    X(vqi_set_strategy_id)        \
    X(vqi_set_account_id)         \
    X(vqi_set_mfp)                \
    X(vqi_set_serv_addr)          \
    X(vqi_set_serv_addr_v5)       \
    X(vqi_get_serv_addr)          \
    X(vqi_set_ctp_md_info)        \
    X(vqi_get_encrypted_token)    \
    X(vqi_get_orgcode)            \
    X(vqi_get_c_version)          \
    X(vqi_get_ext_errormsg)       \
    X(vqi_strerror)               \
    X(vqi_set_bus_info)           \
    X(vqi_set_bus_secure)         \
    X(vqi_add_bus_topic)          \
    X(vqi_send_msg_to_bus)        \
    X(vqi_set_backtest_config)    \
    X(vqi_set_backtest_intraday)  \
    X(vqi_set_backtest_threadnum) \
    X(vqi_subscribe)              \
    X(vqi_unsubscribe)            \
    X(vqi_current_pb)             \
    X(vqi_algo_order_batch_pb)    \
    X(vqi_get_child_orders_pb)    \
    X(vqi_smart_reorder)          \
    X(vqi_smart_reorder_cancel)   \
    X(vqi_get_account_info_pb)

#define VQ_ALL_FUNCS(X) VQ_QUERY_FUNCS(X) VQ_COMMAND_FUNCS(X) VQ_OTHER_FUNCS(X)

#endif /* VQ_STANDIN_VQFUNCS_H */
