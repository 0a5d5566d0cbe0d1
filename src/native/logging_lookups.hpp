// The lookups behind the logging shortcuts (logging_fastpath.hpp): interned
// names, dictionary and class look-ups, and the stock check that decides
// whether a shortcut may replace the interpreter's call chain.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

#include "py_helpers.hpp"
#include "stock_check.hpp"

namespace tavix::fast {

namespace nb = nanobind;

// An interned string kept for the process lifetime.
inline PyObject *intern(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name)
        throw nb::python_error();
    return name;
}

inline PyObject *new_ref(PyObject *obj) {
    Py_INCREF(obj);
    return obj;
}

// a + b, with the interpreter's own errors.
inline nb::object add(nb::handle a, nb::handle b) {
    PyObject *sum = PyNumber_Add(a.ptr(), b.ptr());
    if (!sum)
        throw nb::python_error();
    return nb::steal(sum);
}

// obj.name(*args), without making a bound method.
template <typename... Args>
nb::object call_method(nb::handle obj, PyObject *name, Args... args) {
    PyObject *stack[] = {obj.ptr(), nb::handle(args).ptr()...};
    PyObject *result = PyObject_VectorcallMethod(name, stack, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                 nullptr);
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

using stock::class_lookup;

// The instance dictionary of `obj` (new reference; created when missing).
inline nb::object instance_dict(nb::handle obj) {
    PyObject *dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (!dict)
        throw nb::python_error();
    return nb::steal(dict);
}

// Borrowed entry of a dict, or nullptr; raises only on a failing __eq__/__hash__.
inline PyObject *dict_get(PyObject *dict, PyObject *key) {
    PyObject *value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred())
        throw nb::python_error();
    return value;
}

// The version tag of a dictionary, which changes with every change of it:
// values read from a module's globals stay valid while it is the same.
// (Deprecated since 3.12 in favour of dictionary watchers, which 3.9 to 3.11
// lack; every supported version still keeps it.)
inline uint64_t dict_version(PyObject *dict) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return ((PyDictObject *)dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

// Entries read from a dictionary, valid until it changes.
class DictReading {
public:
    bool current(PyObject *dict) const { return taken_ && dict_version(dict) == version_; }
    void taken(PyObject *dict) {
        version_ = dict_version(dict);
        taken_ = true;
    }

private:
    uint64_t version_ = 0;
    bool taken_ = false;
};

using stock::uses_stock;

// getattr(obj, name), read from the instance dictionary `dict` when it holds
// the name (plain records and formatters have no data descriptors there).
inline nb::object field(nb::handle obj, PyObject *dict, PyObject *name) {
    if (PyObject *value = dict_get(dict, name))
        return nb::borrow(value);
    PyObject *value = PyObject_GetAttr(obj.ptr(), name);
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

// getattr(obj, name, default) without raising for plain objects.
inline nb::object field_or(nb::handle obj, PyObject *dict, PyObject *name, nb::handle fallback) {
    if (PyObject *value = dict_get(dict, name))
        return nb::borrow(value);
    PyTypeObject *type = Py_TYPE(obj.ptr());
    if (type->tp_getattro == PyObject_GenericGetAttr && !class_lookup(type, name))
        return nb::borrow(fallback);
    PyObject *value = PyObject_GetAttr(obj.ptr(), name);
    if (value)
        return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return nb::borrow(fallback);
}

// Borrowed: the next definition of `name` after class `after` in the MRO of
// `type`, as super(after, obj).name would find it; nullptr if none.
inline PyObject *super_lookup(PyTypeObject *type, PyObject *after, PyObject *name) {
    PyObject *mro = type->tp_mro;
    if (!mro)
        return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != after)
        ++i;
    for (++i; i < n; ++i) {
        PyTypeObject *base = (PyTypeObject *)PyTuple_GET_ITEM(mro, i);
#if PY_VERSION_HEX >= 0x030C0000
        // the built-in types keep their dictionary elsewhere since 3.12
        nb::object dict = nb::steal(PyType_GetDict(base));
        if (PyObject *value = dict.is_valid() ? dict_get(dict.ptr(), name) : nullptr)
            return value;  // the class holds it too, so it stays alive
#else
        if (PyObject *value = base->tp_dict ? dict_get(base->tp_dict, name) : nullptr)
            return value;
#endif
    }
    return nullptr;
}

// A method implemented as a vector call, for the hottest entry points: it
// binds like a Python function (and like nanobind's methods) but takes its
// arguments without packing them into a tuple and a dict.
inline nb::object fastcall_method(PyTypeObject *owner, PyMethodDef *definition) {
    PyObject *descriptor = PyDescr_NewMethod(owner, definition);
    if (!descriptor)
        throw nb::python_error();
    return nb::steal(descriptor);
}

// The pieces of the interpreter's logging library the shortcuts compare
// against; looked up once, kept for the process lifetime.
struct LoggingStock {
    PyObject *formatter_format_message;  // logging.Formatter.formatMessage
    PyObject *percent_style;             // logging.PercentStyle
    PyObject *percent_style_format;      // PercentStyle.format
    PyObject *percent_style__format;     // PercentStyle._format
    PyObject *s_style, *s_fmt, *s_defaults, *s_format, *s__format, *s_formatMessage;
};

inline const LoggingStock &logging_stock() {
    static const LoggingStock *stock = [] {
        nb::module_ logging = nb::module_::import_("logging");
        nb::object formatter = logging.attr("Formatter"), style = logging.attr("PercentStyle");
        auto raw = [](nb::handle cls, const char *name) {
            return nb::handle(cls.attr("__dict__")[name]).inc_ref().ptr();
        };
        return new LoggingStock{raw(formatter, "formatMessage"),
                                style.inc_ref().ptr(),
                                raw(style, "format"),
                                raw(style, "_format"),
                                intern("_style"),
                                intern("_fmt"),
                                intern("_defaults"),
                                intern("format"),
                                intern("_format"),
                                intern("formatMessage")};
    }();
    return *stock;
}

}  // namespace tavix::fast
