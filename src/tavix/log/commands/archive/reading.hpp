// Native readers of extracted task logs: pages addressed by byte offsets and
// line ranges of a section, both streamed straight from the file.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

#include "path_guard.hpp"

namespace tavix::archive {

namespace nb = nanobind;

// One page of a section: the bytes from log_start + offset, at most `limit`
// of them and never past the section end, decoded as UTF-8 with replacement
// characters. A multi-byte character belongs to the page holding its first
// byte, so consecutive pages neither split nor repeat it. None when `offset`
// lies at or past the section end; log_size <= 0 means the whole file.
nb::object read_page(const std::string &path, int64_t log_start, int64_t log_size, int64_t offset,
                     int64_t limit);

// Lines of a section starting at byte log_start, read while the running byte
// total stays within log_size (the line that crosses it included; log_size
// <= 0 reads to the end of the file), then sliced [start_line:end_line] with
// the interpreter's slice rules. Only the lines of the slice are decoded, and
// only one block of the file is held while the lines before it are passed.
nb::list read_line_range(const std::string &path, nb::handle start_line, nb::handle end_line,
                         int64_t log_start, int64_t log_size);

// The same lines, of which at most `limit` bytes are read: (lines, truncated).
// The line that crosses the limit is cut there, and `truncated` tells that
// text of the slice was left out. The file is read without the interpreter
// lock, one bounded chunk at a time, so a request never holds more than about
// `limit` bytes of it whatever the lines' lengths.
nb::tuple read_line_range_capped(const std::string &path, int64_t limit, nb::handle start_line,
                                 nb::handle end_line, int64_t log_start, int64_t log_size);

}  // namespace tavix::archive
