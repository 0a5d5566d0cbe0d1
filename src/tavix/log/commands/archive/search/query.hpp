// Search queries as a tree: a literal text, or a regular expression of the
// usual syntax restricted to what can be matched in linear time (no
// backreferences, no lookaround).
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tavix::search {

// A query that is empty, too large or not a regular expression this
// searcher can match.
struct QueryError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A set of characters as sorted, disjoint, non-adjacent ranges; `ill_formed`
// adds single bytes that are no part of a well-formed character (so "." and
// negated classes match what shows as a replacement character).
struct CharSet {
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    bool ill_formed = false;

    void add(uint32_t lo, uint32_t hi);
    void add(const CharSet &other);
    void normalise();
    void negate();  // within all characters except "\n"
    void close_over_case();
};

enum class Assertion { LineStart, LineEnd, WordBoundary, NotWordBoundary };

struct Node {
    enum Kind { Empty, Chars, Concat, Alternate, Repeat, Assert } kind = Empty;
    CharSet chars;
    std::vector<std::unique_ptr<Node>> children;
    int min = 0, max = -1;  // Repeat; max -1 is unbounded
    bool greedy = true;
    Assertion assertion = Assertion::LineStart;
};

// `text` is UTF-8. Literal queries match their characters one after another.
std::unique_ptr<Node> parse_literal(const std::string &text, bool ignore_case);
std::unique_ptr<Node> parse_regex(const std::string &text, bool ignore_case);

}  // namespace tavix::search
