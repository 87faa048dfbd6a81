// The record classes as Python sees them.
//
// Each is an ordinary class, made by executing its class statement in the
// module namespace: metaclass type, base object, __slots__ = ['data'],
// Python functions that bind as methods, properties built with property and
// its setter.  The statements are written out from one pattern, the class
// statement in record_class.py, which the build embeds.  Once a class
// exists, its type slots are pointed at C functions that do the same work
// (record_slots.cpp).
#include "records.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "namespace.hpp"
#include "record_class_py.hpp"  // generated from record_class.py: record_class_py
#include "record_slots.hpp"
#include "ref.hpp"

namespace vq {

namespace {

// ---- the four classes ------------------------------------------------------------------
// Their methods, in the order of each class body.
// clang-format off
constexpr const char *object_methods[] = {"__init__", "__getitem__", "__getattr__", "__setitem__",
                                      "__setattr__", "__str__", "__repr__", nullptr};
constexpr const char *market_methods[] = {"__init__", "__getitem__", "__setitem__", "__getattr__",
                                      "__setattr__", "__str__", "__repr__", nullptr};
constexpr const char *bar_methods[]    = {"__init__", "__getitem__", "__setitem__", "__contains__",
                                      "__getattr__", "__setattr__", "__str__", "__repr__", nullptr};
// clang-format on

// Each row names its class by its global, whose text is the class's name.
struct RecordClassRow {
    Global global;
    const char *const *methods;
    bool setters;  // the properties are writable
    const char *properties[kMaxProperties];
};

constexpr RecordClassRow record_class_rows[] = {
    {G_QUOTE_ITEM_LIKE_DICT2, market_methods, false, {"bid_p", "bid_v", "ask_p", "ask_v"}},
    {G_TICK_LIKE_DICT2,
     market_methods,
     true,
     {"quotes", "symbol", "created_at", "price", "open", "high", "low", "cum_volume", "cum_amount",
      "cum_position", "last_amount", "last_volume", "trade_type", "receive_local_time"}},
    {G_BAR_LIKE_DICT2,
     bar_methods,
     true,
     {"symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount", "pre_close",
      "position", "frequency", "receive_local_time"}},
    {G_OBJECT_LIKE_DICT2, object_methods, false, {}},
};
#define VQ_RECORD_GLOBAL(id, text) id,
constexpr Global record_globals[] = {VQ_RECORD_CLASSES(VQ_RECORD_GLOBAL)};
#undef VQ_RECORD_GLOBAL

constexpr bool rows_follow_record_classes() {
    for (int i = 0; i < kRecordClasses; ++i)
        if (record_class_rows[i].global != record_globals[i])
            return false;
    return true;
}
static_assert(sizeof(record_class_rows) / sizeof(record_class_rows[0]) == kRecordClasses,
              "one row per record class");
static_assert(rows_follow_record_classes(), "the rows follow VQ_RECORD_CLASSES, in its order");

const char *class_name(const RecordClassRow &row) {
    return globals[row.global].text;
}

int property_count(const RecordClassRow &row) {
    return static_cast<int>(
        std::find(std::begin(row.properties), std::end(row.properties), nullptr) -
        std::begin(row.properties));
}

bool has_method(const RecordClassRow &row, std::string_view name) {
    for (const char *const *m = row.methods; *m != nullptr; ++m)
        if (name == *m)
            return true;
    return false;
}

// ---- the pattern -----------------------------------------------------------------------
// What record_class.py says in its class statement, and the names in it
// that each class's statement replaces.
constexpr std::string_view kPatternClass = "ObjectLikeDict2";
constexpr std::string_view kPatternKey = "key";
constexpr std::string_view kPropertyBlock = "@property";
constexpr std::string_view kSetterBlock = "@key.setter";

struct Block {
    std::string_view label;  // the method's name, or the block's decorator
    std::string_view text;
};

// The class statement cut at its blank lines: the header (label "class"),
// then one block per method, property getter and setter.
bool cut_pattern(std::string_view py, std::vector<Block> &blocks) {
    size_t at = py.find("\nclass " + std::string(kPatternClass) + "(");
    if (at == std::string_view::npos)
        return false;
    py.remove_prefix(at + 1);
    while (!py.empty() && py.back() == '\n')
        py.remove_suffix(1);
    while (!py.empty()) {
        size_t end = std::min(py.find("\n\n"), py.size());
        std::string_view text = py.substr(0, end);
        std::string_view label = blocks.empty() ? "class" : text;
        if (!blocks.empty()) {
            label.remove_prefix(std::min(label.find_first_not_of(' '), label.size()));
            if (label.substr(0, 4) == "def ")
                label = label.substr(4, label.find('(') - 4);
            else
                label = label.substr(0, label.find('\n'));
        }
        blocks.push_back({label, text});
        py.remove_prefix(std::min(end + 2, py.size()));
    }
    return true;
}

// Appends the block `label` with every `from` in it replaced by `to`.
bool append_block(std::string &out, const std::vector<Block> &blocks, std::string_view label,
                  std::string_view from, std::string_view to) {
    auto it = std::find_if(blocks.begin(), blocks.end(),
                           [&](const Block &b) { return b.label == label; });
    if (it == blocks.end()) {
        PyErr_Format(PyExc_SystemError, "record_class.py has no block '%.*s'",
                     static_cast<int>(label.size()), label.data());
        return false;
    }
    std::string_view text = it->text;
    for (size_t at; (at = text.find(from)) != std::string_view::npos;) {
        out.append(text.substr(0, at)).append(to);
        text.remove_prefix(at + from.size());
    }
    out.append(text).append("\n\n");
    return true;
}

// The class statement of one class; empty with SystemError set when the
// pattern lacks a part.
std::string class_source(const RecordClassRow &row, const std::vector<Block> &blocks) {
    std::string s;
    bool ok = append_block(s, blocks, "class", kPatternClass, class_name(row));
    for (const char *const *m = row.methods; ok && *m != nullptr; ++m)
        ok = append_block(s, blocks, *m, kPatternClass, class_name(row));
    for (int i = 0; ok && i < property_count(row); ++i) {
        ok = append_block(s, blocks, kPropertyBlock, kPatternKey, row.properties[i]);
        if (ok && row.setters)
            ok = append_block(s, blocks, kSetterBlock, kPatternKey, row.properties[i]);
    }
    return ok ? s : std::string();
}

// Methods defined by executing source get the module's __name__; they
// belong to "c_sdk" like everything else here.
int set_function_modules(PyTypeObject *tp) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(tp->tp_dict, &pos, &key, &value)) {
        PyObject *functions[2] = {value, nullptr};
        if (Py_TYPE(value) == &PyProperty_Type) {
            functions[0] = vq_property_getter(value);
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
    std::vector<Block> blocks;
    if (!cut_pattern(record_class_py, blocks)) {
        PyErr_SetString(PyExc_SystemError, "record_class.py has no class statement");
        return -1;
    }
    for (int i = 0; i < kRecordClasses; ++i) {
        const RecordClassRow &row = record_class_rows[i];
        std::string source = class_source(row, blocks);
        if (source.empty())
            return -1;
        // The class statement runs in the module namespace, which binds the
        // class there and gives its methods the module's globals (where
        // __setattr__ finds the class by name).
        Ref code(Py_CompileString(source.c_str(), "c_sdk", Py_file_input));
        if (!code)
            return -1;
        Ref done(PyEval_EvalCode(code.get(), ns.dict, ns.dict));
        if (!done)
            return -1;
        PyObject *cls = PyDict_GetItemString(ns.dict, class_name(row));
        if (cls == nullptr || !PyType_Check(cls)) {
            PyErr_Format(PyExc_SystemError, "class %s was not created", class_name(row));
            return -1;
        }
        PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(cls);
        if (set_function_modules(tp) < 0 ||
            install_record_slots(i, tp, row.global, row.properties, property_count(row),
                                 has_method(row, "__contains__")) < 0)
            return -1;
    }
    return 0;
}

}  // namespace vq
