// Support functions: the platform tests, the decorator, and the two status
// checks that the package uses to judge a library status.
#include "adapter.hpp"
#include "namespace.hpp"
#include "ref.hpp"
#include "rows.hpp"

namespace vq {

namespace {

// platform.uname()[0].lower() == system
PyObject *system_is(const char *system) {
    PyObject *platform = global(G_PLATFORM);
    if (platform == nullptr)
        return nullptr;
    Ref keep = Ref::owning(platform);
    Ref uname(PyObject_CallMethod(platform, "uname", nullptr));
    if (!uname)
        return nullptr;
    Ref name(PySequence_GetItem(uname.get(), 0));
    if (!name)
        return nullptr;
    Ref lowered(PyObject_CallMethod(name.get(), "lower", nullptr));
    if (!lowered)
        return nullptr;
    Ref expected(PyUnicode_FromString(system));
    if (!expected)
        return nullptr;
    return PyObject_RichCompare(lowered.get(), expected.get(), Py_EQ);
}

PyObject *is_windows(PyObject *, PyObject *) {
    return system_is("windows");
}
PyObject *is_linux(PyObject *, PyObject *) {
    return system_is("linux");
}

PyObject *c_status_ok(PyObject *, PyObject *status) {
    Ref success(global_new_ref(G_CSDK_OPERATE_SUCCESS));
    if (!success)
        return nullptr;
    return PyObject_RichCompare(status, success.get(), Py_EQ);
}

Meta status_fail_meta;

PyObject *c_status_fail(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *buf[2];
    PyObject *const *argv = bind_args(status_fail_meta.params, args, nargs, kwnames, buf);
    if (argv == nullptr)
        return nullptr;
    PyObject *status = argv[0];
    PyObject *cfunname = argv[1] != nullptr ? argv[1] : str(S_EMPTY);

    Ref success(global_new_ref(G_CSDK_OPERATE_SUCCESS));
    if (!success)
        return nullptr;
    Ref isfail(PyObject_RichCompare(status, success.get(), Py_NE));
    if (!isfail)
        return nullptr;
    int failed = PyObject_IsTrue(isfail.get());
    if (failed <= 0)
        return failed < 0 ? nullptr : isfail.release();

    Ref strerror(global_new_ref(G_PY_VQI_STRERROR));
    if (!strerror)
        return nullptr;
    Ref text(PyObject_CallFunctionObjArgs(strerror.get(), status, nullptr));
    if (!text)
        return nullptr;
    Ref error_info(PyObject_CallMethodObjArgs(text.get(), str(S_DECODE), str(S_UTF8), nullptr));
    if (!error_info)
        return nullptr;
    int named = PyObject_IsTrue(cfunname);
    if (named < 0)
        return nullptr;
    Ref message(named ? PyObject_CallMethodObjArgs(str(S_FAIL_WITH_NAME), str(S_FORMAT), cfunname,
                                                   status, error_info.get(), nullptr)
                      : PyObject_CallMethodObjArgs(str(S_FAIL_WITHOUT_NAME), str(S_FORMAT), status,
                                                   error_info.get(), nullptr));
    if (!message)
        return nullptr;
    Ref logger(global_new_ref(G_VQSDKLOGGER));
    if (!logger)
        return nullptr;
    Ref logged(PyObject_CallMethodObjArgs(logger.get(), str(S_DEBUG), message.get(), nullptr));
    if (!logged)
        return nullptr;
    return isfail.release();
}

#define VQ_STATUS_DOC(what) "\n    c api 调用返回值status是否" what "\n    "

Row rows[] = {
    VQ_FUNC("is_windows", is_windows, METH_NOARGS, "", 0, nullptr, nullptr),
    VQ_FUNC("is_linux", is_linux, METH_NOARGS, "", 0, nullptr, nullptr),
    VQ_FUNC("adapt_to_python3", adapt_to_python3, METH_O, "func", 1, nullptr,
            "让模块同时支持Python 3和Python 2：str参数按ASCII编码为bytes后再传给被包装的函数"),
    VQ_FUNC("c_status_ok", c_status_ok, METH_O, "status", 1, nullptr, VQ_STATUS_DOC("ok")),
    VQ_FUNC("c_status_fail", c_status_fail, METH_FASTCALL | METH_KEYWORDS, "status, cfunname=''", 2,
            &status_fail_meta, VQ_STATUS_DOC("fail")),
};

}  // namespace

RowTable support_functions() {
    return VQ_TABLE(rows);
}

}  // namespace vq
