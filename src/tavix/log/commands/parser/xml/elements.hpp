// Direct-child lookups on ElementTree elements for the results parser.
//
// Every path the parser reads names direct children only (./x:a/x:b), so the
// traversal walks children itself instead of compiling and evaluating a path
// per lookup: one pass over a section's children finds all it needs.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <py_helpers.hpp>

#include <initializer_list>
#include <string>
#include <vector>

namespace tavix::xml_results {

namespace nb = nanobind;

// The qualified tag names ("{namespace}local") of one results namespace.
struct Names {
    explicit Names(const std::string &ns);
    nb::str prefix;  // "{namespace}"
    nb::str testsuite, jobexecution, testscript, initinfo, taskid, script, name, path, logfile,
        description, starttime, stoptime, runtime, common_setup, common_cleanup, sub_section,
        testcase, subtest, result, id, xref, file, line, step, summary, jobid, submitter, testbed,
        vop, host;
    nb::str bare_step, bare_subtest;  // local names without a namespace
};

// The number of children of an element and the i-th of them.
Py_ssize_t child_count(nb::handle element);
nb::object child(nb::handle element, Py_ssize_t index);

// Whether the tag of `element` equals `tag` (non-string tags never match).
bool has_tag(nb::handle element, nb::handle tag);

// The first direct child with the tag, or an invalid object.
nb::object first_child(nb::handle element, nb::handle tag);

// One pass over the children: result[i] = the first child with tags[i].
std::vector<nb::object> first_children(nb::handle element, std::initializer_list<nb::handle> tags);

// The first element at the path of direct-child tags, in document order.
nb::object first_at(nb::handle element, std::initializer_list<nb::handle> path);

// The element's text, or `fallback` when it is missing or empty.
nb::object text_or(nb::handle element, nb::handle fallback);
inline nb::object text_or_empty(nb::handle element) { return text_or(element, nb::str("")); }

// element.get(key, fallback)
nb::object attribute(nb::handle element, const char *key, nb::handle fallback);

}  // namespace tavix::xml_results
