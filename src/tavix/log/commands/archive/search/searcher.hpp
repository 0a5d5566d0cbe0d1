// The searcher: streams a byte range of a log file through a Matcher in
// blocks and keeps the line bookkeeping (line indices, line starts, pieces
// of over-long lines) apart from the matching. It never touches the
// interpreter, so it runs with the GIL released.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "matcher.hpp"

#include <line_reader.hpp>

namespace tavix::search {

struct Hit {
    int64_t line_start;     // file position of the line's first byte
    int64_t line;           // index of the line from the search's first line
    int64_t column;         // characters before the match, from the line start
    int64_t length;         // characters of the match
    int64_t match_position; // file position of the match's first byte
    std::string text;       // the line without its line end, cut at kMaxHitText
    bool truncated;
};

// Where to search, where to stop, and how much one answer may cost.
struct SearchRequest {
    std::string path;
    int64_t begin = 0, end = 0;       // file positions; end is clipped to the file
    int64_t line = 0;                 // index of the line holding `begin`
    int64_t line_start = -1;          // start of that line when `begin` is inside it
    size_t max_hits = 100;
    std::chrono::steady_clock::duration max_time = std::chrono::milliseconds(200);
    int64_t max_bytes = int64_t(256) << 20;
    size_t block = size_t(1) << 20;   // also the longest piece of a line
    bool want_text = true;            // fill Hit::text
    const std::atomic<bool> *cancelled = nullptr;  // stops the search between blocks once set
};

struct SearchResult {
    std::vector<Hit> hits;
    int64_t scanned_to = 0;           // file position the search stopped at
    int64_t line = 0;                 // index of the line holding scanned_to
    int64_t line_start = 0;           // start of that line
    bool complete = false;            // the whole range was searched
    int error = 0;                    // errno of a failed read, or 0
    lines::ReadCounters counters;     // what the search read
    uint64_t states_built = 0;        // automaton states the search built
};

constexpr size_t kMaxHitText = 16 * 1024;

// Calls on_hit(hit) for every line with a match, in file order, until it
// returns false, max_hits hits were taken, or the time or byte budget is
// spent (checked between blocks and every few thousand bytes the matchers
// look at, so a search stops at a line start unless the page's first line
// alone takes longer: then it stops inside that line).
SearchResult run_search(const SearchRequest &request, Matcher &matcher,
                        const std::function<bool(const Hit &)> &on_hit);

struct Cursor;

// The same search over bytes pushed to it (the text of a zip member as it
// is inflated), from a line start at `position` (the line numbered `line`,
// `before` the byte before it or -1) to the end of the text. It cuts the
// bytes into blocks as the file search reads them, so it finds the same
// hits; each goes to hits(), which the caller empties as it likes. Holds
// about one block of the text.
class StreamedSearch {
public:
    StreamedSearch(Matcher &matcher, int64_t position, int64_t line, int before,
                   size_t block = size_t(1) << 20);
    ~StreamedSearch();
    StreamedSearch(const StreamedSearch &) = delete;
    StreamedSearch &operator=(const StreamedSearch &) = delete;

    void feed(const char *data, size_t size);
    // The text has ended (its last line with it).
    void finish();
    std::vector<Hit> &hits() { return hits_; }

private:
    size_t search_piece(const char *p, size_t visible, bool last);

    Matcher &matcher_;
    size_t block_;
    std::unique_ptr<Cursor> cursor_;
    std::string pending_;
    std::vector<Hit> hits_;
};

// The number of "\n" in the file between `from` and `to`, and the start of
// the line holding `to`; the errno of a failed read, or 0.
int count_lines(const std::string &path, int64_t from, int64_t to, int64_t &line_count,
                int64_t &line_start);

}  // namespace tavix::search
