// The record classes.
//
// What Python sees is an ordinary class, made by executing its class
// statement: metaclass type, base object, __slots__ = ['data'], Python
// functions that bind as methods, properties built with property and its
// setter.  What runs is C: once a class exists, its type slots (attribute
// reads, item access, construction, str and repr) are pointed at
// C functions that do exactly what the class's own methods do, without
// running Python code, and without raising and catching AttributeError for
// a fallback read.  Whenever a class attribute that one of those slots
// stands for is reassigned, the interpreter recomputes that slot from the
// class dict as it does for any class, so the C version is only ever used
// while the Python method it stands for is still the class's own.  Calls
// that the fast paths do not cover (keywords, subclasses, a rebound class
// name) go to the class's own Python methods.
#include "records.hpp"

#include <string>

#include <structmember.h>

#include "namespace.hpp"
#include "ref.hpp"

namespace vq {

namespace {

// ---- the classes as Python sees them ---------------------------------------------------
enum Layout { OBJECT_LAYOUT, MARKET_LAYOUT, BAR_LAYOUT };

struct ClassSpec {
    const char *name;
    Global global;
    Layout layout;
    bool setters;
    const char *properties[14];
};

const ClassSpec class_specs[] = {
    {"QuoteItemLikeDict2",
     G_QUOTE_ITEM_LIKE_DICT2,
     MARKET_LAYOUT,
     false,
     {"bid_p", "bid_v", "ask_p", "ask_v"}},
    {"TickLikeDict2",
     G_TICK_LIKE_DICT2,
     MARKET_LAYOUT,
     true,
     {"quotes", "symbol", "created_at", "price", "open", "high", "low", "cum_volume", "cum_amount",
      "cum_position", "last_amount", "last_volume", "trade_type", "receive_local_time"}},
    {"BarLikeDict2",
     G_BAR_LIKE_DICT2,
     BAR_LAYOUT,
     true,
     {"symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount", "pre_close",
      "position", "frequency", "receive_local_time"}},
    {"ObjectLikeDict2", G_OBJECT_LIKE_DICT2, OBJECT_LAYOUT, false, {}},
};

constexpr int kClasses = sizeof(class_specs) / sizeof(class_specs[0]);

const char *const init_src =
    "    def __init__(self, data):\n"
    "        self.data = data\n\n";
const char *const getitem_src =
    "    def __getitem__(self, item):\n"
    "        return self.data.get(item)\n\n";
const char *const setitem_src =
    "    def __setitem__(self, item, value):\n"
    "        self.data[item] = value\n\n";
const char *const contains_src =
    "    def __contains__(self, key):\n"
    "        return key in self.data\n\n";
const char *const getattr_src =
    "    def __getattr__(self, item):\n"
    "        return self.data.get(item)\n\n";
const char *const str_repr_src =
    "    def __str__(self):\n"
    "        return self.data.__str__()\n\n"
    "    def __repr__(self):\n"
    "        return self.data.__repr__()\n\n";

std::string class_source(const ClassSpec &spec) {
    std::string name = spec.name;
    std::string s = "class " + name +
                    "(object):\n"
                    "    __module__ = 'c_sdk'\n"
                    "    __slots__ = ['data']\n\n";
    s += init_src;
    s += getitem_src;
    if (spec.layout == OBJECT_LAYOUT) {
        s += getattr_src;
        s += setitem_src;
    } else {
        s += setitem_src;
        if (spec.layout == BAR_LAYOUT)
            s += contains_src;
        s += getattr_src;
    }
    s += "    def __setattr__(self, item, value):\n"
         "        if item != 'data':\n"
         "            self.data[item] = value\n"
         "        else:\n"
         "            super(" +
         name + ", self).__setattr__(item, value)\n\n";
    s += str_repr_src;
    for (const char *p : spec.properties) {
        if (p == nullptr)
            break;
        std::string key = p;
        s += "    @property\n"
             "    def " +
             key +
             "(self):\n"
             "        return self.data.get('" +
             key + "')\n\n";
        if (spec.setters)
            s += "    @" + key +
                 ".setter\n"
                 "    def " +
                 key +
                 "(self, value):\n"
                 "        self.data['" +
                 key + "'] = value\n\n";
    }
    return s;
}

// ---- what the C slots need to know about each class ----------------------------------------
// The first field of the interpreter's property object: its getter.
struct PropertyHead {
    PyObject_HEAD PyObject *prop_get;
};

struct RecordClass {
    PyTypeObject *type = nullptr;  // owned
    Global global;
    Py_ssize_t data_offset = 0;
    int nprops = 0;
    PyObject *props[14];    // the property objects, borrowed from the class dict
    PyObject *getters[14];  // their original getters
};

RecordClass classes[kClasses];
PyObject *str_data, *str_get, *str_str, *str_repr, *str_setattr, *str_init;
newfunc object_new;

inline RecordClass *record_class(PyTypeObject *tp) {
    for (RecordClass &rc : classes)
        if (rc.type == tp)
            return &rc;
    return nullptr;
}

inline PyObject *&data_slot(PyObject *self, const RecordClass &rc) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + rc.data_offset);
}

// The slot read: the mapping, or the slot's own AttributeError when it was
// never filled (never the fallback, which would need `data` again).
inline PyObject *mapping_of(PyObject *self, const RecordClass &rc) {
    PyObject *data = data_slot(self, rc);
    if (VQ_UNLIKELY(data == nullptr)) {
        Ref err(PyObject_GenericGetAttr(self, str_data));  // raises AttributeError
        return nullptr;
    }
    return data;
}

// data.get(key)
inline PyObject *mapping_get(PyObject *data, PyObject *key) {
    if (VQ_LIKELY(PyDict_CheckExact(data))) {
        PyObject *v = PyDict_GetItemWithError(data, key);
        if (v != nullptr)
            return Py_NewRef(v);
        if (PyErr_Occurred())
            return nullptr;
        Py_RETURN_NONE;
    }
    Ref keep = Ref::borrow(data);
    return PyObject_CallMethodObjArgs(data, str_get, key, nullptr);
}

// Slow paths: call the class's own Python method.
VQ_NOINLINE PyObject *call_own(PyObject *self, PyObject *name, PyObject *args, PyObject *kwds) {
    PyObject *method = _PyType_Lookup(Py_TYPE(self), name);
    if (method == nullptr) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return nullptr;
    }
    Ref keep = Ref::borrow(method);
    Py_ssize_t n = args ? PyTuple_GET_SIZE(args) : 0;
    Ref full(PyTuple_New(n + 1));
    if (!full)
        return nullptr;
    PyTuple_SET_ITEM(full.get(), 0, Py_NewRef(self));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(full.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    return PyObject_Call(method, full.get(), kwds);
}

// ---- the slots -------------------------------------------------------------------------------
inline int is_data_name(PyObject *name) {
    if (name == str_data)
        return 1;
    if (PyUnicode_CheckExact(name))
        return PyUnicode_Compare(name, str_data) == 0;
    // a str subclass: by its own comparison, as `item != 'data'` would
    Ref differs(PyObject_RichCompare(name, str_data, Py_NE));
    if (!differs)
        return -1;
    int t = PyObject_IsTrue(differs.get());
    return t < 0 ? -1 : !t;
}

// self.data = value, through super(<class by name>, self).__setattr__
int assign_data(PyObject *self, const RecordClass &rc, PyObject *name, PyObject *value) {
    PyObject *cls = global(rc.global);
    if (cls == nullptr)
        return -1;
    PyTypeObject *tp = Py_TYPE(self);
    if (VQ_LIKELY(cls == reinterpret_cast<PyObject *>(tp) && tp->tp_base == &PyBaseObject_Type)) {
        // super(cls, self).__setattr__ is object.__setattr__: the slot.
        PyObject *&slot = data_slot(self, rc);
        PyObject *old = slot;
        slot = Py_NewRef(value);
        Py_XDECREF(old);
        return 0;
    }
    Ref keep = Ref::borrow(cls);
    Ref sup(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type), cls, self,
                                         nullptr));
    if (!sup)
        return -1;
    Ref r(PyObject_CallMethodObjArgs(sup.get(), str_setattr, name, value, nullptr));
    return r ? 0 : -1;
}

PyObject *record_getattro(PyObject *self, PyObject *name) {
    PyTypeObject *tp = Py_TYPE(self);
    RecordClass *rc = record_class(tp);
    if (rc == nullptr)
        return PyObject_GenericGetAttr(self, name);
    PyObject *descr = _PyType_Lookup(tp, name);
    if (descr != nullptr) {
        if (Py_TYPE(descr) == &PyProperty_Type) {
            for (int i = 0; i < rc->nprops; ++i) {
                if (rc->props[i] == descr) {
                    if (reinterpret_cast<PropertyHead *>(descr)->prop_get != rc->getters[i])
                        break;
                    // the property's getter: self.data.get('<its name>')
                    PyObject *data = mapping_of(self, *rc);
                    return data ? mapping_get(data, name) : nullptr;
                }
            }
        }
        PyObject *r = PyObject_GenericGetAttr(self, name);
        if (r != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError))
            return r;
        if (is_data_name(name) == 1)  // an empty slot: no fallback, no recursion
            return nullptr;
        PyErr_Clear();
    }
    // __getattr__: self.data.get(name)
    PyObject *data = mapping_of(self, *rc);
    return data ? mapping_get(data, name) : nullptr;
}

PyObject *record_subscript(PyObject *self, PyObject *key) {
    RecordClass *rc = record_class(Py_TYPE(self));
    PyObject *data = rc ? mapping_of(self, *rc) : nullptr;
    return data ? mapping_get(data, key) : nullptr;
}

int record_ass_subscript(PyObject *self, PyObject *key, PyObject *value) {
    if (value == nullptr) {  // the classes define no __delitem__
        PyErr_SetString(PyExc_AttributeError, "__delitem__");
        return -1;
    }
    RecordClass *rc = record_class(Py_TYPE(self));
    PyObject *data = rc ? mapping_of(self, *rc) : nullptr;
    if (data == nullptr)
        return -1;
    Ref keep = Ref::borrow(data);
    return PyObject_SetItem(data, key, value);
}

int record_contains(PyObject *self, PyObject *key) {
    RecordClass *rc = record_class(Py_TYPE(self));
    PyObject *data = rc ? mapping_of(self, *rc) : nullptr;
    if (data == nullptr)
        return -1;
    Ref keep = Ref::borrow(data);
    return PySequence_Contains(data, key);
}

PyObject *text_of(PyObject *self, PyObject *method) {
    RecordClass *rc = record_class(Py_TYPE(self));
    PyObject *data = rc ? mapping_of(self, *rc) : nullptr;
    if (data == nullptr)
        return nullptr;
    if (PyDict_CheckExact(data))  // dict.__str__ and dict.__repr__ both give the repr
        return PyObject_Repr(data);
    Ref keep = Ref::borrow(data);
    return PyObject_CallMethodObjArgs(data, method, nullptr);
}

PyObject *record_str(PyObject *self) {
    return text_of(self, str_str);
}
PyObject *record_repr(PyObject *self) {
    return text_of(self, str_repr);
}

int record_init(PyObject *self, PyObject *args, PyObject *kwds) {
    RecordClass *rc = record_class(Py_TYPE(self));
    if (VQ_LIKELY(rc != nullptr && PyTuple_GET_SIZE(args) == 1 &&
                  (kwds == nullptr || PyDict_GET_SIZE(kwds) == 0)))
        return assign_data(self, *rc, str_data, PyTuple_GET_ITEM(args, 0));
    Ref r(call_own(self, str_init, args, kwds));  // the interpreter's own argument errors
    if (!r)
        return -1;
    if (r.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(r.get())->tp_name);
        return -1;
    }
    return 0;
}

#if PY_VERSION_HEX >= 0x03090000
// Calling the class: Cls(data) without a tuple, as long as construction is
// still object.__new__ followed by the class's own __init__.
PyObject *record_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames) {
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(type);
    RecordClass *rc = record_class(tp);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (VQ_LIKELY(rc != nullptr && nargs == 1 && kwnames == nullptr && tp->tp_init == record_init &&
                  tp->tp_new == object_new)) {
        PyObject *self = tp->tp_alloc(tp, 0);
        if (self == nullptr)
            return nullptr;
        if (assign_data(self, *rc, str_data, args[0]) < 0) {
            Py_DECREF(self);
            return nullptr;
        }
        return self;
    }
    // Anything else: the interpreter's own type call.
    Ref tuple(PyTuple_New(nargs));
    if (!tuple)
        return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Ref kwargs;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        kwargs.reset(PyDict_New());
        if (!kwargs)
            return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
                return nullptr;
    }
    return PyType_Type.tp_call(type, tuple.get(), kwargs.get());
}
#endif

// ---- building the classes ----------------------------------------------------------------
int interned(PyObject *&slot, const char *text) {
    if (slot == nullptr)
        slot = PyUnicode_InternFromString(text);
    return slot ? 0 : -1;
}

// Points the class's slots at the C functions.
int install_slots(RecordClass &rc, const ClassSpec &spec) {
    PyTypeObject *tp = rc.type;
    PyObject *member = PyDict_GetItemWithError(tp->tp_dict, str_data);
    if (member == nullptr || Py_TYPE(member) != &PyMemberDescr_Type) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "%s has no slot 'data'", spec.name);
        return -1;
    }
    rc.data_offset = reinterpret_cast<PyMemberDescrObject *>(member)->d_member->offset;
    rc.nprops = 0;
    for (const char *p : spec.properties) {
        if (p == nullptr)
            break;
        PyObject *prop = PyDict_GetItemString(tp->tp_dict, p);
        if (prop == nullptr || Py_TYPE(prop) != &PyProperty_Type) {
            PyErr_Format(PyExc_SystemError, "%s.%s is not a property", spec.name, p);
            return -1;
        }
        rc.props[rc.nprops] = prop;
        rc.getters[rc.nprops] = reinterpret_cast<PropertyHead *>(prop)->prop_get;
        ++rc.nprops;
    }
    // tp_setattro stays the class's own __setattr__: object.__setattr__
    // refuses instances whose class overrides it in C.
    tp->tp_getattro = record_getattro;
    tp->tp_init = record_init;
    tp->tp_str = record_str;
    tp->tp_repr = record_repr;
    tp->tp_as_mapping->mp_subscript = record_subscript;
    tp->tp_as_mapping->mp_ass_subscript = record_ass_subscript;
    // Not sequences: iteration and `in` would otherwise call __getitem__
    // with 0, 1, 2, ... for ever, since item reads never fail.
    tp->tp_as_sequence->sq_item = nullptr;
    tp->tp_as_sequence->sq_ass_item = nullptr;
    tp->tp_as_sequence->sq_contains = spec.layout == BAR_LAYOUT ? record_contains : nullptr;
#if PY_VERSION_HEX >= 0x03090000
    tp->tp_vectorcall = record_vectorcall;
#endif
    PyType_Modified(tp);
    return 0;
}

// Methods defined by executing source get the module's __name__; they
// belong to "c_sdk" like everything else here.
int set_function_modules(PyTypeObject *tp) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(tp->tp_dict, &pos, &key, &value)) {
        PyObject *functions[2] = {value, nullptr};
        if (Py_TYPE(value) == &PyProperty_Type) {
            functions[0] = reinterpret_cast<PropertyHead *>(value)->prop_get;
            Ref setter(PyObject_GetAttrString(value, "fset"));
            if (!setter)
                return -1;
            functions[1] = setter.get() != Py_None ? setter.get() : nullptr;
        }
        for (PyObject *fn : functions)
            if (fn != nullptr && PyFunction_Check(fn) &&
                PyObject_SetAttrString(fn, "__module__", ns.module_name) < 0)
                return -1;
    }
    return 0;
}

}  // namespace

int bind_record_classes() {
    if (interned(str_data, "data") < 0 || interned(str_get, "get") < 0 ||
        interned(str_str, "__str__") < 0 || interned(str_repr, "__repr__") < 0 ||
        interned(str_setattr, "__setattr__") < 0 || interned(str_init, "__init__") < 0)
        return -1;
    object_new = PyBaseObject_Type.tp_new;
    for (int i = 0; i < kClasses; ++i) {
        const ClassSpec &spec = class_specs[i];
        RecordClass &rc = classes[i];
        Py_CLEAR(rc.type);
        rc.global = spec.global;
        std::string source = class_source(spec);
        // The class statement runs in the module namespace, which binds the
        // class there and gives its methods the module's globals (where
        // __setattr__ finds the class by name).
        Ref code(Py_CompileString(source.c_str(), "c_sdk", Py_file_input));
        if (!code)
            return -1;
        Ref done(PyEval_EvalCode(code.get(), ns.dict, ns.dict));
        if (!done)
            return -1;
        PyObject *cls = PyDict_GetItemString(ns.dict, spec.name);
        if (cls == nullptr || !PyType_Check(cls)) {
            PyErr_Format(PyExc_SystemError, "class %s was not created", spec.name);
            return -1;
        }
        rc.type = reinterpret_cast<PyTypeObject *>(Py_NewRef(cls));
        if (set_function_modules(rc.type) < 0 || install_slots(rc, spec) < 0)
            return -1;
    }
    return 0;
}

}  // namespace vq
