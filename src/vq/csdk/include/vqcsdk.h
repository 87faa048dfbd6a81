/*
 * vqcsdk.h - C interface of the trading library libvq3-c.so.
 *
 * Conventions shared by every function below:
 *  - status results are int; success is the value the Python package binds
 *    as CSDK_OPERATE_SUCCESS (0).
 *  - text parameters are NUL-terminated and only borrowed for the call;
 *    the library copies what it keeps.
 *  - a request is a byte pointer plus an int length; zero bytes are data.
 *  - a response is returned through (const char **res, int *res_len); the
 *    memory stays owned by the library and is never freed by the caller.
 *  - returned texts are owned by the library, never freed by the caller.
 *  - events are delivered through the registered EventCallback, on the
 *    thread that is inside a library call (vqi_run, vqi_poll, ...).  The
 *    Python module also takes an event from another thread (one of the
 *    library's own): it acquires the interpreter lock for it, so such an
 *    event waits until the lock is free (for example until py_vqi_run
 *    returns, since every call through the module keeps the lock).
 */
#ifndef VQCSDK_H
#define VQCSDK_H

#include "vqdef.h"

#ifndef __cplusplus
#    include <stdbool.h>
#endif

#if defined(__GNUC__)
#    define VQ_API __attribute__((visibility("default")))
#else
#    define VQ_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One event: its type (NUL-terminated UTF-8), then data_len bytes of payload. */
typedef void (*EventCallback)(const char *msg_type, const void *data, int data_len);

/* ---- lifecycle, run control and events ---------------------------------- */
VQ_API int vqi_init(void);
VQ_API int vqi_run(void);
VQ_API int vqi_stop(void);
VQ_API int vqi_poll(void);
VQ_API void vqi_set_event_callback_pb(EventCallback callback);
VQ_API int vqi_get_stop_error_code(void);
VQ_API void vqi_set_mode(int mode);
VQ_API void vqi_set_mode_consistency(bool mode);
VQ_API void vqi_set_simtrade_only(void);
VQ_API void vqi_set_timer(int interval);
VQ_API void vqi_set_max_wait_time(int max_wait_time);
VQ_API int vqi_use_dsproxy(void);
VQ_API int vqi_schedule(const char *date_rule, const char *time_rule);
VQ_API int vqi_user_timer(int period, int start_delay);
VQ_API void vqi_user_timer_stop(int timer_id);
VQ_API long long vqi_now(void);
VQ_API double vqi_now_plus(void);

/* ---- identity, credentials and servers ---------------------------------- */
VQ_API void vqi_set_version(const char *sdk_version, const char *sdk_lang, const char *reserved1,
                            const char *reserved2);
VQ_API int vqi_set_token(const char *token);
VQ_API void vqi_set_apitoken(const char *token);
VQ_API void vqi_set_strategy_id(const char *strategy_id);
VQ_API void vqi_set_account_id(const char *account_ids);
VQ_API void vqi_set_mfp(const char *mfp);
VQ_API void vqi_set_serv_addr(const char *addr);
VQ_API void vqi_set_serv_addr_v5(const char *addr, const char *orgcode, const char *site_id);
VQ_API int vqi_get_serv_addr(const char *serv_id, const char **addr);
VQ_API void vqi_set_ctp_md_info(const char *front_addresses, const char *user_name,
                                const char *password);
VQ_API const char *vqi_get_encrypted_token(void);
VQ_API const char *vqi_get_orgcode(void);
VQ_API const char *vqi_get_c_version(void);
VQ_API const char *vqi_get_ext_errormsg(void);
VQ_API const char *vqi_strerror(int errorno);

/* ---- message bus --------------------------------------------------------- */
VQ_API void vqi_set_bus_info(const char *server_addr, const char *user_name, const char *password);
VQ_API void vqi_set_bus_secure(int in_mode, const char *tlsca, const char *tlscert,
                               const char *tlskey, bool skip_verify);
VQ_API void vqi_add_bus_topic(const char *topic);
VQ_API int vqi_send_msg_to_bus(const char *topic, const char *msg);

/* ---- backtest ------------------------------------------------------------ */
VQ_API int vqi_set_backtest_config(const char *start_time, const char *end_time,
                                   double initial_cash, double transaction_ratio,
                                   double commission_ratio, double commission_unit,
                                   double slippage_ratio, double option_float_margin_ratio1,
                                   double option_float_margin_ratio2, int adjust, int match_mode,
                                   int check_cache);
VQ_API void vqi_set_backtest_intraday(int intraday);
VQ_API void vqi_set_backtest_threadnum(int n);

/* ---- market data, algorithmic orders, smart reorder ---------------------- */
VQ_API int vqi_subscribe(const char *symbols, const char *frequency, bool unsubscribe_previous);
VQ_API int vqi_unsubscribe(const char *symbols, const char *frequency);
VQ_API int vqi_current_pb(const char *symbols, bool include_call_auction, const char *fields,
                          const char **res, int *res_len);
VQ_API int vqi_algo_order_batch_pb(const char *req, int req_len, const char *algo_name,
                                   const char *algo_params, const char **res, int *res_len);
VQ_API int vqi_get_child_orders_pb(const char *account_id, const char *algo_id, const char **res,
                                   int *res_len);
VQ_API int vqi_smart_reorder(const char *symbol, double price, int volume, int side, int order_type,
                             int position_effect, int repeat_n, int max_price_offset, int time_out,
                             int time_wait, const char *account);
VQ_API int vqi_smart_reorder_cancel(int reorder_id);

/* ---- queries: request in, status and response out ------------------------ */
VQ_API int vqi_get_account_info_pb(const char **res, int *res_len);
VQ_API int vqi_current_price_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_place_order_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_last_tick_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_unfinished_orders_pb(const char *req, int req_len, const char **res,
                                        int *res_len);
VQ_API int vqi_get_orders_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_close_all_positions_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_execution_reports_pb(const char *req, int req_len, const char **res,
                                        int *res_len);
VQ_API int vqi_get_cash_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_positions_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_account_status_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_raw_func_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_repay_cash_directly_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_collateral_instruments_pb(const char *req, int req_len, const char **res,
                                             int *res_len);
VQ_API int vqi_get_borrowable_instruments_pb(const char *req, int req_len, const char **res,
                                             int *res_len);
VQ_API int vqi_get_borrowable_instruments_positions_pb(const char *req, int req_len,
                                                       const char **res, int *res_len);
VQ_API int vqi_get_credit_contracts_pb(const char *req, int req_len, const char **res,
                                       int *res_len);
VQ_API int vqi_get_credit_cash_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_ipo_quota_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_ipo_instruments_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_ipo_match_number_pb(const char *req, int req_len, const char **res,
                                       int *res_len);
VQ_API int vqi_get_ipo_lot_info_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_parameters_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_history_ticks_l2_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_history_bars_l2_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_history_transaction_l2_pb(const char *req, int req_len, const char **res,
                                         int *res_len);
VQ_API int vqi_place_algo_orders_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_algo_orders_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_history_order_l2_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_history_order_queue_l2_pb(const char *req, int req_len, const char **res,
                                         int *res_len);
VQ_API int vqi_get_entrustable_volume_by_symbol_pb(const char *req, int req_len, const char **res,
                                                   int *res_len);
VQ_API int vqi_get_symbol_infos(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_symbols_v2(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_history_symbol(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_trading_session(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_contract_expire_rest_days(const char *req, int req_len, const char **res,
                                             int *res_len);
VQ_API int vqi_stk_get_industry_category(const char *req, int req_len, const char **res,
                                         int *res_len);
VQ_API int vqi_stk_get_industry_constituents(const char *req, int req_len, const char **res,
                                             int *res_len);
VQ_API int vqi_stk_get_symbol_industry(const char *req, int req_len, const char **res,
                                       int *res_len);
VQ_API int vqi_stk_get_sector_category(const char *req, int req_len, const char **res,
                                       int *res_len);
VQ_API int vqi_stk_get_sector_constituents(const char *req, int req_len, const char **res,
                                           int *res_len);
VQ_API int vqi_stk_get_symbol_sector(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_stk_get_index_constituents(const char *req, int req_len, const char **res,
                                          int *res_len);
VQ_API int vqi_stk_get_index_history_constituents(const char *req, int req_len, const char **res,
                                                  int *res_len);
VQ_API int vqi_stk_get_dividend(const char *req, int req_len, const char **res, int *res_len);
VQ_API int stk_get_ration(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_stk_get_adj_factor(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_stk_get_shareholder_num(const char *req, int req_len, const char **res,
                                       int *res_len);
VQ_API int vqi_stk_get_top_shareholder(const char *req, int req_len, const char **res,
                                       int *res_len);
VQ_API int vqi_stk_get_share_change(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_stk_get_fundamentals_balance(const char *req, int req_len, const char **res,
                                            int *res_len);
VQ_API int vqi_stk_get_fundamentals_balance_pt(const char *req, int req_len, const char **res,
                                               int *res_len);
VQ_API int vqi_stk_get_fundamentals_cashflow(const char *req, int req_len, const char **res,
                                             int *res_len);
VQ_API int vqi_stk_get_fundamentals_cashflow_pt(const char *req, int req_len, const char **res,
                                                int *res_len);
VQ_API int vqi_stk_get_fundamentals_income(const char *req, int req_len, const char **res,
                                           int *res_len);
VQ_API int vqi_stk_get_fundamentals_income_pt(const char *req, int req_len, const char **res,
                                              int *res_len);
VQ_API int vqi_stk_get_finance_prime(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_stk_get_finance_prime_pt(const char *req, int req_len, const char **res,
                                        int *res_len);
VQ_API int vqi_stk_get_finance_deriv(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_stk_get_finance_deriv_pt(const char *req, int req_len, const char **res,
                                        int *res_len);
VQ_API int vqi_stk_get_daily_valuation(const char *req, int req_len, const char **res,
                                       int *res_len);
VQ_API int vqi_stk_get_daily_valuation_pt(const char *req, int req_len, const char **res,
                                          int *res_len);
VQ_API int vqi_stk_get_daily_mktvalue(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_stk_get_daily_mktvalue_pt(const char *req, int req_len, const char **res,
                                         int *res_len);
VQ_API int vqi_stk_get_daily_basic(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_stk_get_daily_basic_pt(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_fut_get_continuous_contracts(const char *req, int req_len, const char **res,
                                            int *res_len);
VQ_API int vqi_fut_get_contract_info(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_fut_get_transaction_ranking(const char *req, int req_len, const char **res,
                                           int *res_len);
VQ_API int vqi_fut_get_transaction_rankings(const char *req, int req_len, const char **res,
                                            int *res_len);
VQ_API int vqi_fut_get_warehouse_receipt(const char *req, int req_len, const char **res,
                                         int *res_len);
VQ_API int vqi_fnd_get_etf_components(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_fnd_get_portfolio(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_fnd_get_net_value(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_fnd_get_adj_factor(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_fnd_get_dividend(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_fnd_get_split(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_bnd_get_conversion_price(const char *req, int req_len, const char **res,
                                        int *res_len);
VQ_API int vqi_bnd_get_call_info(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_bnd_get_put_info(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_bnd_get_amount_change(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_trading_dates_by_year(const char *req, int req_len, const char **res,
                                         int *res_len);
VQ_API int vqi_option_comb_entrust_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_option_sep_entrust_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_option_combinable_pb(const char *req, int req_len, const char **res,
                                        int *res_len);
VQ_API int vqi_get_option_comb_position_pb(const char *req, int req_len, const char **res,
                                           int *res_len);
VQ_API int vqi_get_fundamentals(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_fundamentals_n(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_instrumentInfos(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_fuzzy_match_instrumentInfos(const char *req, int req_len, const char **res,
                                               int *res_len);
VQ_API int vqi_get_history_instruments(const char *req, int req_len, const char **res,
                                       int *res_len);
VQ_API int vqi_get_constituents(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_sector(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_industry(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_concept(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_trading_dates(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_previous_trading_date(const char *req, int req_len, const char **res,
                                         int *res_len);
VQ_API int vqi_get_next_trading_date(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_dividends(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_dividends_snapshot(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_continuous_contracts(const char *req, int req_len, const char **res,
                                        int *res_len);
VQ_API int vqi_get_varietyinfos(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_trading_time(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_option_get_symbols_by_exchange(const char *req, int req_len, const char **res,
                                              int *res_len);
VQ_API int vqi_option_get_symbols_by_in_at_out(const char *req, int req_len, const char **res,
                                               int *res_len);
VQ_API int vqi_option_get_delisted_dates(const char *req, int req_len, const char **res,
                                         int *res_len);
VQ_API int vqi_option_get_exercise_prices(const char *req, int req_len, const char **res,
                                          int *res_len);
VQ_API int vqi_history_ticks_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_history_bars_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_history_ticks_n_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_history_bars_n_pb(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_instruments(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_trading_times_ext(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_convertible_bond_call_info(const char *req, int req_len, const char **res,
                                              int *res_len);
VQ_API int vqi_get_previous_n_trading_dates(const char *req, int req_len, const char **res,
                                            int *res_len);
VQ_API int vqi_get_next_n_trading_dates(const char *req, int req_len, const char **res,
                                        int *res_len);
VQ_API int vqi_stk_abnor_change_stocks(const char *req, int req_len, const char **res,
                                       int *res_len);
VQ_API int vqi_stk_abnor_change_detail(const char *req, int req_len, const char **res,
                                       int *res_len);
VQ_API int vqi_stk_quota_shszhk_infos(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_stk_hk_inst_holding_detail_info(const char *req, int req_len, const char **res,
                                               int *res_len);
VQ_API int vqi_stk_hk_inst_holding_info(const char *req, int req_len, const char **res,
                                        int *res_len);
VQ_API int vqi_stk_active_stock_top10_shszhk_info(const char *req, int req_len, const char **res,
                                                  int *res_len);
VQ_API int vqi_stk_get_money_flow(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_stk_get_finance_audit(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_stk_get_finance_forecast(const char *req, int req_len, const char **res,
                                        int *res_len);
VQ_API int vqi_fnd_get_share(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_bnd_get_analysis(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_cash_pb_v2(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_positions_pb_v2(const char *req, int req_len, const char **res, int *res_len);
VQ_API int vqi_get_instrument_pool_by_name_pb(const char *req, int req_len, const char **res,
                                              int *res_len);
VQ_API int vqi_get_instrument_pools_pb(const char *req, int req_len, const char **res,
                                       int *res_len);
VQ_API int vqi_get_open_call_auction(const char *req, int req_len, const char **res, int *res_len);

/* ---- commands: request in, status out ----------------------------------- */
VQ_API int vqi_cancel_all_orders_pb(const char *req, int req_len);
VQ_API int vqi_cancel_orders_pb(const char *req, int req_len);
VQ_API int vqi_add_parameters_pb(const char *req, int req_len);
VQ_API int vqi_set_parameters_pb(const char *req, int req_len);
VQ_API int vqi_log_pb(const char *req, int req_len);
VQ_API int vqi_cancel_algo_orders_pb(const char *req, int req_len);
VQ_API int vqi_pause_algo_orders_pb(const char *req, int req_len);
VQ_API int vqi_set_instrument_pool_symbols_pb(const char *req, int req_len);
VQ_API int vqi_del_instrument_pool_by_name_pb(const char *req, int req_len);

#ifdef __cplusplus
}
#endif

#endif /* VQCSDK_H */
