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

}  // namespace

// Where a search stands between blocks.
struct Cursor {
    int64_t base = 0;               // position of the next block's first byte
    int64_t line = 0;               // index of the line holding `base`
    int64_t line_start = 0;         // its start
    bool starts_line = true;        // base == line_start
    int64_t characters_before = 0;  // of that line before `base`, when known
    // A search resumed inside a line counts its hits' columns from the line's
    // start: the characters before `begin` are counted when a hit needs them.
    bool resumed_inside_line = false;
    int before = -1;                // the byte before `base`, -1: none
    uint64_t serial = 0;
};

namespace {

// How one block's search ended: every line searched, or stopped after a hit
// (taken, or the hit limit reached), or out of time, or a failed read of
// the characters a column needs.
enum class BlockEnd { Searched, Stopped, OutOfTime, Failed };

struct BlockLimits {
    size_t max_hits = SIZE_MAX;
    LazyDFA::Clock::time_point deadline = LazyDFA::Clock::time_point::max();
    bool want_text = true;
    int64_t begin = 0;  // where the search began (a stop never goes before it)
};

// The characters of the line holding the search's start that come before
// it; -1 with errno set when they cannot be read.
using CharactersBeforeBegin = std::function<int64_t()>;

// Searches one block (whole lines, or a piece of a line longer than a block)
// at `at`, advancing it past the block when every line was searched. On a
// stop, `result` tells where (its scanned_to, line, line_start).
BlockEnd search_block(const lines::Block &block, Cursor &at, Matcher &matcher, const BlockLimits &limits,
                      const CharactersBeforeBegin &characters_before_begin,
                      const std::function<bool(const Hit &)> &on_hit, SearchResult &result) {
    auto stop_at = [&](int64_t position, int64_t at_line, int64_t at_line_start) {
        result.scanned_to = position;
        result.line = at_line;
        result.line_start = at_line_start;
    };
    const auto *text = reinterpret_cast<const unsigned char *>(block.bytes.data());
    const int64_t base = at.base;
    size_t cut = block.bytes.size();
    // The range's end ends its last line.
    Region region{at.starts_line, block.ends_line || block.last, at.before, ++at.serial};

    size_t from = 0, counted = 0;
    LineMatch found;
    size_t stopped = SIZE_MAX;
    int64_t line = at.line;
    while (matcher.next_line(text, from, cut, region, found, limits.deadline, stopped)) {
        line += int64_t(count_newlines(reinterpret_cast<const char *>(text) + counted, found.line_start - counted));
        counted = found.line_start;
        bool first_piece = found.line_start > 0 || at.starts_line;
        Hit hit;
        hit.line = line;
        hit.line_start = found.line_start > 0 ? base + int64_t(found.line_start) : at.line_start;
        const int64_t hit_line_start = hit.line_start;
        hit.match_position = base + int64_t(found.match_start);
        if (!first_piece && at.resumed_inside_line) {
            int64_t skipped = characters_before_begin();
            if (skipped < 0) {
                result.error = errno;
                return BlockEnd::Failed;
            }
            at.characters_before += skipped;
            at.resumed_inside_line = false;
        }
        hit.column = int64_t(count_characters(reinterpret_cast<const char *>(text + found.line_start),
                                              found.match_start - found.line_start)) +
                     (first_piece ? 0 : at.characters_before);
        hit.length = int64_t(count_characters(reinterpret_cast<const char *>(text + found.match_start),
                                              found.match_end - found.match_start));
        hit.truncated = false;
        if (limits.want_text)
            hit.text = hit_text(text + found.line_start, found.content_end - found.line_start, hit.truncated);
        result.hits.push_back(std::move(hit));
        bool go_on = on_hit(result.hits.back());
        if (!limits.want_text)
            result.hits.pop_back();
        from = found.next_line;
        if (!go_on || result.hits.size() >= limits.max_hits) {
            bool after_newline = from > 0 && text[from - 1] == '\n';
            int64_t position = base + int64_t(from);
            if (after_newline)
                stop_at(position, line + 1, position);
            else
                stop_at(position, line, hit_line_start);
            return BlockEnd::Stopped;
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
        size_t stop = base + int64_t(at_line) > limits.begin ? at_line : stopped;
        int64_t at_index = line + int64_t(count_newlines(reinterpret_cast<const char *>(text) + counted, at_line - counted));
        stop_at(base + int64_t(stop), at_index, newline || at.starts_line ? base + int64_t(at_line) : at.line_start);
        return BlockEnd::OutOfTime;
    }

    at.line = line + int64_t(count_newlines(reinterpret_cast<const char *>(text) + counted, cut - counted));
    if (text[cut - 1] == '\n') {
        at.line_start = base + int64_t(cut);
        at.starts_line = true;
        at.characters_before = 0;
        at.resumed_inside_line = false;
    } else {
        const char *chars = reinterpret_cast<const char *>(text);
        const char *newline = find_last_newline(chars, cut);
        size_t piece_start = newline ? size_t(newline - chars) + 1 : 0;
        if (newline) {
            at.line_start = base + int64_t(piece_start);
            at.characters_before = 0;
            at.resumed_inside_line = false;
        }
        at.characters_before += int64_t(count_characters(reinterpret_cast<const char *>(text + piece_start),
                                                         cut - piece_start));
        at.starts_line = false;
    }
    at.before = text[cut - 1];
    at.base = base + int64_t(cut);
    return BlockEnd::Searched;
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
    BlockLimits limits;
    limits.max_hits = request.max_hits;
    limits.deadline = std::chrono::steady_clock::now() + request.max_time;
    limits.want_text = request.want_text;
    limits.begin = request.begin;

    lines::LineRange range;
    range.begin = request.begin;
    range.end = end;
    range.finish_last_line = false;
    lines::BlockReader blocks(file, range, std::clamp<size_t>(request.block, 16, size_t(64) << 20));
    Cursor at;
    at.base = request.begin;
    at.line = request.line;
    at.line_start = result.line_start;
    at.starts_line = at.line_start == at.base;
    at.resumed_inside_line = !at.starts_line;
    if (!at.starts_line && at.base > 0) {
        unsigned char byte;
        if (file.read_at(&byte, 1, at.base - 1) == 1)
            at.before = byte;
    }
    const CharactersBeforeBegin characters_before_begin = [&] {
        return characters_between(file, at.line_start, request.begin);
    };
    auto stop_here = [&] {
        result.scanned_to = at.base;
        result.line = at.line;
        result.line_start = at.line_start;
        result.complete = at.base >= end;
    };

    for (;;) {
        lines::Block block;
        if (!blocks.next(block)) {
            if (blocks.error()) {
                result.error = blocks.error();
                return result;
            }
            stop_here();
            result.complete = true;
            return result;
        }
        ++result.counters.blocks_read;
        result.counters.bytes_read += block.bytes.size();
        switch (search_block(block, at, matcher, limits, characters_before_begin, on_hit, result)) {
            case BlockEnd::Searched:
                break;
            case BlockEnd::Failed:
                return result;
            case BlockEnd::Stopped:
            case BlockEnd::OutOfTime:
                result.complete = result.scanned_to >= end;
                return result;
        }
        if (at.base >= end) {
            stop_here();
            return result;
        }
        if (std::chrono::steady_clock::now() >= limits.deadline || at.base - request.begin >= request.max_bytes ||
            (request.cancelled && request.cancelled->load(std::memory_order_relaxed))) {
            stop_here();
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

StreamedSearch::StreamedSearch(Matcher &matcher, int64_t position, int64_t line, int before, size_t block)
    : matcher_(matcher), block_(std::clamp<size_t>(block, 16, size_t(64) << 20)) {
    cursor_ = std::make_unique<Cursor>();
    cursor_->base = position;
    cursor_->line = line;
    cursor_->line_start = position;
    cursor_->before = before;
}

StreamedSearch::~StreamedSearch() = default;

void StreamedSearch::feed(const char *data, size_t size) {
    pending_.append(data, size);
    size_t used = 0;
    // As the file search's reader cuts: the last line end within a block's
    // worth of bytes, or, in a line longer than that, at whole characters;
    // a block's worth that may end the text waits to be told. Whole lines
    // short of a block are searched at once (the pieces of a longer line
    // depend only on where it starts).
    while (pending_.size() - used > block_)
        used += search_piece(pending_.data() + used, block_, false);
    if (const char *newline = find_last_newline(pending_.data() + used, pending_.size() - used))
        used += search_piece(pending_.data() + used, size_t(newline - pending_.data()) + 1 - used, false);
    pending_.erase(0, used);
}

void StreamedSearch::finish() {
    size_t used = 0;
    while (used < pending_.size()) {
        size_t available = pending_.size() - used;
        used += search_piece(pending_.data() + used, std::min(available, block_), available <= block_);
    }
    pending_.clear();
}

size_t StreamedSearch::search_piece(const char *p, size_t visible, bool last) {
    size_t cut = visible;
    if (!last) {
        if (const char *newline = find_last_newline(p, visible)) {
            cut = size_t(newline - p) + 1;
        } else {
            cut = lines::whole_characters(p, visible);
            if (cut == 0)
                cut = visible;
        }
    }
    lines::Block block;
    block.bytes = std::string_view(p, cut);
    block.position = cursor_->base;
    block.ends_line = p[cut - 1] == '\n';
    block.last = last && cut == visible;
    BlockLimits limits;
    limits.begin = cursor_->base;
    SearchResult found;
    found.hits.swap(hits_);
    // A streamed search starts at a line start: no column needs the bytes
    // before it.
    search_block(block, *cursor_, matcher_, limits, [] { return int64_t(0); },
                 [](const Hit &) { return true; }, found);
    found.hits.swap(hits_);
    return cut;
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
