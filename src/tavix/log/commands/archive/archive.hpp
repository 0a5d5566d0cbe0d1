// tavix.log.commands.archive: the Archive class that opens a run archive into
// a temporary directory and reads its files, pages and line ranges.
#pragma once

#include <class_builder.hpp>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <py_helpers.hpp>

#include <memory>
#include <string>

#include "search/matcher.hpp"

namespace tavix::archive {

namespace nb = nanobind;

// Interpreter objects the module uses on every call, looked up once when it
// loads and owned for the life of the process.
struct Refs {
    nb::object module;
    nb::object temporary_directory, path_cls, pure_path, zip_file, weak_proxy;
    nb::object path_join, normpath, listdir, stat, islink, s_isdir;
    nb::object guess_type, sorted, str_lower;
    nb::object makedirs, path_dirname, io_open;
    nb::object listing_cls;
};
Refs &refs();

// Raises PermissionError unless `name` joined to `root` (a directory) stays
// inside it once every symlink is resolved; the path need not exist. Returns
// the joined path.
nb::str join_inside(nb::handle root, nb::handle name);

// Extracts every member of the zip `file` into `dir`, refusing names that
// lead outside it and archives that would nearly fill the disk. Pending
// signals are handled between blocks, and `progress`, unless None, is
// called as progress("extracting", bytes written, bytes in all).
void extract(nb::handle file, nb::handle dir, nb::handle progress);

// Defines the lazy iterator class behind Archive.listdir.
void define_listing(nb::module_ &m);
nb::object make_listing(nb::handle root, nb::handle folder, nb::handle depth, nb::handle parent_id);

// The path of a log file named by the archive's results, checked to lie
// inside the extraction directory while the archive is open.
std::string checked_log_path(nb::handle self, nb::handle logfile);

// The viewer's matcher for a query (a str): ValueError "invalid query: ..."
// for one it cannot match. Compiles with the GIL released.
std::unique_ptr<search::Matcher> compile_query(nb::handle query, bool regex, bool case_sensitive);

// Adds search and count_matches to the Archive class being built.
void add_search_methods(ClassBuilder &archive);
void add_record_line_methods(ClassBuilder &archive);

void define_archive(nb::module_ &m);

}  // namespace tavix::archive
