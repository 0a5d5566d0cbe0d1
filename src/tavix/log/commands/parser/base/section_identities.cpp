// What the run index (tavix.log.commands.history) keeps of each section of a
// run: its path (the paths runs are compared by) as JSON text, type, result
// and duration. One pass over every section of a run.
#include <nanobind/nanobind.h>

#include <string>

#include "base.hpp"
#include "comparison/section_identity.hpp"
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

nb::list section_identities(nb::handle parser) {
    nb::list listed;
    for (const SectionPath &section : section_paths_of(parser)) {
        std::string key = path_key(section.names);
        nb::handle record = section.record;
        listed.append(nb::make_tuple(record, checked(PyUnicode_DecodeUTF8(key.data(), Py_ssize_t(key.size()), nullptr)),
                                     text_of(get_item(record, "section_type")),
                                     text_of(get_item(record, "result")),
                                     run_time_seconds(get_item(record, "run_time"))));
    }
    return listed;
}

}  // namespace

void define_section_identities(nb::module_ &module) {
    module.def("section_identities", &section_identities, nb::arg("parser"),
               "(record, path, type, result, duration) of every section of the parser's tasks, in\n"
               "tree order. path: the section's path (see section_paths) as JSON text, as\n"
               "json.dumps(names, ensure_ascii=False, separators=(\",\", \":\")) writes it. type and\n"
               "result: texts (\"\" for none); duration: the run time in seconds (see\n"
               "run_time_seconds), or None.");
}

}  // namespace tavix::parser_base
