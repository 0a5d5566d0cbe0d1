// Failure causes: the line that explains why a section or step failed, and
// the signature that groups failures with the same cause.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "line_reader.hpp"

namespace tavix::failures {

// The cause line of a byte range: the first record line of the host with a
// severity of 3 or less, else the last one with severity 4.
struct Cause {
    bool found = false;
    int severity = 0;
    int64_t offset = 0;   // of the line's first byte in the file
    std::string message;  // the text after the tags field, as bytes
};

// The longest cause message kept, in bytes.
constexpr size_t MESSAGE_KEPT = size_t(1) << 16;

// Lines starting in [begin, end); end INT64_MAX: to the end of the file.
Cause find_cause(const lines::FileDescriptor &file, int64_t begin, int64_t end, std::string_view host,
                 size_t block);

// The message with its variable parts replaced by placeholders and its runs
// of white space collapsed to one blank (UTF-8 in, UTF-8 out).
std::string signature(std::string_view message);

}  // namespace tavix::failures
