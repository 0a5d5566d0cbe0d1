// The fields of one task-log record line, read without the interpreter, and a
// reader of the lines that start inside a byte range of a log.
//
// A record line is "seq: host: stamp: %APP-SEV-NAME: tags message"; it is one
// of the execution host's when the host occurs in it (as for the execution
// scan). Lines are judged stripped of white space at both ends; a line longer
// than LINE_HEAD bytes is judged by its first LINE_HEAD bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "log_lines.hpp"

namespace tavix::record_line {

constexpr size_t LINE_HEAD = size_t(1) << 16;
constexpr int NO_SEVERITY = -1;

struct RecordFields {
    int severity = NO_SEVERITY;  // capped at 1000
    std::string_view stamp;      // the time stamp field
    std::string_view message;    // the text after the tags field
};

// Reads the fields of `line` (without its "\n"); false when it is not a
// record line with a severity ("%...-<digits>-..." as its fourth field).
// The host is not tested here: see `mentions_host`.
bool read_fields(std::string_view line, RecordFields &fields);

// Whether `host` occurs in `line` stripped; always true when `host` is empty.
bool mentions_host(std::string_view line, std::string_view host);

// Lines starting in [begin, end) of a log file (end INT64_MAX: to the end of
// the file), read in blocks of at most `block` bytes. The last line may run
// past `end`; it is read to its own end.
class RangeLines {
public:
    RangeLines(const log_lines::LogFile &file, int64_t begin, int64_t end, size_t block);
    // The next line without its "\n" (at most LINE_HEAD bytes of it) and the
    // offset of its first byte; false after the last line. Throws
    // std::system_error on a read error.
    bool next(std::string_view &line, int64_t &offset);

private:
    bool fill();  // reads more after what is buffered; false at the end of the file
    void skip_rest_of_line();

    const log_lines::LogFile &file_;
    int64_t position_, end_;
    size_t block_;
    std::vector<char> buffer_;
    std::string head_;           // the judged part of a line longer than LINE_HEAD
    int64_t buffer_at_;          // file offset of buffer_[0]
    size_t used_ = 0, length_ = 0;
    bool eof_ = false;
};

}  // namespace tavix::record_line
