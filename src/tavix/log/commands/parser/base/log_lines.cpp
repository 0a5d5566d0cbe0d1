#include "log_lines.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <positioned_read.hpp>

namespace tavix::log_lines {

namespace {

bool ascii_space(unsigned char c) { return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20); }

// Three-byte encodings of U+1680, U+2000..U+200A, U+2028, U+2029, U+202F,
// U+205F and U+3000.
bool space3(unsigned char a, unsigned char b, unsigned char c) {
    switch (a) {
    case 0xE1:
        return b == 0x9A && c == 0x80;
    case 0xE2:
        if (b == 0x80)
            return (c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF;
        return b == 0x81 && c == 0x9F;
    case 0xE3:
        return b == 0x80 && c == 0x80;
    default:
        return false;
    }
}

// Where a piece that does not end the line must stop so that it does not
// split a UTF-8 character.
size_t whole_characters(std::string_view view) {
    size_t n = view.size();
    for (size_t back = 1; back <= 3 && back <= n; ++back) {
        auto c = static_cast<unsigned char>(view[n - back]);
        if (c < 0x80)
            break;
        if (c >= 0xC0) {
            size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            return need > back ? n - back : n;
        }
    }
    return n;
}

[[noreturn]] void throw_errno() { throw std::system_error(errno, std::generic_category()); }

}  // namespace

size_t space_at(const unsigned char *p, size_t n) {
    if (n == 0)
        return 0;
    if (ascii_space(p[0]))
        return 1;
    if (p[0] == 0xC2 && n >= 2 && (p[1] == 0x85 || p[1] == 0xA0))
        return 2;
    if (n >= 3 && space3(p[0], p[1], p[2]))
        return 3;
    return 0;
}

size_t space_before(const unsigned char *p, size_t n) {
    if (n == 0)
        return 0;
    unsigned char last = p[n - 1];
    if (ascii_space(last))
        return 1;
    if (n >= 2 && p[n - 2] == 0xC2 && (last == 0x85 || last == 0xA0))
        return 2;
    if (n >= 3 && space3(p[n - 3], p[n - 2], last))
        return 3;
    return 0;
}

size_t count_newlines(const char *p, size_t n) {
    size_t total = 0;
    for (size_t i = 0; i < n; ++i)
        total += p[i] == '\n';
    return total;
}

namespace {

#if defined(__x86_64__) || defined(__i386__)
// The finder's tail: positions [i, starts) one by one.
size_t find_counting_scalar(const char *p, size_t i, size_t starts, std::string_view needle,
                            size_t &newlines) {
    for (; i < starts; ++i) {
        if (p[i] == needle[0] && std::memcmp(p + i, needle.data(), needle.size()) == 0)
            return i;
        newlines += p[i] == '\n';
    }
    return std::string_view::npos;
}

// Candidates are the positions where both the needle's first and last bytes
// match; newlines are counted from the same loaded block, so the data is
// passed over once.
__attribute__((target("avx2,popcnt"))) size_t find_counting_avx2(const char *p, size_t n,
                                                                   std::string_view needle,
                                                                   size_t &newlines) {
    size_t k = needle.size(), starts = n - k + 1, i = 0;
    const __m256i first = _mm256_set1_epi8(needle[0]), last = _mm256_set1_epi8(needle[k - 1]),
                  nl = _mm256_set1_epi8('\n');
    for (; i + 32 <= starts; i += 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i + k - 1));
        auto lines = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, nl)));
        auto candidates = uint32_t(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(b, last))));
        while (candidates) {
            unsigned j = unsigned(__builtin_ctz(candidates));
            if (k <= 2 || std::memcmp(p + i + j + 1, needle.data() + 1, k - 2) == 0) {
                newlines += size_t(__builtin_popcount(lines & ((1u << j) - 1)));
                return i + j;
            }
            candidates &= candidates - 1;
        }
        newlines += size_t(__builtin_popcount(lines));
    }
    return find_counting_scalar(p, i, starts, needle, newlines);
}

#endif

}  // namespace

size_t find_counting(const char *p, size_t n, std::string_view needle, size_t &newlines) {
    if (needle.empty() || n < needle.size())
        return std::string_view::npos;
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    if (avx2)
        return find_counting_avx2(p, n, needle, newlines);
#endif
    // Elsewhere: the library's search, then the count over what it passed.
    size_t starts = n - needle.size() + 1;
    auto hit = static_cast<const char *>(memmem(p, n, needle.data(), needle.size()));
    size_t found = hit ? size_t(hit - p) : std::string_view::npos;
    newlines += count_newlines(p, hit ? found : starts);
    return found;
}

LogFile::LogFile(const char *path) {
    do
        fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
    while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0)
        return;
    struct stat info;
    if (::fstat(fd_, &info) == 0 && S_ISDIR(info.st_mode)) {
        is_directory_ = true;
        return;
    }
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

LogFile::~LogFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

int64_t LogFile::read_at(char *into, size_t n, int64_t position) const {
    return read_fully_at(fd_, into, n, position);
}

namespace {

// Appends the bytes from `from` to `to` (or the end of the file) to `into`, in
// growing blocks, until `enough(first_new_byte)` is true. False on a read error.
template <typename Enough>
bool read_growing(const LogFile &file, int64_t from, int64_t to, size_t block, std::string &into,
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

bool LogFile::read_range(int64_t from, int64_t to, std::string &into) const {
    return read_growing(*this, from, to, size_t(1) << 16, into, [](size_t) { return false; });
}

bool LogFile::read_lines(int64_t from, size_t lines, int64_t limit, std::string &into) const {
    if (lines == 0)
        limit = from;
    return read_growing(*this, from, limit, size_t(1) << 12, into, [&](size_t old) {
        const char *p = into.data() + old, *stop = into.data() + into.size();
        while (p < stop) {
            auto nl = static_cast<const char *>(std::memchr(p, '\n', size_t(stop - p)));
            if (!nl)
                return lines == 0;
            p = nl + 1;
            if (--lines == 0) {
                into.resize(size_t(p - into.data()));
                return true;
            }
        }
        return lines == 0;
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

int64_t end_of_line_at(const LogFile &file, int64_t limit) {
    std::vector<char> buffer;
    size_t block = 1 << 12;
    int64_t position = limit;
    for (;;) {
        buffer.resize(block);
        int64_t got = file.read_at(buffer.data(), block, position);
        if (got < 0)
            throw_errno();
        if (auto nl = static_cast<const char *>(std::memchr(buffer.data(), '\n', size_t(got))))
            return position + (nl - buffer.data()) + 1;
        position += got;
        if (size_t(got) < block)
            return position;
        block = std::min<size_t>(block * 2, Window::MAX_BLOCK);
    }
}

bool LineInfo::has_record_prefix(size_t host_length) const {
    if (blank() || host == NO_POSITION || host + int64_t(host_length) > stripped_end)
        return false;
    int inside = separators;
    if (separators < 5 && last_separator != NO_POSITION && !separator_inside(last_separator))
        --inside;
    return inside >= 4;
}

int64_t LineInfo::message_after_tags() const {
    return bracket != NO_POSITION && bracket + 3 <= stripped_end ? bracket : NO_POSITION;
}

bool LineInfo::time_range(int64_t &from, int64_t &to) const {
    if (blank() || !separator_inside(separator[1]))
        return false;
    int64_t field_end = separator_inside(separator[2]) ? separator[2] : stripped_end;
    if (ts == 0 || t[0] >= field_end)
        return false;
    from = t[0] + 1;
    to = ts == 2 && t[1] < field_end ? t[1] : field_end;
    return true;
}

namespace {

// The first "X " in [p, p + n) (X being `first`), or null: a byte search for
// X, which the library does far faster than a search for the pair.
const char *find_pair(const char *p, size_t n, char first) {
    const char *end = p + n;
    while (p + 1 < end) {
        auto hit = static_cast<const char *>(std::memchr(p, first, size_t(end - p - 1)));
        if (!hit)
            return nullptr;
        if (hit[1] == ' ')
            return hit;
        p = hit + 1;
    }
    return nullptr;
}

}  // namespace

void LineAnalyser::find_separators(std::string_view text, int64_t position) {
    size_t at = 0;
    while (info_.separators < 5) {
        auto hit = find_pair(text.data() + at, text.size() - at, ':');
        if (!hit)
            return;
        int64_t found = position + (hit - text.data());
        if (info_.separators < 3)
            info_.separator[info_.separators] = found;
        ++info_.separators;
        info_.last_separator = found;
        at = size_t(hit - text.data()) + 2;
    }
}

void LineAnalyser::find_ts(std::string_view text, int64_t position) {
    if (info_.separators < 2 || info_.ts >= 2)
        return;
    int64_t from = std::max(position, info_.separator[1] + 2);
    while (info_.ts < 2 && from < position + int64_t(text.size())) {
        size_t offset = size_t(from - position);
        auto hit = static_cast<const char *>(
            std::memchr(text.data() + offset, 'T', text.size() - offset));
        if (!hit)
            return;
        info_.t[info_.ts++] = position + (hit - text.data());
        from = position + (hit - text.data()) + 1;
    }
}

void LineAnalyser::feed(std::string_view piece, int64_t position) {
    auto p = reinterpret_cast<const unsigned char *>(piece.data());
    size_t n = piece.size();
    int64_t piece_end = position + int64_t(n);

    if (info_.blank()) {
        size_t skip = 0;
        while (skip < n) {
            size_t width = space_at(p + skip, n - skip);
            if (!width)
                break;
            skip += width;
        }
        if (skip < n)
            info_.stripped_begin = position + int64_t(skip);
    }
    size_t keep = n;
    while (keep) {
        size_t width = space_before(p, keep);
        if (!width)
            break;
        keep -= width;
    }
    if (keep)
        info_.stripped_end = position + int64_t(keep);

    // Matches that start in the previous pieces and end in this one.
    if (!carry_.empty()) {
        // A match that starts in the carried bytes ends at most `reach_`
        // bytes into this piece, however few bytes were carried.
        std::string joint = carry_;
        joint.append(piece.data(), std::min(n, reach_));
        size_t carried = carry_.size();
        // First match of `needle` that starts in the carried bytes at or after
        // `from` and runs into this piece.
        auto across = [&](std::string_view needle, size_t from = 0) -> int64_t {
            size_t first = carried >= needle.size() - 1 ? carried - (needle.size() - 1) : 0;
            auto at = std::string_view(joint).find(needle, std::max(first, from));
            return at != std::string_view::npos && at < carried ? carry_at_ + int64_t(at)
                                                                 : NO_POSITION;
        };
        if (info_.separators < 5)
            if (int64_t at = across(": "); at != NO_POSITION) {
                if (info_.separators < 3)
                    info_.separator[info_.separators] = at;
                ++info_.separators;
                info_.last_separator = at;
            }
        if (info_.bracket == NO_POSITION)
            info_.bracket = across("]: ");
        if (!info_.has_plus3)
            info_.has_plus3 = across("+++") != NO_POSITION;
        if (info_.host == NO_POSITION && !info_.blank() && !host_.empty()) {
            size_t from = info_.stripped_begin > carry_at_ ? size_t(info_.stripped_begin - carry_at_) : 0;
            info_.host = across(host_, from);
        }
    }

    find_separators(piece, position);
    find_ts(piece, position);
    if (info_.bracket == NO_POSITION)
        for (const char *from = piece.data(), *end = from + n; from < end;) {
            auto hit = static_cast<const char *>(std::memchr(from, ']', size_t(end - from)));
            if (!hit || end - hit < 3)
                break;
            if (hit[1] == ':' && hit[2] == ' ') {
                info_.bracket = position + (hit - piece.data());
                break;
            }
            from = hit + 1;
        }
    if (!info_.has_plus3)
        info_.has_plus3 = memmem(piece.data(), n, "+++", 3) != nullptr;
    if (info_.host == NO_POSITION && !info_.blank() && info_.stripped_begin < piece_end) {
        size_t from = info_.stripped_begin > position ? size_t(info_.stripped_begin - position) : 0;
        if (host_.empty())
            info_.host = position + int64_t(from);
        else if (auto hit = memmem(piece.data() + from, n - from, host_.data(), host_.size()))
            info_.host = position + (static_cast<const char *>(hit) - piece.data());
    }
    if (info_.head.size() < LineInfo::HEAD && !info_.blank() && info_.stripped_begin < piece_end) {
        size_t from = info_.stripped_begin > position ? size_t(info_.stripped_begin - position) : 0;
        info_.head.append(piece.data() + from,
                          std::min(n - from, LineInfo::HEAD - info_.head.size()));
    }

    // Keep enough of the end for a match of the longest needle across pieces.
    if (n >= reach_) {
        carry_.assign(piece.data() + n - reach_, reach_);
    } else {
        carry_.append(piece.data(), n);
        if (carry_.size() > reach_)
            carry_.erase(0, carry_.size() - reach_);
    }
    carry_at_ = piece_end - int64_t(carry_.size());
}

LineInfo analyse_line(Window &window, int64_t start, std::string_view host) {
    LineInfo info;
    info.start = start;
    LineAnalyser analyser(info, host);
    int64_t position = start;
    for (;;) {
        std::string_view view = window.at(position, 4);
        if (view.empty())
            break;
        if (auto nl = static_cast<const char *>(std::memchr(view.data(), '\n', view.size()))) {
            size_t n = size_t(nl - view.data()) + 1;
            analyser.feed(view.substr(0, n), position);
            position += int64_t(n);
            info.ends_with_newline = true;
            break;
        }
        bool last = window.at_end();
        size_t n = last ? view.size() : whole_characters(view);
        analyser.feed(view.substr(0, n), position);
        position += int64_t(n);
        if (last)
            break;
    }
    info.end = position;
    return info;
}

}  // namespace tavix::log_lines
