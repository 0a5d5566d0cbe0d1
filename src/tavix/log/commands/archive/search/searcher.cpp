#include "searcher.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "utf8.hpp"

#include <line_reader.hpp>

namespace tavix::search {

namespace {

using lines::count_newlines;
using lines::find_last_newline;

size_t character_end(const unsigned char *p, size_t n) {
    return lines::whole_characters(reinterpret_cast<const char *>(p), n);
}

// The characters of the file's bytes [from, to), read in blocks cut at whole
// characters; -1 with errno set when a read fails.
int64_t characters_between(const lines::FileDescriptor &file, int64_t from, int64_t to) {
    lines::LineRange range;
    range.begin = from;
    range.end = to;
    range.finish_last_line = false;
    lines::BlockReader blocks(file, range, size_t(1) << 20);
    int64_t characters = 0;
    lines::Block block;
    while (blocks.next(block))
        characters += int64_t(count_characters(block.bytes.data(), block.bytes.size()));
    if (blocks.error()) {
        errno = blocks.error();
        return -1;
    }
    return characters;
}

std::string hit_text(const unsigned char *p, size_t n, bool &truncated) {
    truncated = n > kMaxHitText;
    if (truncated)
        n = character_end(p, kMaxHitText);
    return std::string(reinterpret_cast<const char *>(p), n);
}

SearchResult search_blocks(const SearchRequest &request, Matcher &matcher,
                           const std::function<bool(const Hit &)> &on_hit) {
    SearchResult result;
    result.scanned_to = request.begin;
    result.line = request.line;
    result.line_start = request.line_start >= 0 ? request.line_start : request.begin;
    lines::FileDescriptor file(request.path.c_str());
    if (!file.ok()) {
        result.error = file.error();
        return result;
    }
    const int64_t end = std::min(request.end, file.size());
    const auto deadline = std::chrono::steady_clock::now() + request.max_time;

    lines::LineRange range;
    range.begin = request.begin;
    range.end = end;
    range.finish_last_line = false;
    lines::BlockReader blocks(file, range, std::clamp<size_t>(request.block, 16, size_t(64) << 20));
    int64_t base = request.begin;
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
        if (file.read_at(&byte, 1, base - 1) == 1)
            before = byte;
    }

    auto stop_at = [&](int64_t position, int64_t at_line, int64_t at_line_start) {
        result.scanned_to = position;
        result.line = at_line;
        result.line_start = at_line_start;
        result.complete = position >= end;
    };

    for (;;) {
        lines::Block block;
        if (!blocks.next(block)) {
            if (blocks.error()) {
                result.error = blocks.error();
                return result;
            }
            stop_at(base, line, line_start);
            result.complete = true;
            return result;
        }
        ++result.counters.blocks_read;
        result.counters.bytes_read += block.bytes.size();
        const auto *text = reinterpret_cast<const unsigned char *>(block.bytes.data());
        size_t cut = block.bytes.size();
        // The range's end ends its last line.
        Region region{starts_line, block.ends_line || block.last, before, ++serial};

        size_t from = 0, counted = 0;
        LineMatch found;
        size_t stopped = SIZE_MAX;
        while (matcher.next_line(text, from, cut, region, found, deadline, stopped)) {
            line += int64_t(count_newlines(reinterpret_cast<const char *>(text) + counted, found.line_start - counted));
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
            const char *chars = reinterpret_cast<const char *>(text);
            const char *newline = stopped > 0 ? find_last_newline(chars, stopped) : nullptr;
            size_t at_line = newline ? size_t(newline - chars) + 1 : 0;
            size_t at = base + int64_t(at_line) > request.begin ? at_line : stopped;
            int64_t at_index = line + int64_t(count_newlines(reinterpret_cast<const char *>(text) + counted, at_line - counted));
            stop_at(base + int64_t(at), at_index, newline || starts_line ? base + int64_t(at_line) : line_start);
            return result;
        }

        line += int64_t(count_newlines(reinterpret_cast<const char *>(text) + counted, cut - counted));
        if (text[cut - 1] == '\n') {
            line_start = base + int64_t(cut);
            starts_line = true;
            characters_before = 0;
            resumed_inside_line = false;
        } else {
            const char *chars = reinterpret_cast<const char *>(text);
            const char *newline = find_last_newline(chars, cut);
            size_t piece_start = newline ? size_t(newline - chars) + 1 : 0;
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

}  // namespace

SearchResult run_search(const SearchRequest &request, Matcher &matcher,
                        const std::function<bool(const Hit &)> &on_hit) {
    uint64_t states_before = matcher.states_built();
    SearchResult result = search_blocks(request, matcher, on_hit);
    result.states_built = matcher.states_built() - states_before;
    return result;
}

int count_lines(const std::string &path, int64_t from, int64_t to, int64_t &line_count, int64_t &line_start) {
    lines::FileDescriptor file(path.c_str());
    if (!file.ok())
        return file.error();
    line_count = 0;
    line_start = from;
    lines::LineRange range;
    range.begin = from;
    range.end = to;
    range.finish_last_line = false;
    lines::BlockReader blocks(file, range, size_t(1) << 20);
    lines::Block block;
    while (blocks.next(block)) {
        line_count += int64_t(count_newlines(block.bytes.data(), block.bytes.size()));
        if (const char *newline = find_last_newline(block.bytes.data(), block.bytes.size()))
            line_start = block.position + (newline - block.bytes.data()) + 1;
    }
    return blocks.error();
}

}  // namespace tavix::search
