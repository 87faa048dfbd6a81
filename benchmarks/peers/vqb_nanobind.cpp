// The benchmarked operations written with nanobind.
#include <nanobind/nanobind.h>

#include "vqcsdk.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using query_fn = int (*)(const char *, int, const char **, int *);

// The module's globals, and the keys read from them at call time.  Plain
// handles: the module lives until the process ends.
nb::handle globals_;
nb::handle key_success, key_is_py2, key_f;

const char *tick_props[] = {"quotes", "symbol", "created_at", "price", "open",
                            "high", "low", "cum_volume", "cum_amount", "cum_position",
                            "last_amount", "last_volume", "trade_type", "receive_local_time"};

nb::object global(nb::handle key) { return nb::borrow<nb::dict>(globals_)[key]; }

const char *buffer_of(nb::handle obj) {
    if (PyByteArray_Check(obj.ptr()))
        return PyByteArray_AS_STRING(obj.ptr());
    if (PyBytes_Check(obj.ptr()))
        return PyBytes_AS_STRING(obj.ptr());
    throw nb::type_error("a bytes-like object is required");
}

nb::tuple query(query_fn fn, nb::handle req) {
    auto req_len = static_cast<int>(nb::len(req));
    const char *p = buffer_of(req);
    const char *res = nullptr;
    int res_len = 0;
    nb::int_ status(fn(p, req_len, &res, &res_len));
    if (status.equal(global(key_success)))
        return nb::make_tuple(status, nb::bytes(res, static_cast<size_t>(res_len)));
    return nb::make_tuple(status, nb::none());
}

nb::object adapt_to_python3(nb::object func) {
    return nb::cpp_function(
        [func](nb::args args, nb::kwargs kwargs) -> nb::object {
            if (nb::bool_(global(key_is_py2)))
                return func(*args, **kwargs);
            nb::list new_args;
            for (nb::handle arg : args)
                new_args.append(nb::isinstance<nb::str>(arg) ? arg.attr("encode")("ascii")
                                                             : nb::borrow(arg));
            for (auto [key, value] : kwargs)
                if (nb::isinstance<nb::str>(value))
                    kwargs[key] = value.attr("encode")("ascii");
            return func(*new_args, **kwargs);
        },
        nb::name("wrapper"));
}

void callback_wrapper(const char *msg_type, const void *data, int data_len) {
    try {
        nb::object message_type = nb::bool_(global(key_is_py2))
                                      ? nb::object(nb::bytes(msg_type))
                                      : nb::object(nb::str(msg_type));
        nb::object f = global(key_f);
        f(message_type, nb::bytes(data, static_cast<size_t>(data_len)));
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("c_sdk.callback_wrapper");
    }
}

struct Record {
    nb::object data;
    explicit Record(nb::object d) : data(std::move(d)) {}
};

}  // namespace

NB_MODULE(vqb_nanobind, m) {
    globals_ = m.attr("__dict__");
    key_success = nb::str("CSDK_OPERATE_SUCCESS").release();
    key_is_py2 = nb::str("IS_PY2").release();
    key_f = nb::str("f").release();

    m.attr("CSDK_OPERATE_SUCCESS") = nb::module_::import_("vq.constant").attr("CSDK_OPERATE_SUCCESS");
    m.attr("IS_PY2") = false;
    m.attr("IS_PY3") = true;
    m.def("adapt_to_python3", &adapt_to_python3);

    // no argument names: positional only
    m.def("py_vqi_get_parameters", [](nb::handle req) { return query(vqi_get_parameters_pb, req); });
    m.def("py_vqi_get_orders", [](nb::handle req) { return query(vqi_get_orders_pb, req); });

    m.def(
        "py_vqi_set_backtest_config",
        [](nb::handle start_time, nb::handle end_time, double initial_cash,
           double transaction_ratio, double commission_ratio, double commission_unit,
           double slippage_ratio, double option_float_margin_ratio1,
           double option_float_margin_ratio2, int adjust, int match_mode, int check_cache) {
            return vqi_set_backtest_config(buffer_of(start_time), buffer_of(end_time),
                                           initial_cash, transaction_ratio, commission_ratio,
                                           commission_unit, slippage_ratio,
                                           option_float_margin_ratio1, option_float_margin_ratio2,
                                           adjust, match_mode, check_cache);
        },
        "start_time"_a, "end_time"_a, "initial_cash"_a, "transaction_ratio"_a,
        "commission_ratio"_a, "commission_unit"_a, "slippage_ratio"_a,
        "option_float_margin_ratio1"_a, "option_float_margin_ratio2"_a, "adjust"_a,
        "match_mode"_a, "check_cache"_a);

    m.def("py_vqi_set_data_callback", [](nb::object pythonf) {
        nb::borrow<nb::dict>(globals_)[key_f] = pythonf;
        vqi_set_event_callback_pb(callback_wrapper);
    });
    m.def("vqi_poll", &vqi_poll);

    for (const char *name : {"py_vqi_get_orders", "py_vqi_set_backtest_config"})
        m.attr(name) = adapt_to_python3(m.attr(name));

    nb::class_<Record> tick(m, "TickLikeDict2");
    tick.def(nb::init<nb::object>(), "data"_a)
        .def_rw("data", &Record::data)
        .def("__getitem__", [](Record &self, nb::handle item) { return self.data.attr("get")(item); })
        .def("__setitem__", [](Record &self, nb::handle item, nb::handle value) {
            self.data[item] = value;
        })
        .def("__getattr__", [](Record &self, nb::handle item) { return self.data.attr("get")(item); })
        .def("__setattr__",
             [](Record &self, nb::str item, nb::object value) {
                 if (item.equal(nb::str("data")))
                     self.data = std::move(value);
                 else
                     self.data[item] = value;
             })
        .def("__str__", [](Record &self) { return nb::str(self.data); })
        .def("__repr__", [](Record &self) { return nb::repr(self.data); });
    for (const char *key : tick_props)
        tick.def_prop_rw(
            key, [key](Record &self) { return self.data.attr("get")(key); },
            [key](Record &self, nb::object value) { self.data[key] = value; });
}
