#include "log_lines.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace tavix::log_lines {

namespace {

[[noreturn]] void throw_errno() { throw std::system_error(errno, std::generic_category()); }

}  // namespace

namespace {

// Appends the bytes from `from` to `to` (or the end of the file) to `into`, in
// growing blocks, until `enough(first_new_byte)` is true. False on a read error.
template <typename Enough>
bool read_growing(const FileDescriptor &file, int64_t from, int64_t to, size_t block, std::string &into,
                  Enough &&enough) {
    into.clear();
    while (from < to) {
        size_t n = size_t(std::min<int64_t>(to - from, int64_t(block)));
        size_t old = into.size();
        into.resize(old + n);
        int64_t got = file.read_at(into.data() + old, n, from);
        if (got < 0)
            return false;
        into.resize(old + size_t(got));
        if (enough(old) || size_t(got) < n)
            break;
        from += got;
        block = std::min<size_t>(block * 2, Window::MAX_BLOCK);
    }
    return true;
}

}  // namespace

bool read_range(const FileDescriptor &file, int64_t from, int64_t to, std::string &into) {
    return read_growing(file, from, to, size_t(1) << 16, into, [](size_t) { return false; });
}

bool read_lines(const FileDescriptor &file, int64_t from, size_t count, int64_t limit, std::string &into) {
    if (count == 0)
        limit = from;
    return read_growing(file, from, limit, size_t(1) << 12, into, [&](size_t old) {
        const char *p = into.data() + old, *stop = into.data() + into.size();
        while (p < stop) {
            auto nl = lines::find_newline(p, size_t(stop - p));
            if (!nl)
                return count == 0;
            p = nl + 1;
            if (--count == 0) {
                into.resize(size_t(p - into.data()));
                return true;
            }
        }
        return count == 0;
    });
}

std::string_view Window::at(int64_t position, size_t want) {
    if (position >= end_) {
        reaches_end_ = true;
        return {};
    }
    if (filled_ && position >= base_ && position <= base_ + int64_t(length_)) {
        size_t available = size_t(base_ + int64_t(length_) - position);
        bool last = reaches_end_ || base_ + int64_t(length_) >= end_;
        if (available >= want || last) {
            reaches_end_ = last;
            return {buffer_.data() + (position - base_), available};
        }
    }
    size_t n = size_t(std::min<int64_t>(end_ - position, int64_t(std::max(block_, want))));
    block_ = std::min(block_ * 2, largest_);
    if (buffer_.size() < n)
        buffer_.resize(n);
    int64_t got = file_.read_at(buffer_.data(), n, position);
    if (got < 0)
        throw_errno();
    base_ = position;
    length_ = size_t(got);
    filled_ = true;
    reaches_end_ = size_t(got) < n || position + got >= end_;
    return {buffer_.data(), length_};
}

}  // namespace tavix::log_lines
