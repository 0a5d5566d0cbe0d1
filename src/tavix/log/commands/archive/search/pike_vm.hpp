// The exact matcher: a Pike VM over a program, giving the leftmost match with
// the preferences of a backtracking engine (first alternative, greedy or lazy
// repeats) in time linear in the text.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "byte_scan.hpp"
#include "program.hpp"

namespace tavix::search {

// The text to match in: text[0, size), whose start is a line start when
// `starts_line` and whose end is a line end when `ends_line`; `before` is the
// byte just before it (for word boundaries), or -1.
struct Span {
    const unsigned char *text;
    size_t size;
    bool starts_line = true, ends_line = true;
    int before = -1;
};

class PikeVM {
public:
    explicit PikeVM(const Program &program);

    using Clock = std::chrono::steady_clock;

    // The leftmost match that starts at `from` or later (exactly at `from`
    // when `anchored`): its [start, end) in `span`, or false. Its cost is the
    // span's length times the threads alive, so it watches `deadline` every
    // few thousand bytes; once past it, it gives up with false and
    // `stopped_at` set to the earliest position a match could still start
    // (no match starts between `from` and it), or, when that is `from`
    // itself, to the first byte it did not look at. A match already found
    // when time runs out is answered as far as it got (its end may fall
    // short of the preferred one).
    bool find(const Span &span, size_t from, bool anchored, size_t &start, size_t &end,
              Clock::time_point deadline, size_t &stopped_at);

private:
    struct Thread {
        uint32_t pc;
        size_t start;
    };
    struct List {
        std::vector<uint32_t> sparse;  // pc -> index in dense
        std::vector<Thread> dense;
        bool contains(uint32_t pc) const {
            uint32_t i = sparse[pc];
            return i < dense.size() && dense[i].pc == pc;
        }
    };

    bool holds(Assertion assertion, const Span &span, size_t at) const;
    void add(List &list, uint32_t pc, size_t start, const Span &span, size_t at);

    const Program &program_;
    // The bytes a match can start with, when they are few and no match is
    // empty: positions holding none of them are skipped while no thread runs.
    ByteChoice first_bytes_;
    bool skips_ = false;
    List current_, next_;
    std::vector<uint32_t> stack_;
};

}  // namespace tavix::search
