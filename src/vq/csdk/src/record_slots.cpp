// The C slots of the record classes.
//
// Once a record class exists, its type slots (attribute reads, item access,
// construction, str and repr) are pointed at the C functions below, which
// do exactly what the class's own methods do without running Python code,
// and without raising and catching AttributeError for a fallback read.
// Whenever a class attribute that one of those slots stands for is
// reassigned, the interpreter recomputes that slot from the class dict as
// it does for any class, so the C version is only ever used while the
// Python method it stands for is still the class's own.  Construction also
// stands for __init__'s assignment through __setattr__, which has no slot
// to be recomputed: the class's version tag tells when to look again.
// Calls that the fast paths do not cover (keywords, subclasses, a rebound
// class name) go to the class's own Python methods.  Allocation and
// deallocation are the records' own too: freed records are kept for reuse.
#include "record_slots.hpp"

#include "ref.hpp"

namespace vq {

namespace {

// The methods the C slots stand for.
enum Method : int {
    M_INIT,
    M_SETATTR,
    M_GETITEM,
    M_SETITEM,
    M_CONTAINS,  // the bar record's only
    M_GETATTR,
    M_STR,
    M_REPR,
    M_COUNT
};
const char *const method_names[M_COUNT] = {"__init__",    "__setattr__",  "__getitem__",
                                           "__setitem__", "__contains__", "__getattr__",
                                           "__str__",     "__repr__"};
PyObject *method_strings[M_COUNT];  // interned, kept for the life of the process

struct RecordClass {
    PyTypeObject *type = nullptr;  // owned
    Global global;                 // the name its __setattr__ finds it by
    int nprops = 0;
    // Owned, so that a rebound attribute's replacement can never be
    // mistaken for the original at the same address.  Null past nprops.
    PyObject *props[kMaxProperties];        // the property objects
    PyObject *getters[kMaxProperties];      // their original getters
    PyObject *getter_code[kMaxProperties];  // and those getters' code
    PyObject *names[kMaxProperties];        // their names, the keys the getters read
    PyObject *member = nullptr;             // the slot descriptor `data`
    // The class's own functions (null: the class has no such method) and
    // their code when the class was built: a function whose __code__ was
    // replaced is called instead of its C version.
    PyObject *fn[M_COUNT];
    PyObject *code[M_COUNT];
    initproc c_init = nullptr;  // what tp_init was set to
    // The class's version tag when it was last looked at (0: not known),
    // and the same tag where that found `data` still the slot's own
    // descriptor (read_version), and construction still object.__new__ and
    // the own __init__ and __setattr__ (fill_version); 0 where not.  Any
    // change to the class changes its tag.
    unsigned int version = 0;
    unsigned int read_version = 0;
    unsigned int fill_version = 0;
    // The namespace tags when the class's name was last found to name it
    // and `super` to be the builtin.
    uint64_t fill_module_tag = 0;
    uint64_t fill_builtins_tag = 0;
};

RecordClass classes[kRecordClasses];
newfunc object_new;

// Version tags can be trusted to change with the class, except that up to
// 3.10 clearing the interpreter's type cache restarts their numbering, so
// a class changed afterwards may get its earlier tag back.  Clearing also
// takes the tag of every class away: a private class that nothing else
// looks up keeps its tag until then, and tells.
#if PY_VERSION_HEX < 0x030B0000
PyTypeObject *tag_witness = nullptr;  // owned
unsigned int tag_witness_version = 0;
inline bool tags_trusted() {
    return vq_type_version(tag_witness) == tag_witness_version && tag_witness_version != 0;
}
#else
inline bool tags_trusted() {
    return true;
}
#endif

// Every record class has the one slot `data` right after the object header
// (checked when the slots are installed).
constexpr Py_ssize_t kDataOffset = sizeof(PyObject);

inline PyObject *&data_slot(PyObject *self) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + kDataOffset);
}

// The index of a property among the class's own, or -1.  The search runs
// over every entry (those past nprops are null, and a descriptor is not), a
// fixed count that the compilers unroll into a run of compares: a loop
// would cost a taken branch per property on each attribute read.
inline int property_index(const RecordClass &rc, PyObject *descr) {
    for (int i = 0; i < kMaxProperties; ++i)
        if (rc.props[i] == descr)
            return i;
    return -1;
}

inline RecordClass *record_class(PyTypeObject *tp) {
    for (RecordClass &rc : classes)
        if (rc.type == tp)
            return &rc;
    return nullptr;
}

inline bool own_code(const RecordClass &rc, Method m) {
    return PyFunction_GET_CODE(rc.fn[m]) == rc.code[m];
}

PyObject *record_alloc(PyTypeObject *tp, Py_ssize_t nitems);

// Looks again at the class after it changed (see RecordClass::version).
VQ_NOINLINE void revalidate(RecordClass &rc) {
#if PY_VERSION_HEX < 0x030B0000
    if (!tags_trusted()) {
        for (RecordClass &other : classes)
            other.version = other.read_version = other.fill_version = 0;
        vq_type_lookup(tag_witness, str(S_DATA));  // gives it a tag
        tag_witness_version = vq_type_version(tag_witness);
    }
#endif
    PyTypeObject *tp = rc.type;
    const bool reads = vq_type_lookup(tp, str(S_DATA)) == rc.member;
    const bool fills = reads && tp->tp_new == object_new && tp->tp_alloc == record_alloc &&
                       tp->tp_base == &PyBaseObject_Type &&
                       vq_type_lookup(tp, method_strings[M_INIT]) == rc.fn[M_INIT] &&
                       vq_type_lookup(tp, method_strings[M_SETATTR]) == rc.fn[M_SETATTR];
    // __init__ rebound and then restored leaves the interpreter's generic
    // slot, which calls the same function
    if (fills)
        tp->tp_init = rc.c_init;
    rc.version = vq_type_version(tp);  // 0 when the interpreter has no tag to give
    rc.read_version = reads ? rc.version : 0;
    rc.fill_version = fills ? rc.version : 0;
}

inline void refresh(RecordClass &rc) {
    if (!vq_type_version_is(rc.type, rc.version) || !tags_trusted())
        revalidate(rc);
}

VQ_NOINLINE PyObject *mapping_of_changed(RecordClass &rc, PyObject *self) {
    refresh(rc);
    if (rc.read_version == 0)
        return PyObject_GetAttr(self, str(S_DATA));
    return nullptr;
}

// The slot read, owned: the mapping, or the slot's own AttributeError when
// it was never filled (never the fallback, which would need `data` again).
// A descriptor put in place of `data` on the class is read instead.
VQ_INLINE PyObject *mapping_of(RecordClass &rc, PyObject *self) {
    if (VQ_UNLIKELY(!vq_type_version_is(rc.type, rc.read_version) || !tags_trusted())) {
        PyObject *other = mapping_of_changed(rc, self);
        if (other != nullptr || PyErr_Occurred())
            return other;
    }
    PyObject *data = data_slot(self);
    if (VQ_UNLIKELY(data == nullptr)) {
        Ref err(PyObject_GenericGetAttr(self, str(S_DATA)));  // raises AttributeError
        return nullptr;
    }
    return Py_NewRef(data);
}

// data.get(key).  The mapping is owned by the caller for the whole call:
// the search may run Python code (a key's __hash__ or __eq__, or another
// thread it lets run) that rebinds the record's `data`.
VQ_INLINE PyObject *mapping_get(PyObject *data, PyObject *key) {
    if (VQ_LIKELY(PyDict_CheckExact(data))) {
        PyObject *v = PyDict_GetItemWithError(data, key);
        if (v != nullptr)
            return Py_NewRef(v);
        if (PyErr_Occurred())
            return nullptr;
        Py_RETURN_NONE;
    }
    return PyObject_CallMethodObjArgs(data, str(S_GET), key, nullptr);
}

// self.data.get(key)
VQ_INLINE PyObject *record_get(RecordClass &rc, PyObject *self, PyObject *key) {
    Ref data(mapping_of(rc, self));
    return data ? mapping_get(data.get(), key) : nullptr;
}

// Slow paths: call the class's own Python method.
VQ_NOINLINE PyObject *call_own(PyObject *self, PyObject *name, PyObject *args, PyObject *kwds) {
    PyObject *method = vq_type_lookup(Py_TYPE(self), name);
    if (method == nullptr) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return nullptr;
    }
    Ref keep = Ref::owning(method);
    Py_ssize_t n = args ? PyTuple_GET_SIZE(args) : 0;
    Ref full(PyTuple_New(n + 1));
    if (!full)
        return nullptr;
    PyTuple_SET_ITEM(full.get(), 0, Py_NewRef(self));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(full.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    return PyObject_Call(method, full.get(), kwds);
}

// The same with positional arguments: the method whose __code__ was replaced.
VQ_NOINLINE PyObject *call_method(PyObject *self, Method m, PyObject *a = nullptr,
                                  PyObject *b = nullptr) {
    Ref args(b != nullptr   ? PyTuple_Pack(2, a, b)
             : a != nullptr ? PyTuple_Pack(1, a)
                            : PyTuple_New(0));
    return args ? call_own(self, method_strings[m], args.get(), nullptr) : nullptr;
}

// ---- attribute and item access, str and repr -------------------------------------------
inline int is_data_name(PyObject *name) {
    if (name == str(S_DATA))
        return 1;
    if (PyUnicode_CheckExact(name))
        return PyUnicode_Compare(name, str(S_DATA)) == 0;
    // a str subclass: by its own comparison, as `item != 'data'` would
    Ref differs(PyObject_RichCompare(name, str(S_DATA), Py_NE));
    if (!differs)
        return -1;
    int t = PyObject_IsTrue(differs.get());
    return t < 0 ? -1 : !t;
}

// __getattr__: self.data.get(name)
VQ_INLINE PyObject *fallback(RecordClass &rc, PyObject *self, PyObject *name) {
    if (VQ_UNLIKELY(!own_code(rc, M_GETATTR)))
        return call_method(self, M_GETATTR, name);
    return record_get(rc, self, name);
}

PyObject *record_getattro(PyObject *self, PyObject *name) {
    PyTypeObject *tp = Py_TYPE(self);
    RecordClass *rc = record_class(tp);
    if (rc == nullptr)
        return PyObject_GenericGetAttr(self, name);
    PyObject *descr = vq_type_lookup(tp, name);
    if (descr != nullptr) {
        int i = Py_TYPE(descr) == &PyProperty_Type ? property_index(*rc, descr) : -1;
        if (i >= 0) {
            PyObject *getter = vq_property_getter(descr);
            if (getter == rc->getters[i] && PyFunction_GET_CODE(getter) == rc->getter_code[i]) {
                // the property's getter: self.data.get('<its name>'), by its
                // own name (`name` may be a str subclass)
                PyObject *r = record_get(*rc, self, rc->names[i]);
                if (r != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError) ||
                    data_slot(self) == nullptr)
                    return r;
                PyErr_Clear();  // a getter's AttributeError: the fallback
                return fallback(*rc, self, name);
            }
        }
        PyObject *r = PyObject_GenericGetAttr(self, name);
        if (r != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError))
            return r;
        if (is_data_name(name) == 1)  // an empty slot: no fallback, no recursion
            return nullptr;
        PyErr_Clear();
    }
    return fallback(*rc, self, name);
}

// The other slots serve the record classes only (a subclass's own slots
// call the methods), which own_method tells, with whether the method
// still runs its own code.
inline RecordClass *own_method(PyObject *self, Method m) {
    RecordClass *rc = record_class(Py_TYPE(self));
    return VQ_LIKELY(rc != nullptr && rc->fn[m] != nullptr && own_code(*rc, m)) ? rc : nullptr;
}

PyObject *record_subscript(PyObject *self, PyObject *key) {
    RecordClass *rc = own_method(self, M_GETITEM);
    if (VQ_UNLIKELY(rc == nullptr))
        return call_method(self, M_GETITEM, key);
    return record_get(*rc, self, key);
}

int record_ass_subscript(PyObject *self, PyObject *key, PyObject *value) {
    if (value == nullptr) {  // the classes define no __delitem__
        PyErr_SetString(PyExc_AttributeError, "__delitem__");
        return -1;
    }
    RecordClass *rc = own_method(self, M_SETITEM);
    if (VQ_UNLIKELY(rc == nullptr)) {
        Ref r(call_method(self, M_SETITEM, key, value));
        return r ? 0 : -1;
    }
    Ref data(mapping_of(*rc, self));
    return data ? PyObject_SetItem(data.get(), key, value) : -1;
}

int record_contains(PyObject *self, PyObject *key) {
    RecordClass *rc = own_method(self, M_CONTAINS);
    if (VQ_UNLIKELY(rc == nullptr)) {
        Ref r(call_method(self, M_CONTAINS, key));
        return r ? PyObject_IsTrue(r.get()) : -1;
    }
    Ref data(mapping_of(*rc, self));
    return data ? PySequence_Contains(data.get(), key) : -1;
}

PyObject *text_of(PyObject *self, Method m) {
    RecordClass *rc = own_method(self, m);
    if (VQ_UNLIKELY(rc == nullptr))
        return call_method(self, m);
    // owned: the entries' reprs may rebind `data`
    Ref data(mapping_of(*rc, self));
    if (!data)
        return nullptr;
    if (PyDict_CheckExact(data.get()))  // dict.__str__ and dict.__repr__ both give the repr
        return PyObject_Repr(data.get());
    return PyObject_CallMethodObjArgs(data.get(), method_strings[m], nullptr);
}

PyObject *record_str(PyObject *self) {
    return text_of(self, M_STR);
}
PyObject *record_repr(PyObject *self) {
    return text_of(self, M_REPR);
}

// ---- allocation --------------------------------------------------------------------------
// Freed instances of the record classes themselves, kept for reuse: a
// strategy makes and drops a record per tick or bar, and malloc and free
// would be a good part of that.  The four classes share one layout; a kept
// block holds nothing of the record it was (type and reference count are
// set afresh, the slot is empty, the collector no longer tracks it, and
// none whose finalizer ran is kept).
constexpr int kFreeRecords = 64;
PyObject *free_records[kFreeRecords];
int n_free_records = 0;

// tp_alloc of the record classes (a subclass allocates for itself).
PyObject *record_alloc(PyTypeObject *tp, Py_ssize_t nitems) {
    if (VQ_LIKELY(n_free_records > 0 && nitems == 0)) {
        PyObject *self = PyObject_Init(free_records[--n_free_records], tp);
#if !VQ_OBJECT_INIT_REFS_HEAP_TYPE
        Py_INCREF(tp);
#endif
        PyObject_GC_Track(self);
        return self;
    }
    return PyType_GenericAlloc(tp, nitems);
}

// ---- construction ------------------------------------------------------------------------
// True when `self.data = data` in __init__ may just fill the slot, as far
// as is known without a call: the class is as last found, with its own
// __init__ and __setattr__ running their own code, and in the module
// namespace its name names it and `super` is the builtin, both unchanged
// since they were looked up.
inline bool fills_slot_now(const RecordClass &rc, PyTypeObject *tp) {
    return vq_type_version_is(tp, rc.fill_version) && tags_trusted() &&
           rc.fill_module_tag == module_tag() && rc.fill_builtins_tag == builtins_tag() &&
           own_code(rc, M_INIT) && own_code(rc, M_SETATTR);
}

// The same after looking again: 1 when so, so that
// super(<name>, self).__setattr__ is object's; -1 with NameError set when
// the name is unbound; 0 otherwise (the Python methods then run).
VQ_NOINLINE int fills_slot(RecordClass &rc, PyTypeObject *tp) {
    refresh(rc);
    if (rc.fill_version == 0 || !own_code(rc, M_INIT) || !own_code(rc, M_SETATTR))
        return 0;
    PyObject *sup = global(G_SUPER);
    if (sup != reinterpret_cast<PyObject *>(&PySuper_Type)) {
        PyErr_Clear();  // an unbound `super` raises in the method
        return 0;
    }
    PyObject *cls = global(rc.global);
    if (cls == nullptr)
        return -1;
    if (cls != reinterpret_cast<PyObject *>(tp))
        return 0;
    // Both lookups (and the class's name among the builtins for the
    // builtins tag) stay good while neither dict changes.
    rc.fill_module_tag = module_tag();
    rc.fill_builtins_tag = builtins_tag();
    return 1;
}

// __init__ when the class is called with an argument tuple (always before
// 3.9, and for the calls that the vectorcall entry passes on).
template <int I>
int record_init(PyObject *self, PyObject *args, PyObject *kwds) {
    RecordClass &rc = classes[I];
    PyTypeObject *tp = Py_TYPE(self);
    if (VQ_LIKELY(tp == rc.type && PyTuple_GET_SIZE(args) == 1 &&
                  (kwds == nullptr || PyDict_GET_SIZE(kwds) == 0))) {
        int fill = fills_slot_now(rc, tp) ? 1 : fills_slot(rc, tp);
        if (fill < 0)
            return -1;
        if (VQ_LIKELY(fill)) {
            PyObject *old = data_slot(self);
            data_slot(self) = Py_NewRef(PyTuple_GET_ITEM(args, 0));
            Py_XDECREF(old);
            return 0;
        }
    }
    Ref r(call_own(self, method_strings[M_INIT], args,
                   kwds));  // the interpreter's own argument errors
    if (!r)
        return -1;
    if (r.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(r.get())->tp_name);
        return -1;
    }
    return 0;
}

#if VQ_HAVE_CLASS_VECTORCALL
// Anything but Cls(data) with the class as built: the interpreter's own
// type call (object.__new__, then tp_init).
VQ_NOINLINE PyObject *type_call(PyObject *type, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
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

inline PyObject *new_record(PyTypeObject *tp, PyObject *data) {
    PyObject *self = record_alloc(tp, 0);
    if (self != nullptr)
        data_slot(self) = Py_NewRef(data);
    return self;
}

VQ_NOINLINE PyObject *construct(RecordClass &rc, PyObject *type, PyObject *const *args,
                                size_t nargsf, PyObject *kwnames) {
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(type);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == 1 && kwnames == nullptr && tp == rc.type) {
        int fill = fills_slot(rc, tp);
        if (fill != 0)
            return fill > 0 ? new_record(tp, args[0]) : nullptr;
    }
    return type_call(type, args, nargs, kwnames);
}

// Calling the class, Cls(data): one allocation and the slot filled, with
// no argument tuple and no Python frame.
template <int I>
PyObject *record_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames) {
    RecordClass &rc = classes[I];
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(type);
    if (VQ_LIKELY(PyVectorcall_NARGS(nargsf) == 1 && kwnames == nullptr && tp == rc.type &&
                  fills_slot_now(rc, tp)))
        return new_record(tp, args[0]);
    return construct(rc, type, args, nargsf, kwnames);
}
#endif

// ---- deallocation ------------------------------------------------------------------------
void record_dealloc(PyObject *self);

// A mapping other than a dict may be another record, and a chain of those
// would free itself recursively: the trashcan bounds the depth.
VQ_NOINLINE void dealloc_guarded(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    VQ_TRASHCAN_BEGIN(self, record_dealloc)
    Py_CLEAR(data_slot(self));
    tp->tp_free(self);
    Py_DECREF(tp);
    VQ_TRASHCAN_END(self)
}

// For an instance of a record class itself, the whole deallocation; for an
// instance of a subclass, called by the subclass's deallocator once it has
// done its part, only the slot and the memory.
void record_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    const bool outermost = tp->tp_dealloc == record_dealloc;
    // a __del__ set on the class after it was built
    if (outermost && VQ_UNLIKELY(tp->tp_finalize != nullptr) &&
        PyObject_CallFinalizerFromDealloc(self) < 0)
        return;  // resurrected
    PyObject_GC_UnTrack(self);
    PyObject *data = data_slot(self);
    if (outermost && data != nullptr && !PyDict_CheckExact(data)) {
        dealloc_guarded(self);
        return;
    }
    data_slot(self) = nullptr;
    Py_XDECREF(data);
    if (outermost && n_free_records < kFreeRecords && tp->tp_finalize == nullptr &&
        !vq_gc_is_finalized(self))
        free_records[n_free_records++] = self;
    else
        tp->tp_free(self);
    if (outermost || VQ_BASE_DEALLOC_RELEASES_TYPE)
        Py_DECREF(tp);
}

// ---- installing --------------------------------------------------------------------------
template <int... I>
struct PerClass {
    static constexpr initproc inits[] = {record_init<I>...};
#if VQ_HAVE_CLASS_VECTORCALL
    static constexpr vectorcallfunc vectorcalls[] = {record_vectorcall<I>...};
#endif
};
using Entries = PerClass<0, 1, 2, 3>;
static_assert(sizeof(Entries::inits) / sizeof(Entries::inits[0]) == kRecordClasses,
              "one construction entry per record class");

void forget(RecordClass &rc) {
    for (int i = 0; i < rc.nprops; ++i) {
        Py_CLEAR(rc.props[i]);
        Py_CLEAR(rc.getters[i]);
        Py_CLEAR(rc.getter_code[i]);
        Py_CLEAR(rc.names[i]);
    }
    for (int m = 0; m < M_COUNT; ++m) {
        Py_CLEAR(rc.fn[m]);
        Py_CLEAR(rc.code[m]);
    }
    rc.nprops = 0;
    rc.version = rc.read_version = rc.fill_version = 0;
    rc.fill_module_tag = rc.fill_builtins_tag = 0;
    Py_CLEAR(rc.member);
    Py_CLEAR(rc.type);
}

// The class's own function `name`, owned.
PyObject *own_function(PyTypeObject *tp, PyObject *name) {
    PyObject *fn = PyDict_GetItemWithError(tp->tp_dict, name);
    if (fn == nullptr || !PyFunction_Check(fn)) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "%s.%U is not a function", tp->tp_name, name);
        return nullptr;
    }
    return Py_NewRef(fn);
}

}  // namespace

int install_record_slots(int index, PyTypeObject *tp, Global global, const char *const *properties,
                         int nprops, bool contains) {
    object_new = PyBaseObject_Type.tp_new;
    RecordClass &rc = classes[index];
    forget(rc);
    PyObject *member = PyDict_GetItemWithError(tp->tp_dict, str(S_DATA));
    if (member == nullptr || Py_TYPE(member) != &PyMemberDescr_Type ||
        vq_member_offset(member) != kDataOffset ||
        tp->tp_basicsize != kDataOffset + static_cast<Py_ssize_t>(sizeof(PyObject *))) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "%s has no slot 'data' after its header", tp->tp_name);
        return -1;
    }
    rc.type = reinterpret_cast<PyTypeObject *>(Py_NewRef(reinterpret_cast<PyObject *>(tp)));
    rc.global = global;
    for (int i = 0; i < nprops; ++i) {
        PyObject *prop = PyDict_GetItemString(tp->tp_dict, properties[i]);
        if (prop == nullptr || Py_TYPE(prop) != &PyProperty_Type) {
            PyErr_Format(PyExc_SystemError, "%s.%s is not a property", tp->tp_name, properties[i]);
            return -1;
        }
        PyObject *name = intern(properties[i]);  // owned here
        if (name == nullptr)
            return -1;
        PyObject *getter = vq_property_getter(prop);
        rc.props[i] = Py_NewRef(prop);
        rc.getters[i] = Py_NewRef(getter);
        rc.getter_code[i] =
            PyFunction_Check(getter) ? Py_NewRef(PyFunction_GET_CODE(getter)) : nullptr;
        rc.names[i] = name;
        rc.nprops = i + 1;
        if (rc.getter_code[i] == nullptr) {
            PyErr_Format(PyExc_SystemError, "%s.%s has no function getter", tp->tp_name,
                         properties[i]);
            return -1;
        }
    }
    rc.member = Py_NewRef(member);
    for (int m = 0; m < M_COUNT; ++m) {
        if (method_strings[m] == nullptr && !(method_strings[m] = intern(method_names[m])))
            return -1;
        if (m == M_CONTAINS && !contains)
            continue;
        if (!(rc.fn[m] = own_function(tp, method_strings[m])))
            return -1;
        rc.code[m] = Py_NewRef(PyFunction_GET_CODE(rc.fn[m]));
    }
#if PY_VERSION_HEX < 0x030B0000
    if (tag_witness == nullptr) {
        tag_witness = reinterpret_cast<PyTypeObject *>(PyObject_CallFunction(
            reinterpret_cast<PyObject *>(&PyType_Type), "s(O){}", "_c_sdk_tag_witness",
            reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
        if (tag_witness == nullptr)
            return -1;
    }
#endif
    rc.c_init = Entries::inits[index];
    // tp_setattro stays the class's own __setattr__: object.__setattr__
    // refuses instances whose class overrides it in C.
    tp->tp_getattro = record_getattro;
    tp->tp_init = rc.c_init;
    tp->tp_alloc = record_alloc;
    tp->tp_dealloc = record_dealloc;
    tp->tp_str = record_str;
    tp->tp_repr = record_repr;
    tp->tp_as_mapping->mp_subscript = record_subscript;
    tp->tp_as_mapping->mp_ass_subscript = record_ass_subscript;
    // Not sequences: iteration and `in` would otherwise call __getitem__
    // with 0, 1, 2, ... for ever, since item reads never fail.
    tp->tp_as_sequence->sq_item = nullptr;
    tp->tp_as_sequence->sq_ass_item = nullptr;
    tp->tp_as_sequence->sq_contains = contains ? record_contains : nullptr;
#if VQ_HAVE_CLASS_VECTORCALL
    tp->tp_vectorcall = Entries::vectorcalls[index];
#endif
    PyType_Modified(tp);
    revalidate(rc);
    return 0;
}

}  // namespace vq
