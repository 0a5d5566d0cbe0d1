// tavix.log.commands.parser.base: the results-parser base with its section
// index, the section view over a task log and the device-command executions
// found in it.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace tavix::parser_base {

namespace nb = nanobind;

// Interpreter objects looked up once when the module is loaded and kept for
// the life of the process (never destroyed: the interpreter may already be
// gone when static destructors run).
struct Shared {
    nb::object pattern_command, pattern_config_ping, pattern_ping_ip;
    nb::object log_execute;  // the classes, once built
    nb::object log_section;
    nb::object os_path_join, os_fspath, os_stat, lru_cache;
    size_t scan_block = size_t(1) << 18;  // largest read of the execution scan
};

Shared &shared();

// Raises the pending Python error unless `result` is set; steals `result`.
inline nb::object checked(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// getattr(object, name) into `value`; false when there is no such attribute.
// Errors other than AttributeError propagate.
inline bool find_attr(nb::handle object, const char *name, nb::object &value) {
    PyObject *found = PyObject_GetAttrString(object.ptr(), name);
    if (found) {
        value = nb::steal(found);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return false;
}

inline void set_attr(nb::handle object, PyObject *name, nb::handle value) {
    if (PyObject_SetAttr(object.ptr(), name, value.ptr()) < 0)
        throw nb::python_error();
}

// Interned attribute names of executions.
struct Names {
    PyObject *archive, *start_line, *start_time, *logfile, *parent_id, *execute_id,
        *section_log_start, *section_log_size, *device, *execute_type, *title, *end_line,
        *stop_time, *logs;
};
const Names &names();

// A LogExecute as LogExecute(archive, **attributes) makes it, without a
// keyword dictionary per execution. Entries with a null name are skipped.
nb::object new_execute(nb::handle archive,
                       std::initializer_list<std::pair<PyObject *, nb::handle>> attributes);

// mapping.get(key): the value, or None. Errors other than a missing key propagate.
nb::object get_item(nb::handle mapping, const char *key);

// Decodes UTF-8 with replacement characters, so undecodable bytes never make a
// section unreadable.
nb::object decode(const char *data, size_t size);
inline nb::object decode(const std::string &text) { return decode(text.data(), text.size()); }

// The UTF-8 bytes of str(value); None gives the empty text.
std::string utf8_text(nb::handle value);

void define_pattern(nb::module_ &module);
void define_log_execute(nb::module_ &module);
void define_log_section(nb::module_ &module);
void define_results_parser(nb::module_ &module);
void define_failure_signature(nb::module_ &module);
void define_failure_causes(nb::module_ &module);
void define_failure_categories(nb::module_ &module);
void define_severity_histogram(nb::module_ &module);

// The execution scan of one LogSection: dictionary from execute_id to LogExecute.
nb::object scan_executions(nb::handle section);

}  // namespace tavix::parser_base
