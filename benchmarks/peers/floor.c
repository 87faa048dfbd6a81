/*
 * floor.c - the least work each benchmarked operation can do: no adapter
 * object, no global cache, no generality beyond what the operation needs.
 * The measured module is compared against it.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include "vqcsdk.h"

#if PY_VERSION_HEX >= 0x03090000
#define CALL_ARGS(f, argv, n) PyObject_Vectorcall((f), (argv), (n) | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL)
#elif PY_VERSION_HEX >= 0x03080000
#define CALL_ARGS(f, argv, n) _PyObject_Vectorcall((f), (argv), (n) | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL)
#else
#define CALL_ARGS(f, argv, n) _PyObject_FastCall((f), (argv), (n))
#endif

typedef int (*query_fn)(const char *, int, const char **, int *);

static PyObject *mod_dict;     /* borrowed: the module lives for good */
static PyObject *str_success;  /* "CSDK_OPERATE_SUCCESS" */
static PyObject *str_get;
static PyObject *callback;     /* the registered callable */

/* ---- queries ------------------------------------------------------------- */

static int is_success(int status) {
    PyObject *ok = PyDict_GetItemWithError(mod_dict, str_success);
    if (ok == NULL) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_NameError, "name 'CSDK_OPERATE_SUCCESS' is not defined");
        return -1;
    }
    if (PyLong_CheckExact(ok)) {
        int overflow;
        long v = PyLong_AsLongAndOverflow(ok, &overflow);
        return !overflow && v == status;
    }
    PyObject *st = PyLong_FromLong(status);
    if (st == NULL)
        return -1;
    int r = PyObject_RichCompareBool(st, ok, Py_EQ);
    Py_DECREF(st);
    return r;
}

static PyObject *query(query_fn fn, const char *p, Py_ssize_t n) {
    const char *res = NULL;
    int res_len = 0;
    int status = fn(p, (int)n, &res, &res_len);
    int ok = is_success(status);
    if (ok < 0)
        return NULL;
    PyObject *payload;
    if (ok) {
        payload = PyBytes_FromStringAndSize(res, res_len);
        if (payload == NULL)
            return NULL;
    } else {
        payload = Py_None;
        Py_INCREF(payload);
    }
    PyObject *st = PyLong_FromLong(status);
    PyObject *tuple = st ? PyTuple_New(2) : NULL;
    if (tuple == NULL) {
        Py_XDECREF(st);
        Py_DECREF(payload);
        return NULL;
    }
    PyTuple_SET_ITEM(tuple, 0, st);
    PyTuple_SET_ITEM(tuple, 1, payload);
    return tuple;
}

static PyObject *query_buffer(query_fn fn, PyObject *req) {
    if (PyBytes_Check(req))
        return query(fn, PyBytes_AS_STRING(req), PyBytes_GET_SIZE(req));
    if (PyByteArray_Check(req))
        return query(fn, PyByteArray_AS_STRING(req), PyByteArray_GET_SIZE(req));
    PyErr_SetString(PyExc_TypeError, "a bytes-like object is required");
    return NULL;
}

static PyObject *get_parameters(PyObject *m, PyObject *req) {
    (void)m;
    return query_buffer(vqi_get_parameters_pb, req);
}

static PyObject *get_orders(PyObject *m, PyObject *req) {
    (void)m;
    if (PyUnicode_Check(req)) {
        PyObject *b = PyUnicode_AsASCIIString(req);
        if (b == NULL)
            return NULL;
        PyObject *r = query(vqi_get_orders_pb, PyBytes_AS_STRING(b), PyBytes_GET_SIZE(b));
        Py_DECREF(b);
        return r;
    }
    return query_buffer(vqi_get_orders_pb, req);
}

/* ---- backtest config ------------------------------------------------------ */

#define NCONFIG 12
static const char *const config_names[NCONFIG] = {
    "start_time", "end_time", "initial_cash", "transaction_ratio", "commission_ratio",
    "commission_unit", "slippage_ratio", "option_float_margin_ratio1",
    "option_float_margin_ratio2", "adjust", "match_mode", "check_cache"};
static PyObject *config_keys[NCONFIG];

static int config_index(PyObject *key) {
    for (int i = 0; i < NCONFIG; ++i)
        if (config_keys[i] == key)
            return i;
    for (int i = 0; i < NCONFIG; ++i)
        if (PyUnicode_Compare(config_keys[i], key) == 0)
            return i;
    return -1;
}

/* a text: bytes or bytearray in place, a str as its ASCII bytes (owned in *tmp) */
static const char *text_arg(PyObject *o, PyObject **tmp) {
    if (PyBytes_Check(o))
        return PyBytes_AS_STRING(o);
    if (PyByteArray_Check(o))
        return PyByteArray_AS_STRING(o);
    if (PyUnicode_Check(o)) {
        *tmp = PyUnicode_AsASCIIString(o);
        return *tmp ? PyBytes_AS_STRING(*tmp) : NULL;
    }
    PyErr_SetString(PyExc_TypeError, "a bytes-like object is required");
    return NULL;
}

static int int_arg(PyObject *o, int *out) {
    long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred())
        return -1;
    if (v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    *out = (int)v;
    return 0;
}

static PyObject *set_backtest_config(PyObject *m, PyObject *const *args, Py_ssize_t nargs,
                                     PyObject *kwnames) {
    (void)m;
    PyObject *v[NCONFIG] = {NULL};
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > NCONFIG)
        goto bad_count;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        v[i] = args[i];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        int i = config_index(PyTuple_GET_ITEM(kwnames, k));
        if (i < 0 || v[i] != NULL) {
            PyErr_Format(PyExc_TypeError, "unexpected or repeated keyword argument '%U'",
                         PyTuple_GET_ITEM(kwnames, k));
            return NULL;
        }
        v[i] = args[nargs + k];
    }
    for (int i = 0; i < NCONFIG; ++i)
        if (v[i] == NULL)
            goto bad_count;

    PyObject *tmp[2] = {NULL, NULL};
    PyObject *result = NULL;
    const char *start = text_arg(v[0], &tmp[0]);
    const char *end = start ? text_arg(v[1], &tmp[1]) : NULL;
    double d[7];
    int n[3];
    if (end == NULL)
        goto done;
    for (int i = 0; i < 7; ++i) {
        PyObject *o = v[2 + i];
        d[i] = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
        if (d[i] == -1.0 && PyErr_Occurred())
            goto done;
    }
    for (int i = 0; i < 3; ++i)
        if (int_arg(v[9 + i], &n[i]) < 0)
            goto done;
    result = PyLong_FromLong(vqi_set_backtest_config(start, end, d[0], d[1], d[2], d[3], d[4],
                                                     d[5], d[6], n[0], n[1], n[2]));
done:
    Py_XDECREF(tmp[0]);
    Py_XDECREF(tmp[1]);
    return result;
bad_count:
    PyErr_SetString(PyExc_TypeError, "py_vqi_set_backtest_config() takes exactly 12 arguments");
    return NULL;
}

/* ---- events ---------------------------------------------------------------- */

static void callback_wrapper(const char *msg_type, const void *data, int data_len) {
    PyObject *argv[3] = {NULL, NULL, NULL};
    argv[1] = PyUnicode_FromString(msg_type);
    argv[2] = argv[1] ? PyBytes_FromStringAndSize((const char *)data, data_len) : NULL;
    PyObject *r = argv[2] ? CALL_ARGS(callback, argv + 1, 2) : NULL;
    Py_XDECREF(argv[1]);
    Py_XDECREF(argv[2]);
    if (r == NULL)
        PyErr_WriteUnraisable(Py_None);
    Py_XDECREF(r);
}

static PyObject *set_data_callback(PyObject *m, PyObject *pythonf) {
    (void)m;
    Py_INCREF(pythonf);
    Py_XSETREF(callback, pythonf);
    vqi_set_event_callback_pb(callback_wrapper);
    Py_RETURN_NONE;
}

static PyObject *poll(PyObject *m, PyObject *unused) {
    (void)m;
    (void)unused;
    return PyLong_FromLong(vqi_poll());
}

/* ---- the tick record --------------------------------------------------------- */

typedef struct {
    PyObject_HEAD
    PyObject *data;
} Rec;

#define NPROPS 14
static const char *const prop_names[NPROPS] = {
    "quotes", "symbol", "created_at", "price", "open", "high", "low", "cum_volume",
    "cum_amount", "cum_position", "last_amount", "last_volume", "trade_type",
    "receive_local_time"};
static PyObject *prop_keys[NPROPS];

static PyObject *mapping_get(PyObject *data, PyObject *key) {
    if (data == NULL) {
        PyErr_SetString(PyExc_AttributeError, "data");
        return NULL;
    }
    if (PyDict_CheckExact(data)) {
        PyObject *v = PyDict_GetItemWithError(data, key);
        if (v == NULL && PyErr_Occurred())
            return NULL;
        if (v == NULL)
            v = Py_None;
        Py_INCREF(v);
        return v;
    }
    return PyObject_CallMethodObjArgs(data, str_get, key, NULL);
}

static PyObject *rec_prop_get(PyObject *self, void *closure) {
    return mapping_get(((Rec *)self)->data, *(PyObject **)closure);
}

static int rec_prop_set(PyObject *self, PyObject *value, void *closure) {
    PyObject *data = ((Rec *)self)->data;
    if (data == NULL || value == NULL) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    return PyObject_SetItem(data, *(PyObject **)closure, value);
}

static PyGetSetDef rec_getset[NPROPS + 1];

static PyMemberDef rec_members[] = {
    {"data", T_OBJECT_EX, offsetof(Rec, data), 0, NULL},
    {NULL, 0, 0, 0, NULL},
};

/* No instance dict: a name the class has is its descriptor's, any other
 * name the mapping's. */
static PyObject *rec_getattro(PyObject *self, PyObject *name) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject *descr = _PyType_Lookup(tp, name);
    if (descr == NULL)
        return mapping_get(((Rec *)self)->data, name);
    descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
    if (get != NULL)
        return get(descr, self, (PyObject *)tp);
    Py_INCREF(descr);
    return descr;
}

static PyObject *rec_make(PyTypeObject *tp, PyObject *data) {
    Rec *self = (Rec *)tp->tp_alloc(tp, 0);
    if (self == NULL)
        return NULL;
    Py_INCREF(data);
    self->data = data;
    return (PyObject *)self;
}

static PyObject *rec_new(PyTypeObject *tp, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {"data", NULL};
    PyObject *data;
    if (kwds == NULL && PyTuple_GET_SIZE(args) == 1)
        data = PyTuple_GET_ITEM(args, 0);
    else if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:TickLikeDict2", kwlist, &data))
        return NULL;
    return rec_make(tp, data);
}

#if PY_VERSION_HEX >= 0x03090000
static PyObject *rec_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                                PyObject *kwnames) {
    if (PyVectorcall_NARGS(nargsf) == 1 && kwnames == NULL)
        return rec_make((PyTypeObject *)type, args[0]);
    PyErr_SetString(PyExc_TypeError, "TickLikeDict2() takes exactly one positional argument");
    return NULL;
}
#endif

static int rec_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(((Rec *)self)->data);
    return 0;
}

static int rec_clear(PyObject *self) {
    Py_CLEAR(((Rec *)self)->data);
    return 0;
}

static void rec_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(((Rec *)self)->data);
    Py_TYPE(self)->tp_free(self);
}

static PyTypeObject RecType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    "vqb_floor.TickLikeDict2",
};

/* ---- module ------------------------------------------------------------------ */

static PyMethodDef methods[] = {
    {"py_vqi_get_parameters", get_parameters, METH_O, NULL},
    {"py_vqi_get_orders", get_orders, METH_O, NULL},
    {"py_vqi_set_backtest_config", (PyCFunction)(void (*)(void))set_backtest_config,
     METH_FASTCALL | METH_KEYWORDS, NULL},
    {"py_vqi_set_data_callback", set_data_callback, METH_O, NULL},
    {"vqi_poll", poll, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "vqb_floor", NULL, -1, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_vqb_floor(void) {
    if (!(str_success = PyUnicode_InternFromString("CSDK_OPERATE_SUCCESS")) ||
        !(str_get = PyUnicode_InternFromString("get")))
        return NULL;
    for (int i = 0; i < NCONFIG; ++i)
        if (!(config_keys[i] = PyUnicode_InternFromString(config_names[i])))
            return NULL;
    for (int i = 0; i < NPROPS; ++i) {
        if (!(prop_keys[i] = PyUnicode_InternFromString(prop_names[i])))
            return NULL;
        rec_getset[i].name = (char *)prop_names[i];
        rec_getset[i].get = rec_prop_get;
        rec_getset[i].set = rec_prop_set;
        rec_getset[i].closure = &prop_keys[i];
    }
    RecType.tp_basicsize = sizeof(Rec);
    RecType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    RecType.tp_dealloc = rec_dealloc;
    RecType.tp_traverse = rec_traverse;
    RecType.tp_clear = rec_clear;
    RecType.tp_getattro = rec_getattro;
    RecType.tp_members = rec_members;
    RecType.tp_getset = rec_getset;
    RecType.tp_new = rec_new;
#if PY_VERSION_HEX >= 0x03090000
    RecType.tp_vectorcall = rec_vectorcall;
#endif
    if (PyType_Ready(&RecType) < 0)
        return NULL;

    PyObject *m = PyModule_Create(&moduledef);
    if (m == NULL)
        return NULL;
    mod_dict = PyModule_GetDict(m);
    PyObject *constant = PyImport_ImportModule("vq.constant");
    PyObject *success = constant ? PyObject_GetAttr(constant, str_success) : NULL;
    Py_XDECREF(constant);
    if (success == NULL || PyDict_SetItem(mod_dict, str_success, success) < 0) {
        Py_XDECREF(success);
        Py_DECREF(m);
        return NULL;
    }
    Py_DECREF(success);
    Py_INCREF(&RecType);
    if (PyModule_AddObject(m, "TickLikeDict2", (PyObject *)&RecType) < 0) {
        Py_DECREF(&RecType);
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
