// Section identities across runs: each section's path from its task's script
// down, as the run index (tavix.log.commands.history) records it, with what
// the index keeps of the section. One pass over every section of a run.
#include <nanobind/nanobind.h>

#include <cmath>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base.hpp"
#include "py_helpers.hpp"

namespace tavix::parser_base {

namespace {

// Appends `text` (UTF-8) as a JSON string, as the interpreter's
// json.dumps(text, ensure_ascii=False) writes it.
void append_json_string(std::string &out, std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += char(c);
            }
        }
    }
    out += '"';
}

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

// The name the tree shows: the section's name, else its type.
std::string shown_name(nb::handle record) {
    nb::object name = get_item(record, "section_name");
    if (!truthy(name))
        name = get_item(record, "section_type");
    return truthy(name) ? utf8_text(name) : std::string();
}

nb::list section_identities(nb::handle parser) {
    nb::list listed;
    std::unordered_map<std::string, long> seen;  // key -> sections with it so far
    std::vector<std::string> keys;
    nb::dict position_of;  // sequence number -> index in keys
    for (nb::handle task : parser.attr("scripts")) {
        nb::object sections = get_item(task, "sections");
        if (!PyList_Check(sections.ptr()))
            continue;
        for (nb::handle record : sections) {
            std::string name = shown_name(record);
            std::string head = "[";
            nb::object parents = get_item(record, "parents");
            if (truthy(parents)) {
                nb::object last = checked(PySequence_GetItem(parents.ptr(), -1));
                PyObject *at = PyDict_GetItemWithError(position_of.ptr(), last.ptr());
                if (at) {
                    const std::string &parent = keys[nb::cast<size_t>(nb::handle(at))];
                    head.assign(parent, 0, parent.size() - 1);
                    head += ',';
                } else if (PyErr_Occurred()) {
                    throw nb::python_error();
                }
            }
            std::string key = head;
            append_json_string(key, name);
            key += ']';
            long count = ++seen[key];
            if (count > 1) {
                key = head;
                append_json_string(key, name + "#" + std::to_string(count));
                key += ']';
                ++seen[key];
            }
            position_of[get_item(record, "sequence_number")] = keys.size();
            nb::object key_text = checked(PyUnicode_DecodeUTF8(key.data(), Py_ssize_t(key.size()), nullptr));
            keys.push_back(std::move(key));
            listed.append(nb::make_tuple(record, key_text, text_of(get_item(record, "section_type")),
                                         text_of(get_item(record, "result")),
                                         seconds_of(get_item(record, "run_time"))));
        }
    }
    return listed;
}

}  // namespace

void define_section_identities(nb::module_ &module) {
    module.def("section_identities", &section_identities, nb::arg("parser"),
               "(record, path, type, result, duration) of every section of the parser's tasks, in\n"
               "tree order. path: the JSON text of the names from the task's script down to the\n"
               "section (an unnamed one by its type), as json.dumps(names, ensure_ascii=False,\n"
               "separators=(\",\", \":\")) writes it; the 2nd, 3rd... section of a path already seen\n"
               "has \"#2\", \"#3\"... after its own name. type and result: texts (\"\" for none);\n"
               "duration: the run time in seconds (\"12.5\" or \"0:03:07.2\"), or None.");
}

}  // namespace tavix::parser_base
