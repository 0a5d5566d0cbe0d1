// The lines of a section's byte range as the diff needs them: one hash of
// each masked line and where each line starts, never the text itself, so a
// section of hundreds of megabytes costs 16 bytes a line.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "line_reader.hpp"

namespace tavix::line_diff {

// Masking looks at this many bytes of a line; the rest of a longer line
// counts as it stands.
constexpr size_t MASKED_HEAD = size_t(1) << 20;

struct SectionLines {
    std::vector<uint64_t> hashes;  // of each masked line, line end left out
    std::vector<int64_t> starts;   // file offset of each line, then the range's end
    unsigned masked = 0;           // MaskedKind bits met in any line
    size_t size() const { return hashes.size(); }
};

// Reads the lines of [begin, end) of `file` (end INT64_MAX: to the end of the
// file) in blocks of `block` bytes. A line ends at "\n"; "\r\n" is a line end
// too; a last line without one counts. Needs no interpreter; throws
// std::system_error on a read error. Stops between lines, with the lines
// read so far, once `cancel` is set.
SectionLines read_section_lines(const lines::FileDescriptor &file, int64_t begin, int64_t end, size_t block,
                                const std::atomic<bool> *cancel = nullptr);

// The text of line `index` without its line end, at most `cap` bytes of it;
// `cut` tells whether bytes were left out.
std::string line_text(const lines::FileDescriptor &file, const SectionLines &lines, size_t index, size_t cap,
                      bool &cut);

}  // namespace tavix::line_diff
