// The lines of a section's byte range as the diff needs them: one hash of
// each masked line and where each line starts, never the text itself, so a
// section of hundreds of megabytes costs 16 bytes a line.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "line_reader.hpp"

namespace tavix::line_diff {

// Masking looks at this many bytes of a line; the rest of a longer line
// counts as it stands.
constexpr size_t MASKED_HEAD = size_t(1) << 20;

// Some consecutive lines of a section: all of them, or a window of them.
struct SectionLines {
    std::vector<uint64_t> hashes;  // of each masked line, line end left out
    std::vector<int64_t> starts;   // file offset of each line, then where the next one starts
    unsigned masked = 0;           // MaskedKind bits met in any line
    size_t first = 0;              // the section's index of the first line held
    bool complete = true;          // false: the range goes on past the lines held
    size_t size() const { return hashes.size(); }
};

// A hash and start a line, one line at a time, in O(1) memory: how sections
// too large to hold are compared.
class LineStream {
public:
    LineStream(const lines::FileDescriptor &file, int64_t begin, int64_t end, size_t block, unsigned &masked);
    ~LineStream();
    LineStream(const LineStream &) = delete;
    LineStream &operator=(const LineStream &) = delete;

    // The next line; false at the range's end. Throws std::system_error on a read error.
    bool next(uint64_t &hash, int64_t &start);
    // Where the line after the last one given starts.
    int64_t position() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Reads the lines of [begin, end) of `file` (end INT64_MAX: to the end of the
// file) in blocks of `block` bytes. A line ends at "\n"; "\r\n" is a line end
// too; a last line without one counts. Needs no interpreter; throws
// std::system_error on a read error. Stops between lines, with the lines
// read so far, once `cancel` is set or `max_lines` are held (then not
// `complete`); room for `expected` lines is made at once.
SectionLines read_section_lines(const lines::FileDescriptor &file, int64_t begin, int64_t end, size_t block,
                                const std::atomic<bool> *cancel = nullptr, size_t max_lines = SIZE_MAX,
                                size_t expected = 0);

// Where the line `count` lines after the one at `begin` starts (or `end`),
// without hashing them.
int64_t skip_lines(const lines::FileDescriptor &file, int64_t begin, int64_t end, size_t block, size_t count);

// The text of line `index` (the section's, within the lines held) without its line end, at most `cap` bytes of it;
// `cut` tells whether bytes were left out.
std::string line_text(const lines::FileDescriptor &file, const SectionLines &lines, size_t index, size_t cap,
                      bool &cut);

}  // namespace tavix::line_diff
