// Reads of the texts of device commands kept as ranges of a task log: a
// window over the file that serves ranges asked for front to back from large
// blocks, and reads of a byte range or of a number of lines at a position.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "line_reader.hpp"

namespace tavix::log_lines {

using lines::FileDescriptor;

// Bytes [from, to) of `file` (clipped at the end of the file), or false with errno set.
bool read_range(const FileDescriptor &file, int64_t from, int64_t to, std::string &into);
// Bytes from `from` up to and including the `count`-th '\n' (or the end of
// the file, or `limit`); false with errno set.
bool read_lines(const FileDescriptor &file, int64_t from, size_t count, int64_t limit, std::string &into);

// A window of the file between `begin` and `end` (end may be INT64_MAX: the
// end of the file). Reads grow geometrically up to a fixed cap, so short
// sections read little and long ones stream in large blocks.
class Window {
public:
    // `largest_block` caps the reads (tests make it tiny so that lines span
    // many blocks).
    Window(const FileDescriptor &file, int64_t end, size_t largest_block = MAX_BLOCK)
        : file_(file), end_(end), largest_(largest_block ? largest_block : 1),
          block_(std::min(size_t(1) << 14, largest_)) {}

    // The bytes buffered from `position` on. Refills (reading from `position`)
    // when fewer than `want` bytes are buffered and more exist. An empty view
    // means the end. Throws std::system_error on a read error.
    std::string_view at(int64_t position, size_t want = 1);
    // The buffered bytes [from, to), if all of them are buffered; no reading.
    bool buffered(int64_t from, int64_t to, std::string_view &view) const {
        if (!filled_ || from < base_ || to > base_ + int64_t(length_) || from > to)
            return false;
        view = std::string_view(buffer_.data() + (from - base_), size_t(to - from));
        return true;
    }
    // The bytes buffered from `position` on (empty when none are); no reading.
    std::string_view held(int64_t position) const {
        if (!filled_ || position < base_ || position >= base_ + int64_t(length_))
            return {};
        return {buffer_.data() + (position - base_), size_t(base_ + int64_t(length_) - position)};
    }
    // Whether the view last returned reaches the end of the window.
    bool at_end() const { return reaches_end_; }
    int64_t end() const { return end_; }

    static constexpr size_t MAX_BLOCK = size_t(1) << 18;

private:
    const FileDescriptor &file_;
    int64_t end_;
    std::vector<char> buffer_;
    int64_t base_ = 0;
    size_t length_ = 0;
    size_t largest_;
    size_t block_;
    bool reaches_end_ = false;
    bool filled_ = false;
};

}  // namespace tavix::log_lines
