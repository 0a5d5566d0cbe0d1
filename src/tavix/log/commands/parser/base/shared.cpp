// Interpreter objects and small helpers shared by the module's classes.
#include "base.hpp"

namespace tavix::parser_base {

Shared &shared() {
    static Shared *state = new Shared();
    return *state;
}

nb::object get_item(nb::handle mapping, const char *key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = PyDict_GetItemString(mapping.ptr(), key);
        return value ? nb::borrow(value) : nb::none();
    }
    return mapping.attr("get")(key);
}

nb::object decode(const char *data, size_t size) {
    return checked(PyUnicode_DecodeUTF8(data, Py_ssize_t(size), "replace"));
}

std::string utf8_text(nb::handle value) {
    if (value.is_none())
        return {};
    Py_ssize_t size = 0;
    nb::str text(value);  // the bytes belong to it: it must outlive the copy below
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data)
        throw nb::python_error();
    return std::string(data, size_t(size));
}

}  // namespace tavix::parser_base
