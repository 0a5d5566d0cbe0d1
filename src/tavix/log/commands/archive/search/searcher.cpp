// The modules are built for size; the search loops run over every byte
// searched, so this file is built for speed.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3")
#endif
#include "searcher.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "byte_scan.hpp"
#include "utf8.hpp"

#include <positioned_read.hpp>

namespace tavix::search {

namespace {

class Descriptor {
public:
    explicit Descriptor(const std::string &path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    bool ok() const { return fd_ >= 0; }

    int64_t size() const {
        struct stat st;
        return ::fstat(fd_, &st) == 0 ? int64_t(st.st_size) : -1;
    }

    // Fills `into[0, n)` from `position`; the count read (short at the end
    // of the file), or -1 with errno set.
    int64_t read(unsigned char *into, size_t n, int64_t position) const {
        return read_fully_at(fd_, into, n, position);
    }

private:
    int fd_;
};

// The end of the last whole character in p[0, n) (a piece of a long line must
// not split one).
size_t character_end(const unsigned char *p, size_t n) {
    for (size_t back = 1; back <= 3 && back <= n; ++back) {
        unsigned char c = p[n - back];
        if ((c & 0xC0) == 0x80)
            continue;
        size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return need > back ? n - back : n;
    }
    return n;
}

// The characters of the file's bytes [from, to), read in blocks cut at whole
// characters; -1 with errno set when a read fails.
int64_t characters_between(const Descriptor &file, int64_t from, int64_t to) {
    std::vector<unsigned char> buffer(size_t(1) << 20);
    int64_t characters = 0;
    while (from < to) {
        size_t want = size_t(std::min<int64_t>(int64_t(buffer.size()), to - from));
        int64_t got = file.read(buffer.data(), want, from);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        size_t n = size_t(got);
        if (from + got < to && character_end(buffer.data(), n) > 0)
            n = character_end(buffer.data(), n);
        characters += int64_t(count_characters(reinterpret_cast<const char *>(buffer.data()), n));
        from += int64_t(n);
    }
    return characters;
}

std::string hit_text(const unsigned char *p, size_t n, bool &truncated) {
    truncated = n > kMaxHitText;
    if (truncated)
        n = character_end(p, kMaxHitText);
    return std::string(reinterpret_cast<const char *>(p), n);
}

}  // namespace

SearchResult run_search(const SearchRequest &request, Matcher &matcher,
                        const std::function<bool(const Hit &)> &on_hit) {
    SearchResult result;
    result.scanned_to = request.begin;
    result.line = request.line;
    result.line_start = request.line_start >= 0 ? request.line_start : request.begin;
    Descriptor file(request.path);
    int64_t size = file.ok() ? file.size() : -1;
    if (size < 0) {
        result.error = errno;
        return result;
    }
    const int64_t end = std::min(request.end, size);
    const auto deadline = std::chrono::steady_clock::now() + request.max_time;

    std::vector<unsigned char> buffer(std::clamp<size_t>(request.block, 16, size_t(64) << 20));
    size_t filled = 0;
    int64_t base = request.begin, read_at = request.begin;
    int64_t line = request.line;                 // index of the line holding `base`
    int64_t line_start = result.line_start;      // its start
    bool starts_line = line_start == base;
    int64_t characters_before = 0;               // of that line before `base`, when known
    // A search resumed inside a line counts its hits' columns from the line's
    // start: the characters before `begin` are counted when a hit needs them.
    bool resumed_inside_line = !starts_line;
    int before = -1;
    uint64_t serial = 0;
    if (!starts_line && base > 0) {
        unsigned char byte;
        if (file.read(&byte, 1, base - 1) == 1)
            before = byte;
    }

    auto stop_at = [&](int64_t position, int64_t at_line, int64_t at_line_start) {
        result.scanned_to = position;
        result.line = at_line;
        result.line_start = at_line_start;
        result.complete = position >= end;
    };

    for (;;) {
        while (filled < buffer.size() && read_at < end) {
            size_t want = size_t(std::min<int64_t>(int64_t(buffer.size() - filled), end - read_at));
            int64_t got = file.read(buffer.data() + filled, want, read_at);
            if (got < 0) {
                result.error = errno;
                return result;
            }
            if (got == 0) {
                read_at = end;  // the file ended early
                break;
            }
            filled += size_t(got);
            read_at += got;
        }
        if (filled == 0) {
            stop_at(base, line, line_start);
            result.complete = true;
            return result;
        }
        const unsigned char *text = buffer.data();
        bool last = read_at >= end;
        size_t cut = filled;
        Region region{starts_line, true, before, ++serial};
        if (!last) {
            const void *newline = memrchr(text, '\n', filled);
            if (newline) {
                cut = size_t(static_cast<const unsigned char *>(newline) - text) + 1;
            } else {
                cut = character_end(text, filled);  // a piece of a long line
                if (cut == 0)
                    cut = filled;
                region.ends_line = false;
            }
        }

        size_t from = 0, counted = 0;
        LineMatch found;
        size_t stopped = SIZE_MAX;
        while (matcher.next_line(text, from, cut, region, found, deadline, stopped)) {
            line += int64_t(count_newlines(text + counted, found.line_start - counted));
            counted = found.line_start;
            bool first_piece = found.line_start > 0 || starts_line;
            Hit hit;
            hit.line = line;
            hit.line_start = found.line_start > 0 ? base + int64_t(found.line_start) : line_start;
            const int64_t hit_line_start = hit.line_start;
            hit.match_position = base + int64_t(found.match_start);
            if (!first_piece && resumed_inside_line) {
                int64_t skipped = characters_between(file, line_start, request.begin);
                if (skipped < 0) {
                    result.error = errno;
                    return result;
                }
                characters_before += skipped;
                resumed_inside_line = false;
            }
            hit.column = int64_t(count_characters(reinterpret_cast<const char *>(text + found.line_start),
                                                  found.match_start - found.line_start)) +
                         (first_piece ? 0 : characters_before);
            hit.length = int64_t(count_characters(reinterpret_cast<const char *>(text + found.match_start),
                                                  found.match_end - found.match_start));
            hit.truncated = false;
            if (request.want_text)
                hit.text = hit_text(text + found.line_start, found.content_end - found.line_start,
                                    hit.truncated);
            result.hits.push_back(std::move(hit));
            bool go_on = on_hit(result.hits.back());
            if (!request.want_text)
                result.hits.pop_back();
            from = found.next_line;
            if (!go_on || result.hits.size() >= request.max_hits) {
                bool after_newline = from > 0 && text[from - 1] == '\n';
                int64_t position = base + int64_t(from);
                if (after_newline)
                    stop_at(position, line + 1, position);
                else
                    stop_at(position, line, hit_line_start);
                return result;
            }
            if (from >= cut)
                break;
        }
        if (stopped != SIZE_MAX) {
            // Out of time inside the region (in the automaton, or in the exact
            // matcher settling a long line): the answer ends at the start of
            // the line it was in, or, not to stand still, inside the page's
            // first line, where the next page goes on.
            const void *newline = stopped > 0 ? memrchr(text, '\n', stopped) : nullptr;
            size_t at_line = newline ? size_t(static_cast<const unsigned char *>(newline) - text) + 1 : 0;
            size_t at = base + int64_t(at_line) > request.begin ? at_line : stopped;
            int64_t at_index = line + int64_t(count_newlines(text + counted, at_line - counted));
            stop_at(base + int64_t(at), at_index, newline || starts_line ? base + int64_t(at_line) : line_start);
            return result;
        }

        line += int64_t(count_newlines(text + counted, cut - counted));
        if (text[cut - 1] == '\n') {
            line_start = base + int64_t(cut);
            starts_line = true;
            characters_before = 0;
            resumed_inside_line = false;
        } else {
            const void *newline = memrchr(text, '\n', cut);
            size_t piece_start = newline ? size_t(static_cast<const unsigned char *>(newline) - text) + 1 : 0;
            if (newline) {
                line_start = base + int64_t(piece_start);
                characters_before = 0;
                resumed_inside_line = false;
            }
            characters_before += int64_t(count_characters(reinterpret_cast<const char *>(text + piece_start),
                                                           cut - piece_start));
            starts_line = false;
        }
        before = text[cut - 1];
        std::memmove(buffer.data(), buffer.data() + cut, filled - cut);
        filled -= cut;
        base += int64_t(cut);
        if (base >= end) {
            stop_at(base, line, line_start);
            return result;
        }
        if (std::chrono::steady_clock::now() >= deadline || base - request.begin >= request.max_bytes ||
            (request.cancelled && request.cancelled->load(std::memory_order_relaxed))) {
            stop_at(base, line, line_start);
            return result;
        }
    }
}

int count_lines(const std::string &path, int64_t from, int64_t to, int64_t &lines, int64_t &line_start) {
    Descriptor file(path);
    if (!file.ok())
        return errno;
    lines = 0;
    line_start = from;
    std::vector<unsigned char> buffer(size_t(1) << 20);
    for (int64_t position = from; position < to;) {
        size_t want = size_t(std::min<int64_t>(int64_t(buffer.size()), to - position));
        int64_t got = file.read(buffer.data(), want, position);
        if (got < 0)
            return errno;
        if (got == 0)
            break;
        lines += int64_t(count_newlines(buffer.data(), size_t(got)));
        const void *newline = memrchr(buffer.data(), '\n', size_t(got));
        if (newline)
            line_start = position + (static_cast<const unsigned char *>(newline) - buffer.data()) + 1;
        position += got;
    }
    return 0;
}

}  // namespace tavix::search
