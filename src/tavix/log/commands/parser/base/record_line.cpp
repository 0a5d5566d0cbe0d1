#include "record_line.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace tavix::record_line {

namespace {

using log_lines::space_at;
using log_lines::space_before;

std::string_view stripped(std::string_view line) {
    auto p = reinterpret_cast<const unsigned char *>(line.data());
    size_t begin = 0, end = line.size();
    while (begin < end)
        if (size_t width = space_at(p + begin, end - begin))
            begin += width;
        else
            break;
    while (end > begin)
        if (size_t width = space_before(p + begin, end - begin))
            end -= width;
        else
            break;
    return line.substr(begin, end - begin);
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// The first "-<digits>-" after the leading "%" of the application/severity field.
int severity_of(std::string_view field) {
    for (size_t dash = 1; dash < field.size(); ++dash) {
        if (field[dash] != '-')
            continue;
        size_t end = dash + 1;
        int value = 0;
        while (end < field.size() && digit(field[end])) {
            value = std::min(value * 10 + (field[end] - '0'), 1000);
            ++end;
        }
        if (end > dash + 1 && end < field.size() && field[end] == '-')
            return value;
    }
    return NO_SEVERITY;
}

[[noreturn]] void throw_errno() { throw std::system_error(errno, std::generic_category()); }

}  // namespace

bool read_fields(std::string_view line, RecordFields &fields) {
    std::string_view text = stripped(line);
    size_t separator[4], from = 0;
    for (size_t &at : separator) {
        at = text.find(": ", from);
        if (at == std::string_view::npos)
            return false;
        from = at + 2;
    }
    std::string_view field = text.substr(separator[2] + 2, separator[3] - separator[2] - 2);
    if (field.empty() || field[0] != '%')
        return false;
    int severity = severity_of(field);
    if (severity == NO_SEVERITY)
        return false;
    fields.severity = severity;
    fields.stamp = text.substr(separator[1] + 2, separator[2] - separator[1] - 2);
    std::string_view rest = text.substr(separator[3] + 2);
    fields.message = rest;
    if (rest.substr(0, 2) == "%[") {
        if (size_t tags_end = rest.find("]: "); tags_end != std::string_view::npos)
            fields.message = rest.substr(tags_end + 3);
        else if (rest.size() >= 2 && rest.substr(rest.size() - 2) == "]:")
            fields.message = rest.substr(rest.size());  // tags, then an empty message
    }
    return true;
}

bool mentions_host(std::string_view line, std::string_view host) {
    return host.empty() || stripped(line).find(host) != std::string_view::npos;
}

RangeLines::RangeLines(const log_lines::LogFile &file, int64_t begin, int64_t end, size_t block)
    : file_(file), position_(begin), end_(end), block_(std::max<size_t>(block, 1)),
      buffer_at_(begin) {}

bool RangeLines::fill() {
    if (eof_)
        return false;
    if (used_) {
        std::memmove(buffer_.data(), buffer_.data() + used_, length_ - used_);
        buffer_at_ += int64_t(used_);
        length_ -= used_;
        used_ = 0;
    }
    buffer_.resize(length_ + block_);
    int64_t got = file_.read_at(buffer_.data() + length_, block_, buffer_at_ + int64_t(length_));
    if (got < 0)
        throw_errno();
    length_ += size_t(got);
    eof_ = size_t(got) < block_;
    return got > 0;
}

void RangeLines::skip_rest_of_line() {
    for (;;) {
        if (auto nl = static_cast<const char *>(std::memchr(buffer_.data() + used_, '\n', length_ - used_))) {
            size_t after = size_t(nl - buffer_.data()) + 1;
            position_ = buffer_at_ + int64_t(after);
            used_ = after;
            return;
        }
        used_ = length_;
        position_ = buffer_at_ + int64_t(length_);
        if (!fill())
            return;
    }
}

bool RangeLines::next(std::string_view &line, int64_t &offset) {
    if (position_ >= end_)
        return false;
    size_t searched = used_;
    for (;;) {
        const char *start = buffer_.data() + used_;
        if (auto nl = static_cast<const char *>(
                std::memchr(buffer_.data() + searched, '\n', length_ - searched))) {
            size_t n = size_t(nl - start);
            line = std::string_view(start, std::min(n, LINE_HEAD));
            offset = position_;
            position_ += int64_t(n) + 1;
            used_ += n + 1;
            return true;
        }
        size_t available = length_ - used_;
        if (available > LINE_HEAD) {
            head_.assign(start, LINE_HEAD);
            line = head_;
            offset = position_;
            skip_rest_of_line();
            return true;
        }
        if (eof_) {
            if (!available)
                return false;
            line = std::string_view(start, available);
            offset = position_;
            position_ += int64_t(available);
            used_ = length_;
            return true;
        }
        size_t kept = length_ - used_;
        fill();
        searched = used_ + kept;
    }
}

}  // namespace tavix::record_line
