// A compiled query: finds the lines of a buffer that hold a match, and where
// the first match of each lies. The engines are picked per query: byte scans
// for literals, the lazy DFA for the rest, the Pike VM to settle each line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "lazy_dfa.hpp"
#include "literal_finder.hpp"
#include "pike_vm.hpp"
#include "program.hpp"

namespace tavix::search {

// Where text[0, size) sits among the lines: whether it starts a line, whether
// its end is a line end, and the byte before it (-1: none).
struct Region {
    bool starts_line = true, ends_line = true;
    int before = -1;
    uint64_t serial = 0;  // tells regions apart when they reuse one buffer
};

struct LineMatch {
    size_t line_start = 0;   // first byte of the line
    size_t content_end = 0;  // end of its text, line end ("\n" or "\r\n") excluded
    size_t next_line = 0;    // where the next line starts
    size_t match_start = 0, match_end = 0;
};

class Matcher {
public:
    // Raises QueryError for a query it cannot match.
    Matcher(const std::string &query, bool regex, bool ignore_case);

    // The first line in text[from, size) that holds a match; `from` is a line
    // start (or the region start). False when there is none, or, with
    // `stopped_at` set to where it stopped, when `deadline` passed first
    // (inside a line when the exact matcher ran out of time in it; see
    // PikeVM::find for where).
    bool next_line(const unsigned char *text, size_t from, size_t size, const Region &region,
                   LineMatch &found, LazyDFA::Clock::time_point deadline, size_t &stopped_at);

    // Automaton states built so far.
    uint64_t states_built() const { return dfa_.states_built(); }

private:
    bool settle(const unsigned char *text, size_t line_start, size_t size, const Region &region,
                size_t anchored_at, LineMatch &found, LazyDFA::Clock::time_point deadline,
                size_t &stopped_at);
    size_t other_length_variant_at(const unsigned char *text, size_t from, size_t size,
                                   const Region &region);

    Program program_;
    std::unique_ptr<LiteralFinder> literal_;  // literal queries only
    bool never_ = false;                      // a literal holding "\n"
    // The first variant of another length at or after `variant_from_` in
    // region `variant_region_`, or the region's size.
    uint64_t variant_region_ = UINT64_MAX;
    size_t variant_from_ = 0, variant_at_ = 0;
    LazyDFA dfa_;
    PikeVM pike_;
};

}  // namespace tavix::search
