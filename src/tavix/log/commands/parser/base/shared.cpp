// Interpreter objects and small helpers shared by the module's classes.
#include "base.hpp"
#include "py_helpers.hpp"

namespace tavix::parser_base {

Shared &shared() {
    static Shared *state = new Shared();
    return *state;
}

nb::object get_item(nb::handle mapping, const char *key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        nb::str name(key);
        PyObject *value = PyDict_GetItemWithError(mapping.ptr(), name.ptr());
        if (!value && PyErr_Occurred())
            throw nb::python_error();
        return value ? nb::borrow(value) : nb::none();
    }
    return mapping.attr("get")(key);
}

nb::object decode(const char *data, size_t size) { return decode_text(data, size); }

std::string utf8_text(nb::handle value) {
    if (value.is_none())
        return {};
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(nb::str(value).ptr(), &size);
    if (!data)
        throw nb::python_error();
    return std::string(data, size_t(size));
}

}  // namespace tavix::parser_base
