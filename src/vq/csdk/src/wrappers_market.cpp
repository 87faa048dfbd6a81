// Market data and order calls with shapes of their own: subscriptions, the
// current snapshot, algorithmic order batches and child orders, smart
// reorder.  Kinds are listed in the library's parameter order, which is
// also the order of conversion; each names its Python parameter.
#include "rows.hpp"

namespace vq {

// clang-format off
static Row rows[] = {
    VQ_WRAP("py_vqi_subscribe", "symbols, frequency, unsubscribe_previous", ADAPTED,
            vqi_subscribe, Status, Text<0>, Text<1>, Truth<2>),
    VQ_WRAP("py_vqi_unsubscribe", "symbols, frequency", ADAPTED,
            vqi_unsubscribe, Status, Text<0>, Text<1>),
    // Python takes (symbols, fields, flag); the library (symbols, flag, fields).
    VQ_WRAP("py_vqi_current", "symbols, fields, include_call_auction", ADAPTED,
            vqi_current_pb, Response, Text<0>, Truth<2>, Text<1>),
    VQ_WRAP("py_vqi_algo_order_batch", "req, algo_name, algo_params", ADAPTED,
            vqi_algo_order_batch_pb, Response, Request<0>, Text<1>, Text<2>),
    VQ_WRAP("py_vqi_get_child_orders", "account_id, algo_id", ADAPTED,
            vqi_get_child_orders_pb, Response, Text<0>, Text<1>),
    VQ_WRAP("py_vqi_smart_reorder",
            "symbol, price, volume, side, order_type, position_effect, repeat_n, "
            "max_price_offset, time_out, time_wait, account",
            ADAPTED, vqi_smart_reorder, Status,
            Text<0>, Real<1>, Int<2>, Int<3>, Int<4>, Int<5>, Int<6>, Int<7>, Int<8>, Int<9>,
            Text<10>),
    VQ_WRAP("py_vqi_smart_reorder_cancel", "reorder_id", ADAPTED,
            vqi_smart_reorder_cancel, Status, Int<0>),
};
// clang-format on

RowTable market_wrappers() {
    return VQ_TABLE(rows);
}

}  // namespace vq
