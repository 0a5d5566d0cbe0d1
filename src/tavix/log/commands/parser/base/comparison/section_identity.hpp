// Sections matched across runs by their paths: the script's name, then the
// names of the sections from the script down as the tree shows them (an
// unnamed one by its type). The 2nd, 3rd... section of the same path, in
// tree order, gets "#2", "#3"... after its own name, or the next number whose
// path no section before it has: no two sections share a path.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace tavix::parser_base {

namespace nb = nanobind;

struct SectionPath {
    nb::object record;  // the section record
    nb::list names;     // its path
    nb::str text;       // the names joined as path_text joins them
};

// Every section of the parser's tasks (steps left out), in tree order.
std::vector<SectionPath> section_paths_of(nb::handle parser);

// The path as the run index keys it: the names as JSON text, as
// json.dumps(names, ensure_ascii=False, separators=(",", ":")) writes them.
std::string path_key(nb::handle names);

// The names joined by "/", with "\" written "\\" and "/" written "\/" inside a name.
nb::str path_text(nb::handle names);

}  // namespace tavix::parser_base
