// The one reader of log lines: every walk over a byte range of a task log
// (scans, searches, pages, line ranges) goes through it. It never touches the
// interpreter, so callers run it with the GIL released.
//
// Layers, each usable alone:
//   FileDescriptor  a read-only descriptor read at positions, so threads can
//                   share one and its offset never matters;
//   BlockReader     the bytes of a range in blocks that end at a line end; a
//                   line longer than a block comes in pieces cut at whole
//                   UTF-8 characters;
//   LineReader      the lines of those blocks with their offsets and numbers,
//                   pulled piece by piece (next) or pushed to a LineSink (feed);
//                   it can also skip to the next line holding a needle,
//                   counting the lines it passes without looking at them.
// Helpers: the newline finder (vectorised; `force_scalar_newlines` makes it
// take its scalar branch, for tests) and the UTF-8 cut.
//
// Line bookkeeping lives here; what a line means (record fields, banners,
// matches) is the sinks' business.
#pragma once

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "positioned_read.hpp"

namespace tavix::lines {

constexpr int64_t TO_FILE_END = std::numeric_limits<int64_t>::max();

// ---------------------------------------------------------------- newlines --

// Tests set it to run the scalar branches of the finders below.
inline bool force_scalar_newlines = false;

namespace detail {

inline bool has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return avx2 && !force_scalar_newlines;
#else
    return false;
#endif
}

inline size_t count_newlines_scalar(const char *p, size_t n) {
    size_t total = 0;
    for (size_t i = 0; i < n; ++i)
        total += p[i] == '\n';
    return total;
}

inline size_t find_counting_scalar(const char *p, size_t i, size_t starts, std::string_view needle,
                                   size_t &newlines) {
    for (; i < starts; ++i) {
        if (p[i] == needle[0] && std::memcmp(p + i, needle.data(), needle.size()) == 0)
            return i;
        newlines += p[i] == '\n';
    }
    return std::string_view::npos;
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2,popcnt"))) inline size_t count_newlines_avx2(const char *p, size_t n) {
    size_t total = 0, i = 0;
    const __m256i nl = _mm256_set1_epi8('\n');
    for (; i + 32 <= n; i += 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
        total += size_t(__builtin_popcount(uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, nl)))));
    }
    return total + count_newlines_scalar(p + i, n - i);
}

// Candidates are the positions where both the needle's first and last bytes
// match; newlines are counted from the same loaded block, so the data is
// passed over once.
__attribute__((target("avx2,popcnt"))) inline size_t find_counting_avx2(const char *p, size_t n,
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

// The first occurrence of `needle` (at least two bytes) in [p, p + n), or
// npos: candidates where both its first and last bytes match, checked whole.
__attribute__((target("avx2,popcnt"))) inline size_t find_avx2(const char *p, size_t n, std::string_view needle) {
    size_t k = needle.size(), starts = n - k + 1, i = 0;
    const __m256i first = _mm256_set1_epi8(needle[0]), last = _mm256_set1_epi8(needle[k - 1]);
    for (; i + 32 <= starts; i += 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i + k - 1));
        auto candidates = uint32_t(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(b, last))));
        while (candidates) {
            unsigned j = unsigned(__builtin_ctz(candidates));
            if (k <= 2 || std::memcmp(p + i + j + 1, needle.data() + 1, k - 2) == 0)
                return i + j;
            candidates &= candidates - 1;
        }
    }
    // Fewer than 32 starts are left: a plain loop costs less than a call.
    for (; i < starts; ++i)
        if (p[i] == needle[0] && p[i + k - 1] == needle[k - 1] && std::memcmp(p + i, needle.data(), k) == 0)
            return i;
    return std::string_view::npos;
}
#endif

}  // namespace detail

// The first occurrence of `needle` (not empty) in [p, p + n), or null.
inline const char *find_bytes(const char *p, size_t n, std::string_view needle) {
    if (needle.empty() || n < needle.size())
        return nullptr;
#if defined(__x86_64__) || defined(__i386__)
    if (needle.size() >= 2 && detail::has_avx2()) {
        size_t at = detail::find_avx2(p, n, needle);
        return at == std::string_view::npos ? nullptr : p + at;
    }
#endif
    return static_cast<const char *>(memmem(p, n, needle.data(), needle.size()));
}

// Number of '\n' bytes in [p, p + n).
inline size_t count_newlines(const char *p, size_t n) {
#if defined(__x86_64__) || defined(__i386__)
    if (detail::has_avx2())
        return detail::count_newlines_avx2(p, n);
#endif
    return detail::count_newlines_scalar(p, n);
}

// The first '\n' in [p, p + n), or null.
inline const char *find_newline(const char *p, size_t n) {
    if (force_scalar_newlines) {
        for (size_t i = 0; i < n; ++i)
            if (p[i] == '\n')
                return p + i;
        return nullptr;
    }
    return static_cast<const char *>(std::memchr(p, '\n', n));
}

// The last '\n' in [p, p + n), or null.
inline const char *find_last_newline(const char *p, size_t n) {
    if (force_scalar_newlines) {
        while (n--)
            if (p[n] == '\n')
                return p + n;
        return nullptr;
    }
    return static_cast<const char *>(memrchr(p, '\n', n));
}

// The first occurrence of `needle` (not empty) that starts in [p, p + n) and
// ends inside it, or npos. Adds to `newlines` the '\n' bytes before it, or,
// when there is none, those among the positions where a match could start
// (all but the last needle.size() - 1 bytes).
inline size_t find_counting(const char *p, size_t n, std::string_view needle, size_t &newlines) {
    if (needle.empty() || n < needle.size())
        return std::string_view::npos;
#if defined(__x86_64__) || defined(__i386__)
    if (detail::has_avx2())
        return detail::find_counting_avx2(p, n, needle, newlines);
#endif
    size_t starts = n - needle.size() + 1;
    if (force_scalar_newlines)
        return detail::find_counting_scalar(p, 0, starts, needle, newlines);
    auto hit = static_cast<const char *>(memmem(p, n, needle.data(), needle.size()));
    size_t found = hit ? size_t(hit - p) : std::string_view::npos;
    newlines += count_newlines(p, hit ? found : starts);
    return found;
}

// -------------------------------------------------------------------- UTF-8 --

// The UTF-8 character at p[0, n) as the interpreter's decoder reads it with
// replacement (the one rule of sequences): the bytes it takes, a well-formed
// sequence or else the longest start of one (at least one byte), which it
// replaces by one U+FFFD. `whole` tells whether they are a well-formed
// sequence; a start cut short by the end of the buffer is not.
inline size_t utf8_sequence(const unsigned char *p, size_t n, bool &whole) {
    unsigned char c = p[0];
    whole = c < 0x80;
    if (c < 0xC2 || c > 0xF4)
        return 1;
    size_t length = c <= 0xDF ? 2 : c <= 0xEF ? 3 : 4;
    unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    size_t i = 1;
    for (; i < length && i < n; ++i, low = 0x80, high = 0xBF)
        if (p[i] < low || p[i] > high)
            break;
    whole = i == length;
    return i;
}

inline size_t utf8_sequence(const unsigned char *p, size_t n) {
    bool whole;
    return utf8_sequence(p, n, whole);
}

// The end of the last whole character in p[0, n): where a piece that does not
// end its line is cut, so that no character is split between pieces (the
// start of one cut short at the end, which the next bytes may complete, is
// left for the next piece). 0 when p[0, n) is the start of one unfinished
// character.
inline size_t whole_characters(const char *p, size_t n) {
    auto bytes = reinterpret_cast<const unsigned char *>(p);
    for (size_t back = 1; back <= 3 && back <= n; ++back) {
        if ((bytes[n - back] & 0xC0) == 0x80)
            continue;
        bool whole;
        size_t length = utf8_sequence(bytes + n - back, back, whole);
        bool started = bytes[n - back] >= 0xC2 && bytes[n - back] <= 0xF4;
        return started && !whole && length == back ? n - back : n;
    }
    return n;
}

// A cut at `pos` of buf[0, size) moved past the well-formed character that
// starts before it and ends after it, when that character is complete in the
// buffer. Both pages on either side of a cut compute the same boundary.
inline size_t character_boundary(const char *buf, size_t size, size_t pos) {
    auto bytes = reinterpret_cast<const unsigned char *>(buf);
    size_t lowest = pos >= 3 ? pos - 3 : 0;
    for (size_t j = pos; j > lowest;) {
        --j;
        if ((bytes[j] & 0xC0) == 0x80)
            continue;
        bool whole;
        size_t length = utf8_sequence(bytes + j, size - j, whole);
        return whole && j + length > pos ? j + length : pos;
    }
    return pos;
}

// ------------------------------------------------------------------- files --

// A read-only file descriptor, closed on every way out. Needs no interpreter.
class FileDescriptor {
public:
    // Opens `path`; on failure ok() is false and error() holds the errno.
    // Non-blocking, so that opening a FIFO cannot stall; reads of regular
    // files ignore the flag.
    explicit FileDescriptor(const char *path) {
        do
            fd_ = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        struct stat info;
        if (::fstat(fd_, &info) != 0) {
            error_ = errno;
            return;
        }
        is_directory_ = S_ISDIR(info.st_mode);
        regular_ = S_ISREG(info.st_mode);
        size_ = int64_t(info.st_size);
    }
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    bool ok() const { return fd_ >= 0 && error_ == 0; }
    int error() const { return error_; }
    bool is_directory() const { return is_directory_; }
    bool is_regular() const { return regular_; }
    // The size when opened.
    int64_t size() const { return size_; }
    // Reads up to `n` bytes at `position`, fewer only at the end of the file:
    // the count, or -1 with errno set.
    int64_t read_at(void *into, size_t n, int64_t position) const {
        return read_fully_at(fd_, into, n, position);
    }
    bool stat(struct stat &info) const { return ::fstat(fd_, &info) == 0; }
    // Tells the kernel the file is read front to back.
    void advise_sequential() const {
#ifdef POSIX_FADV_SEQUENTIAL
        ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    }

private:
    int fd_ = -1;
    int error_ = 0;
    bool is_directory_ = false, regular_ = false;
    int64_t size_ = 0;
};

// -------------------------------------------------------------- the range --

// Which bytes a reader covers: from `begin` (which may lie inside a line
// starting at `line_start`, numbered `line`) up to `end`. With
// `finish_last_line` a line that starts before `end` is read to its own end
// (the end of the file at the latest): the lines a size hint reads, or those
// starting in a range; without it the reading stops at `end` exactly.
struct LineRange {
    int64_t begin = 0;
    int64_t end = TO_FILE_END;
    bool finish_last_line = true;
    int64_t line_start = -1;  // -1: `begin` starts a line
    int64_t line = 0;

    // The lines a size hint of `hint` bytes reads from `begin`, as the
    // interpreter's readlines(hint) reads them: every line that starts at or
    // before begin + hint; all lines to the end when hint <= 0.
    static LineRange size_hint(int64_t begin, int64_t hint) {
        LineRange range;
        range.begin = begin;
        range.end = hint > 0 && hint < TO_FILE_END - begin - 1 ? begin + hint + 1 : TO_FILE_END;
        return range;
    }
    // The lines that start in [begin, end).
    static LineRange starting_in(int64_t begin, int64_t end) {
        LineRange range;
        range.begin = begin;
        range.end = end;
        return range;
    }
};

// What a reader did: engines report these so tests check work, not time.
struct ReadCounters {
    uint64_t blocks_read = 0;  // positioned reads
    uint64_t bytes_read = 0;
};

constexpr size_t DEFAULT_BLOCK = size_t(1) << 18;

// A block of whole lines of the range, or a piece of a line longer than a block.
struct Block {
    std::string_view bytes;
    int64_t position = 0;     // file position of bytes[0]
    bool ends_line = false;   // bytes end with "\n"
    bool last = false;        // the range ends with these bytes
};

class BlockReader {
public:
    BlockReader(const FileDescriptor &file, const LineRange &range, size_t block = DEFAULT_BLOCK)
        : file_(file), block_(std::max<size_t>(block, 1)), end_(range.end),
          finish_(range.finish_last_line), base_(range.begin), read_at_(range.begin) {
        // Short ranges (a failure's cause, a device command) read little: the
        // buffer starts at the range's size (and a little more for its last
        // line) and doubles up to the block size when a line needs it. It
        // always holds one whole character.
        int64_t span = range.end - range.begin;
        size_t first = span <= 0 ? 0 : span >= int64_t(block_) ? block_ : size_t(span) + LAST_LINE_ROOM;
        grow(std::max<size_t>(std::min(first, block_), 4));
        done_ = range.begin >= range.end;
    }

    // The next block; false at the end of the range, or after a read error
    // (error() then holds its errno).
    bool next(Block &out) {
        if (done_)
            return false;
        if (filled_ == size_ && size_ < block_)
            grow(std::min(size_ * 2, block_));
        if (consumed_) {
            std::memmove(buffer_.get(), buffer_.get() + consumed_, filled_ - consumed_);
            base_ += int64_t(consumed_);
            filled_ -= consumed_;
            consumed_ = 0;
        }
        if (base_ >= end_ && at_line_start_) {
            done_ = true;
            return false;
        }
        while (filled_ < size_ && !file_end_ && (finish_ || read_at_ < end_)) {
            size_t want = std::min(size_ - filled_, block_);
            if (!finish_)
                want = size_t(std::min<int64_t>(int64_t(want), end_ - read_at_));
            int64_t got = file_.read_at(buffer_.get() + filled_, want, read_at_);
            ++counters_.blocks_read;
            if (got < 0) {
                error_ = errno;
                done_ = true;
                return false;
            }
            counters_.bytes_read += uint64_t(got);
            filled_ += size_t(got);
            read_at_ += got;
            // The size taken at opening tells the end without one more read.
            if (size_t(got) < want || (file_.is_regular() && read_at_ >= file_.size()))
                file_end_ = true;
        }
        size_t visible = filled_;
        bool last = file_end_ || (!finish_ && read_at_ >= end_);
        if (finish_ && base_ + int64_t(filled_) >= end_) {
            // The line holding byte end - 1 ends the range.
            size_t from = end_ - 1 > base_ ? size_t(end_ - 1 - base_) : 0;
            if (auto nl = find_newline(buffer_.get() + from, filled_ - from)) {
                visible = size_t(nl - buffer_.get()) + 1;
                last = true;
            }
        }
        if (visible == 0) {
            done_ = true;
            return false;
        }
        size_t cut = visible;
        if (!last) {
            if (auto nl = find_last_newline(buffer_.get(), visible)) {
                cut = size_t(nl - buffer_.get()) + 1;
            } else {
                cut = whole_characters(buffer_.get(), visible);
                if (cut == 0)
                    cut = visible;
            }
        }
        out.bytes = std::string_view(buffer_.get(), cut);
        out.position = base_;
        out.ends_line = buffer_[cut - 1] == '\n';
        out.last = last && cut == visible;
        at_line_start_ = out.ends_line;
        consumed_ = cut;
        done_ = out.last;
        return true;
    }

    int error() const { return error_; }
    const ReadCounters &counters() const { return counters_; }

private:
    const FileDescriptor &file_;
    size_t block_;
    int64_t end_;
    bool finish_;
    static constexpr size_t LAST_LINE_ROOM = size_t(1) << 12;

    // A buffer of `size` bytes holding what the current one holds.
    void grow(size_t size) {
        std::unique_ptr<char[]> larger(new char[size]);  // no need to clear it
        if (filled_)
            std::memcpy(larger.get(), buffer_.get(), filled_);
        buffer_ = std::move(larger);
        size_ = size;
    }

    std::unique_ptr<char[]> buffer_;
    size_t size_ = 0;
    size_t filled_ = 0, consumed_ = 0;
    int64_t base_, read_at_;  // file positions of buffer_[0] and of the next read
    bool at_line_start_ = true, file_end_ = false, done_ = false;
    int error_ = 0;
    ReadCounters counters_;
};

// ------------------------------------------------------------------- lines --

// One piece of a line: a whole line when it fits in a block.
struct LinePiece {
    std::string_view text;  // its bytes; the last piece of a line keeps the "\n"
    int64_t offset = 0;     // file position of text[0]
    int64_t line_start = 0; // file position of the line's first byte
    int64_t line = 0;       // the line's number, counted from the range's first line
    bool first = false;     // the line's first piece in the range (offset > line_start
                            // when the range starts inside the line)
    bool last = false;      // the piece ends the line ("\n", the range end or the file end)
};

// What looks at lines. `line` is given every piece in order; returning false
// stops the reading (LineReader::feed returns, and a later feed goes on with
// the next piece).
class LineSink {
public:
    virtual ~LineSink() = default;
    virtual bool line(const LinePiece &piece) = 0;
};

class LineReader {
public:
    LineReader(const FileDescriptor &file, const LineRange &range, size_t block = DEFAULT_BLOCK)
        : blocks_(file, range, block), line_(range.line),
          line_start_(range.line_start >= 0 ? range.line_start : range.begin),
          position_(range.begin) {}

    // The next piece; false at the end of the range or on a read error.
    bool next(LinePiece &piece) {
        if (!available())
            return false;
        const char *p = block_.bytes.data() + used_;
        size_t n = block_.bytes.size() - used_;
        piece.offset = position_;
        piece.line_start = line_start_;
        piece.line = line_;
        piece.first = !inside_line_;
        if (const char *nl = find_newline(p, n)) {
            size_t length = size_t(nl - p) + 1;
            piece.text = std::string_view(p, length);
            piece.last = true;
            advance(length, true);
        } else {
            piece.text = std::string_view(p, n);
            piece.last = block_.last;
            advance(n, false);
            inside_line_ = !piece.last;
        }
        return true;
    }

    // Pushes pieces to `sink` until it returns false (then false) or the
    // range ends (then true; error() tells whether a read failed).
    bool feed(LineSink &sink) {
        LinePiece piece;
        while (next(piece))
            if (!sink.line(piece))
                return false;
        return true;
    }

    // Moves to the start of the line holding the next occurrence of `needle`
    // within at most `budget` bytes, counting the lines passed: true when
    // found (the next piece is that line's first, or the rest of the current
    // line); false when the range ended or the budget was spent (position()
    // tells how far it went). In a line longer than a block, an occurrence
    // may start in one piece and end in the next: then the next piece is the
    // rest of the current line (its first piece is gone; line_start() says
    // where it began).
    bool skip_to(std::string_view needle, size_t budget = SIZE_MAX) {
        while (available()) {
            const char *p = block_.bytes.data() + used_;
            size_t n = block_.bytes.size() - used_;
            if (straddles(needle, p, n))
                return true;
            size_t newlines = 0;
            size_t hit = find_counting(p, n, needle, newlines);
            if (hit != std::string_view::npos) {
                pass(p, hit, newlines);
                if (line_start_ > position_) {
                    used_ += size_t(line_start_ - position_);
                    position_ = line_start_;
                    inside_line_ = false;
                }
                return true;
            }
            size_t starts = n >= needle.size() ? n - needle.size() + 1 : 0;
            newlines += count_newlines(p + starts, n - starts);
            pass(p, n, newlines);
            keep_tail(needle, p, n);
            used_ += n;
            position_ += int64_t(n);
            inside_line_ = position_ != line_start_;
            if (budget <= n)
                return false;
            budget -= n;
        }
        return false;
    }

    // Where the next piece starts, the number of its line and that line's start.
    int64_t position() const { return position_; }
    int64_t line() const { return line_; }
    int64_t line_start() const { return line_start_; }
    // Whether pieces remain (reads the next block when needed).
    bool more() { return available(); }
    int error() const { return blocks_.error(); }
    const ReadCounters &counters() const { return blocks_.counters(); }

private:
    bool available() {
        while (!have_ || used_ >= block_.bytes.size()) {
            if (!blocks_.next(block_)) {
                have_ = false;
                return false;
            }
            have_ = true;
            used_ = 0;
            position_ = block_.position;
        }
        return true;
    }

    void advance(size_t length, bool ended_line) {
        used_ += length;
        position_ += int64_t(length);
        inside_line_ = !ended_line;
        if (ended_line) {
            ++line_;
            line_start_ = position_;
        }
    }

    // Counts the `newlines` line ends in [p, p + n) of the current block.
    void pass(const char *p, size_t n, size_t newlines) {
        if (newlines) {
            line_ += int64_t(newlines);
            const char *last = find_last_newline(p, n);
            line_start_ = block_.position + (last - block_.bytes.data()) + 1;
        }
    }

    // Whether the needle starts in the tail kept from the previous piece of
    // the current line and ends in p[0, n).
    bool straddles(std::string_view needle, const char *p, size_t n) {
        if (tail_.empty() || tail_at_ != position_ || !inside_line_)
            return false;
        std::string joined = tail_;
        joined.append(p, std::min(n, needle.size() - 1));
        if (joined.find(needle) == std::string::npos)
            return false;
        tail_.clear();
        return true;
    }

    // Keeps the last bytes of p[0, n) that could start an occurrence ending
    // in the next block: only when the block ends inside a line.
    void keep_tail(std::string_view needle, const char *p, size_t n) {
        if (block_.ends_line || block_.last || needle.size() < 2 || used_ + n != block_.bytes.size()) {
            tail_.clear();
            return;
        }
        const char *nl = find_last_newline(p, n);
        const char *from = nl ? nl + 1 : p;
        if (nl || !inside_line_ || tail_at_ != position_)
            tail_.clear();
        tail_.append(from, size_t(p + n - from));
        if (tail_.size() > needle.size() - 1)
            tail_.erase(0, tail_.size() - (needle.size() - 1));
        tail_at_ = position_ + int64_t(n);
    }

    BlockReader blocks_;
    Block block_;
    std::string tail_;  // see keep_tail
    int64_t tail_at_ = -1;
    bool have_ = false;
    bool inside_line_ = false;  // pieces of the current line were handed out
    size_t used_ = 0;
    int64_t line_, line_start_, position_;
};

}  // namespace tavix::lines
