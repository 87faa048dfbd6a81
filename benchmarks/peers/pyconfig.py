"""py_vqi_set_backtest_config as a plain Python wrapper, shared by the
ctypes and cffi peers: only the library call and the conversion of the
two time texts differ between them."""

from pyadapter import adapt_to_python3


def backtest_config(call, text):
    """The adapted wrapper over call (the library's vqi_set_backtest_config),
    text converting start_time and end_time."""

    def py_vqi_set_backtest_config(
        start_time,
        end_time,
        initial_cash,
        transaction_ratio,
        commission_ratio,
        commission_unit,
        slippage_ratio,
        option_float_margin_ratio1,
        option_float_margin_ratio2,
        adjust,
        match_mode,
        check_cache,
    ):
        return call(
            text(start_time),
            text(end_time),
            initial_cash,
            transaction_ratio,
            commission_ratio,
            commission_unit,
            slippage_ratio,
            option_float_margin_ratio1,
            option_float_margin_ratio2,
            adjust,
            match_mode,
            check_cache,
        )

    return adapt_to_python3(py_vqi_set_backtest_config)
