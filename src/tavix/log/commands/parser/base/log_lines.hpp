// Streaming access to the lines of a task log section, without the
// interpreter: a bounded read window over the file and a line analyser that
// works piece by piece, so that neither a long section nor a very long line is
// ever held in memory as a whole.
//
// Positions are byte offsets into the file. Text is UTF-8; whitespace is the
// interpreter's notion of it (str.strip), including the multi-byte spaces.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavix::log_lines {

constexpr int64_t NO_POSITION = -1;

// Length in bytes of the whitespace character that starts at `p`, or 0.
size_t space_at(const unsigned char *p, size_t n);
// Length in bytes of the whitespace character that ends at `p + n`, or 0.
size_t space_before(const unsigned char *p, size_t n);

// Number of '\n' bytes in [p, p + n).
size_t count_newlines(const char *p, size_t n);

// The first occurrence of `needle` (not empty) that starts in [p, p + n) and
// ends inside it, or npos. Adds to `newlines` the '\n' bytes before it, or,
// when there is none, those among the positions where a match could start
// (all but the last needle.size() - 1 bytes).
size_t find_counting(const char *p, size_t n, std::string_view needle, size_t &newlines);

// A read-only file descriptor, closed on every way out.
class LogFile {
public:
    // Opens `path` for reading; on failure errno is left set and ok() is false.
    explicit LogFile(const char *path);
    ~LogFile();
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    bool ok() const { return fd_ >= 0; }
    bool is_directory() const { return is_directory_; }
    // Reads up to `n` bytes at `position`, fewer only at the end of the file.
    // Returns the count, or -1 with errno set.
    int64_t read_at(char *into, size_t n, int64_t position) const;
    // Bytes [from, to) (clipped at the end of the file), or false with errno set.
    bool read_range(int64_t from, int64_t to, std::string &into) const;
    // Bytes from `from` up to and including the `lines`-th '\n' (or the end of
    // the file, or `limit`).
    bool read_lines(int64_t from, size_t lines, int64_t limit, std::string &into) const;

private:
    int fd_ = -1;
    bool is_directory_ = false;
};

// A window of the file between `begin` and `end` (end may be INT64_MAX: the
// end of the file). Reads grow geometrically up to a fixed cap, so short
// sections read little and long ones stream in large blocks.
class Window {
public:
    // `largest_block` caps the reads (tests make it tiny so that lines span
    // many blocks).
    Window(const LogFile &file, int64_t end, size_t largest_block = MAX_BLOCK)
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
    const LogFile &file_;
    int64_t end_;
    std::vector<char> buffer_;
    int64_t base_ = 0;
    size_t length_ = 0;
    size_t largest_;
    size_t block_;
    bool reaches_end_ = false;
    bool filled_ = false;
};

// Position one past the line that holds byte `limit` (the first '\n' at or
// after it), or the end of the file: the end of the lines that a size hint
// reaching `limit` reads.
int64_t end_of_line_at(const LogFile &file, int64_t limit);

// What the scan needs to know of one line, gathered piece by piece.
struct LineInfo {
    int64_t start = 0;                 // first byte of the line
    int64_t end = 0;                   // one past its last byte ("\n" included)
    bool ends_with_newline = false;
    int64_t stripped_begin = NO_POSITION;  // stripped text: [stripped_begin, stripped_end)
    int64_t stripped_end = NO_POSITION;
    bool has_plus3 = false;            // "+++" occurs
    int separators = 0;                // ": " occurrences, counted up to 5
    int64_t separator[3] = {NO_POSITION, NO_POSITION, NO_POSITION};
    int64_t last_separator = NO_POSITION;
    int64_t bracket = NO_POSITION;     // first "]: "
    int64_t host = NO_POSITION;        // first host occurrence inside the stripped text
    int ts = 0;                        // 'T' bytes after the second separator (up to 2)
    int64_t t[2] = {NO_POSITION, NO_POSITION};
    std::string head;                  // first bytes of the stripped text

    static constexpr size_t HEAD = 64;

    bool blank() const { return stripped_begin == NO_POSITION; }
    // Whether `separator` occurrence `i` lies inside the stripped text.
    bool separator_inside(int64_t at) const { return at != NO_POSITION && at + 2 <= stripped_end; }
    // Record-line test: the host occurs and there are more than four fields.
    bool has_record_prefix(size_t host_length) const;
    // "]: " inside the stripped text, or NO_POSITION.
    int64_t message_after_tags() const;
    // Byte range of the time part of the time stamp, or false (no such part).
    bool time_range(int64_t &from, int64_t &to) const;
};

// Gathers a LineInfo from consecutive pieces of one line.
class LineAnalyser {
public:
    LineAnalyser(LineInfo &info, std::string_view host)
        : info_(info), host_(host), reach_(std::max<size_t>(3, host.size()) - 1) {}
    // `piece` starts at byte `position` and never splits a UTF-8 character
    // (except where the line ends).
    void feed(std::string_view piece, int64_t position);

private:
    void find_separators(std::string_view text, int64_t position);
    void find_ts(std::string_view text, int64_t position);

    LineInfo &info_;
    std::string_view host_;
    size_t reach_;       // longest needle ("]: ", "+++", the host) less one byte
    std::string carry_;  // last bytes of the previous pieces, for matches across pieces
    int64_t carry_at_ = 0;
};

// Reads the line that starts at `start` through `window` and analyses it.
LineInfo analyse_line(Window &window, int64_t start, std::string_view host);

}  // namespace tavix::log_lines
