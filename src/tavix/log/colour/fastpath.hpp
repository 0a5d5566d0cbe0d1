// Shortcuts for the logging hot paths shared by tavix.log.colour and
// tavix.log.morlan (header only: each module gets its own copy).
//
// A shortcut replaces a Python-level call chain of the interpreter's logging
// library by the C operation that chain ends in. It is taken only while the
// method involved is the stock one (neither overridden by a subclass nor
// shadowed on the instance), so the result is the same as the slow path.
#pragma once

#include <nanobind/nanobind.h>

namespace tavix::fast {

namespace nb = nanobind;

// An interned string kept for the process lifetime.
inline PyObject *intern(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name)
        throw nb::python_error();
    return name;
}

// Borrowed: the attribute `name` as the class `type` resolves it (MRO order),
// or nullptr.
inline PyObject *class_lookup(PyTypeObject *type, PyObject *name) {
    return _PyType_Lookup(type, name);
}

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

// True when `obj` reaches `stock` under `name`: its class resolves the name to
// `stock` and the instance does not shadow it.
inline bool uses_stock(PyObject *obj, PyObject *name, PyObject *stock) {
    if (class_lookup(Py_TYPE(obj), name) != stock)
        return false;
    PyObject **dict_ptr = _PyObject_GetDictPtr(obj);
    if (!dict_ptr || !*dict_ptr)
        return true;
    return dict_get(*dict_ptr, name) == nullptr;
}

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
        PyObject *dict = ((PyTypeObject *)PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (PyObject *value = dict_get(dict, name))
            return value;
    }
    return nullptr;
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

// `template % values`, reporting a missing field as the interpreter's
// PercentStyle.format does.
inline nb::object percent_fill(PyObject *template_text, PyObject *values) {
    PyObject *text = PyUnicode_Format(template_text, values);
    if (text)
        return nb::steal(text);
    if (!PyErr_ExceptionMatches(PyExc_KeyError))
        throw nb::python_error();
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback)
        PyException_SetTraceback(value, traceback);
    PyErr_Format(PyExc_ValueError, "Formatting field not found in record: %S", value);
    PyObject *type2, *value2, *traceback2;
    PyErr_Fetch(&type2, &value2, &traceback2);
    PyErr_NormalizeException(&type2, &value2, &traceback2);
    PyException_SetContext(value2, value);  // steals `value`
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_Restore(type2, value2, traceback2);
    throw nb::python_error();
}

// logging.Formatter.formatMessage(formatter, obj): the formatter's style
// applied to obj. The percent style is filled straight from obj.__dict__.
inline nb::object stock_format_message(nb::handle formatter, nb::handle obj) {
    const LoggingStock &s = logging_stock();
    nb::object formatter_dict = instance_dict(formatter);
    nb::object style = field(formatter, formatter_dict.ptr(), s.s_style);
    PyObject *style_ptr = style.ptr();
    if ((PyObject *)Py_TYPE(style_ptr) == s.percent_style &&
        uses_stock(style_ptr, s.s_format, s.percent_style_format) &&
        uses_stock(style_ptr, s.s__format, s.percent_style__format)) {
        nb::object style_dict = instance_dict(style);
        nb::object fmt = field(style, style_dict.ptr(), s.s_fmt);
        PyObject *defaults = dict_get(style_dict.ptr(), s.s_defaults);
        bool no_defaults = !defaults || defaults == Py_None;
        if (!no_defaults) {
            int truth = PyObject_IsTrue(defaults);
            if (truth < 0)
                throw nb::python_error();
            no_defaults = !truth;
        }
        if (no_defaults && PyUnicode_CheckExact(fmt.ptr())) {
            nb::object values = instance_dict(obj);
            return percent_fill(fmt.ptr(), values.ptr());
        }
    }
    return style.attr(s.s_format)(obj);
}

// formatter.formatMessage(obj), short-cut when the method is the stock one.
inline nb::object format_message(nb::handle formatter, nb::handle obj) {
    const LoggingStock &s = logging_stock();
    if (uses_stock(formatter.ptr(), s.s_formatMessage, s.formatter_format_message))
        return stock_format_message(formatter, obj);
    return formatter.attr(s.s_formatMessage)(obj);
}

}  // namespace tavix::fast
