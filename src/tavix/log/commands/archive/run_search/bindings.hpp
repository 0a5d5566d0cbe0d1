// How the zip readers meet the interpreter: their errors become its
// exceptions, and internal hooks let tests drive them.
#pragma once

#include <nanobind/nanobind.h>

namespace tavix::run_search {

namespace nb = nanobind;

// ZipFormatError -> ValueError; SourceError -> OSError (with its errno, and
// the source as the file name); Cancelled -> concurrent.futures.CancelledError.
// Called once, when the module loads.
void register_error_translators();

// build_search_index, RunSearch and SearchIndexError (run_search_methods.cpp).
void define_run_search(nb::module_ &m);

// _zip_members_for_tests, _inflate_points_for_tests, _read_member_range_for_tests.
void define_inflate_testing_hooks(nb::module_ &m);

}  // namespace tavix::run_search
