// The fast matcher: a DFA built lazily from a program, which finds where the
// first match in a run of lines ends. It treats line-end and word-boundary
// tests as always true, so it may report a line that has no match (never
// missing one); the exact matcher then decides.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "byte_scan.hpp"
#include "program.hpp"

namespace tavix::search {

class LazyDFA {
public:
    explicit LazyDFA(const Program &program);

    static constexpr size_t kNoMatch = SIZE_MAX;
    using Clock = std::chrono::steady_clock;

    // The end of the first match in text[from, size), `from` being a line
    // start; kNoMatch if there is none. A query whose states keep being new
    // costs much per byte: past `deadline` the search gives up, with kNoMatch
    // and `stopped_at` set to the first byte it did not look at.
    size_t find_end(const unsigned char *text, size_t from, size_t size, Clock::time_point deadline,
                    size_t &stopped_at);

    // States built since construction, the ones dropped when the cache was
    // reset included: the work a query cost, for tests.
    uint64_t states_built() const { return states_built_; }

private:
    struct State {
        std::vector<uint32_t> pcs;
        bool match = false;
        ByteChoice exits;  // bytes that leave a self-looping state, when few
        bool accelerated = false;
        bool probed = false;
    };

    void new_set();
    void closure(uint32_t pc, bool line_start, std::vector<uint32_t> &into);
    int32_t intern(std::vector<uint32_t> &pcs);
    int32_t step(int32_t state, unsigned char byte);
    void reset();
    void accelerate(int32_t state);

    const Program &program_;
    std::vector<State> states_;
    std::vector<int32_t> transitions_;  // state * class_count + class -> state, -1 unknown
    std::unordered_map<std::string, int32_t> index_;
    std::vector<uint32_t> restart_;     // closure of the start, mid-line
    std::vector<uint32_t> seen_;        // stamp of the set each instruction was last seen in
    uint32_t stamp_ = 0;
    std::vector<uint32_t> stack_;
    int32_t line_start_ = -1;
    uint64_t states_built_ = 0;
};

}  // namespace tavix::search
