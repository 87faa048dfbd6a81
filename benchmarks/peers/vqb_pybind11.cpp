// The benchmarked operations written with pybind11.
#include <pybind11/pybind11.h>

#include "vqcsdk.h"

namespace py = pybind11;

namespace {

using query_fn = int (*)(const char *, int, const char **, int *);

// The module's globals, and the keys read from them at call time.  Plain
// handles: the module lives until the process ends.
py::handle globals_;
py::handle key_success, key_is_py2, key_f;

const char *tick_props[] = {"quotes", "symbol", "created_at", "price", "open",
                            "high", "low", "cum_volume", "cum_amount", "cum_position",
                            "last_amount", "last_volume", "trade_type", "receive_local_time"};

py::object global(py::handle key) { return py::reinterpret_borrow<py::dict>(globals_)[key]; }

const char *buffer_of(py::handle obj) {
    if (PyByteArray_Check(obj.ptr()))
        return PyByteArray_AS_STRING(obj.ptr());
    if (PyBytes_Check(obj.ptr()))
        return PyBytes_AS_STRING(obj.ptr());
    throw py::type_error("a bytes-like object is required");
}

py::tuple query(query_fn fn, py::handle req) {
    auto req_len = static_cast<int>(py::len(req));
    const char *p = buffer_of(req);
    const char *res = nullptr;
    int res_len = 0;
    py::int_ status(fn(p, req_len, &res, &res_len));
    if (status.equal(global(key_success)))
        return py::make_tuple(status, py::bytes(res, static_cast<size_t>(res_len)));
    return py::make_tuple(status, py::none());
}

py::object adapt_to_python3(py::object func) {
    return py::cpp_function(
        [func](py::args args, py::kwargs kwargs) -> py::object {
            if (py::bool_(global(key_is_py2)))
                return func(*args, **kwargs);
            py::list new_args;
            for (py::handle arg : args)
                new_args.append(py::isinstance<py::str>(arg) ? arg.attr("encode")("ascii")
                                                             : py::reinterpret_borrow<py::object>(arg));
            for (auto item : kwargs)
                if (py::isinstance<py::str>(item.second))
                    kwargs[item.first] = item.second.attr("encode")("ascii");
            return func(*new_args, **kwargs);
        },
        py::name("wrapper"));
}

void callback_wrapper(const char *msg_type, const void *data, int data_len) {
    try {
        py::object message_type = py::bool_(global(key_is_py2))
                                      ? py::object(py::bytes(msg_type))
                                      : py::object(py::str(msg_type));
        py::object f = global(key_f);
        f(message_type, py::bytes(static_cast<const char *>(data), static_cast<size_t>(data_len)));
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("c_sdk.callback_wrapper");
    }
}

struct Record {
    py::object data;
};

}  // namespace

PYBIND11_MODULE(vqb_pybind11, m) {
    globals_ = m.attr("__dict__");
    key_success = py::str("CSDK_OPERATE_SUCCESS").release();
    key_is_py2 = py::str("IS_PY2").release();
    key_f = py::str("f").release();

    m.attr("CSDK_OPERATE_SUCCESS") = py::module_::import("vq.constant").attr("CSDK_OPERATE_SUCCESS");
    m.attr("IS_PY2") = false;
    m.attr("IS_PY3") = true;
    m.def("adapt_to_python3", &adapt_to_python3);

    m.def("py_vqi_get_parameters",
          [](py::handle req) { return query(vqi_get_parameters_pb, req); }, py::arg("req"),
          py::pos_only());
    m.def("py_vqi_get_orders", [](py::handle req) { return query(vqi_get_orders_pb, req); },
          py::arg("req"), py::pos_only());

    m.def(
        "py_vqi_set_backtest_config",
        [](py::handle start_time, py::handle end_time, double initial_cash,
           double transaction_ratio, double commission_ratio, double commission_unit,
           double slippage_ratio, double option_float_margin_ratio1,
           double option_float_margin_ratio2, int adjust, int match_mode, int check_cache) {
            return vqi_set_backtest_config(buffer_of(start_time), buffer_of(end_time),
                                           initial_cash, transaction_ratio, commission_ratio,
                                           commission_unit, slippage_ratio,
                                           option_float_margin_ratio1, option_float_margin_ratio2,
                                           adjust, match_mode, check_cache);
        },
        py::arg("start_time"), py::arg("end_time"), py::arg("initial_cash"),
        py::arg("transaction_ratio"), py::arg("commission_ratio"), py::arg("commission_unit"),
        py::arg("slippage_ratio"), py::arg("option_float_margin_ratio1"),
        py::arg("option_float_margin_ratio2"), py::arg("adjust"), py::arg("match_mode"),
        py::arg("check_cache"));

    m.def(
        "py_vqi_set_data_callback",
        [](py::object pythonf) {
            py::reinterpret_borrow<py::dict>(globals_)[key_f] = pythonf;
            vqi_set_event_callback_pb(callback_wrapper);
        },
        py::arg("pythonf"), py::pos_only());
    m.def("vqi_poll", &vqi_poll);

    for (const char *name : {"py_vqi_get_orders", "py_vqi_set_backtest_config"})
        m.attr(name) = adapt_to_python3(m.attr(name));

    py::class_<Record> tick(m, "TickLikeDict2");
    tick.def(py::init([](py::object data) { return Record{std::move(data)}; }), py::arg("data"))
        .def_readwrite("data", &Record::data)
        .def("__getitem__", [](Record &self, py::handle item) { return self.data.attr("get")(item); })
        .def("__setitem__", [](Record &self, py::handle item, py::handle value) {
            self.data[item] = value;
        })
        .def("__getattr__", [](Record &self, py::handle item) { return self.data.attr("get")(item); })
        .def("__setattr__",
             [](Record &self, py::str item, py::object value) {
                 if (item.equal(py::str("data")))
                     self.data = std::move(value);
                 else
                     self.data[item] = value;
             })
        .def("__str__", [](Record &self) { return py::str(self.data); })
        .def("__repr__", [](Record &self) { return py::repr(self.data); });
    for (const char *key : tick_props)
        tick.def_property(
            key, [key](Record &self) { return self.data.attr("get")(key); },
            [key](Record &self, py::object value) { self.data[key] = value; });
}
