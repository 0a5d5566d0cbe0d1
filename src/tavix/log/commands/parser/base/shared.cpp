// Interpreter objects and small helpers shared by the module's classes.
#include "base.hpp"
#include "py_helpers.hpp"

#include <limits>

#include "path_guard.hpp"

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
    nb::str text(value);  // the bytes belong to it: it must outlive the copy below
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data)
        throw nb::python_error();
    return std::string(data, size_t(size));
}

std::optional<std::string_view> utf8_view(nb::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data)
        return std::string_view(data, size_t(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        throw nb::python_error();
    PyErr_Clear();
    return std::nullopt;
}

namespace {

int64_t whole(nb::handle value) {
    long long number = PyLong_AsLongLong(nb::int_(value).ptr());
    if (number == -1 && PyErr_Occurred())
        throw nb::python_error();
    return number;
}

}  // namespace

void section_bounds(nb::handle section, int64_t &begin, int64_t &end) {
    begin = whole(section.attr("log_start"));
    int64_t size = whole(section.attr("log_size"));
    if (begin < 0) {
        PyErr_Format(PyExc_ValueError, "negative log position %lld", (long long)begin);
        throw nb::python_error();
    }
    int64_t limit = std::numeric_limits<int64_t>::max();
    end = size > 0 && size < limit - begin ? begin + size : limit;
}

std::string contained_log_path(nb::handle section) {
    std::string path = fs_path(section.attr("logfile"));
    nb::object dir = nb::getattr(section.attr("archive"), "dir", nb::none());
    if (!dir.is_none())
        ensure_inside(fs_path(dir), path);
    return path;
}

}  // namespace tavix::parser_base
