// What the run index (tavix.log.commands.history) keeps of each section of a
// run: its path (the paths runs are compared by) as JSON text, type, result
// and duration. One pass over every section of a run.
#include <nanobind/nanobind.h>

#include <cmath>
#include <string>
#include <string_view>

#include "base.hpp"
#include "comparison/section_identity.hpp"
#include "json_text.hpp"
#include "py_helpers.hpp"

namespace tavix::parser_base {

namespace {

// A record's text value: itself when it is text, "" for None, else str() of it.
nb::object text_of(nb::handle value) {
    if (PyUnicode_Check(value.ptr()))
        return nb::borrow(value);
    if (value.is_none())
        return nb::str("");
    return as_text(value);
}

// float(value), or None when it is not a finite number; a ValueError or
// TypeError means it is none.
nb::object float_or_none(nb::handle value) {
    PyObject *number = PyNumber_Float(value.ptr());
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::none();
    }
    nb::object held = nb::steal(number);
    return std::isfinite(PyFloat_AS_DOUBLE(number)) ? held : nb::none();
}

// A run time ("12.5", "0:03:07.2") in seconds, or None.
nb::object seconds_of(nb::handle run_time) {
    nb::object text = truthy(run_time) ? nb::borrow(run_time) : nb::object(nb::str(""));
    nb::object plain = float_or_none(text);
    if (!plain.is_none())
        return plain;
    double total = 0;
    for (nb::handle part : as_text(text).attr("strip")().attr("split")(":")) {
        nb::object value = float_or_none(part);
        if (value.is_none())
            return nb::none();
        total = total * 60 + PyFloat_AS_DOUBLE(value.ptr());
    }
    return std::isfinite(total) ? nb::object(nb::float_(total)) : nb::none();
}

nb::list section_identities(nb::handle parser) {
    nb::list listed;
    for (const SectionPath &section : section_paths_of(parser)) {
        std::string key = "[";
        for (nb::handle name : section.names) {
            if (key.size() > 1)
                key += ',';
            append_json_string(key, utf8_text(name));
        }
        key += ']';
        nb::handle record = section.record;
        listed.append(nb::make_tuple(record, checked(PyUnicode_DecodeUTF8(key.data(), Py_ssize_t(key.size()), nullptr)),
                                     text_of(get_item(record, "section_type")),
                                     text_of(get_item(record, "result")),
                                     seconds_of(get_item(record, "run_time"))));
    }
    return listed;
}

}  // namespace

void define_section_identities(nb::module_ &module) {
    module.def("section_identities", &section_identities, nb::arg("parser"),
               "(record, path, type, result, duration) of every section of the parser's tasks, in\n"
               "tree order. path: the section's path (see section_paths) as JSON text, as\n"
               "json.dumps(names, ensure_ascii=False, separators=(\",\", \":\")) writes it. type and\n"
               "result: texts (\"\" for none); duration: the run time in seconds (\"12.5\" or\n"
               "\"0:03:07.2\"), or None.");
}

}  // namespace tavix::parser_base
