// A minimal line diff of two hash sequences: Myers' O(ND) algorithm in
// linear space (middle snakes, divide and conquer), with a deadline after
// which what is left is marked wholesale as replaced.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

namespace tavix::line_diff {

using Clock = std::chrono::steady_clock;

struct LineEdits {
    std::vector<char> deleted;   // per line of the base
    std::vector<char> inserted;  // per line of the new side
    bool approximate = false;    // the deadline passed: not minimal
};

// When a diff stops looking for the fewest edits: its time budget is spent,
// or the flag that says no one waits for its answer any more is set.
struct Halt {
    Clock::time_point deadline;
    const std::atomic<bool> *cancel = nullptr;
    bool cancelled() const { return cancel && cancel->load(std::memory_order_relaxed); }
    bool due() const { return cancelled() || Clock::now() > deadline; }
};

// The fewest lines to delete from `a` and insert from `b` that turn `a` into
// `b`; when `halt` is due first, a coarser answer marked approximate.
LineEdits diff_lines(const std::vector<uint64_t> &a, const std::vector<uint64_t> &b, const Halt &halt);

}  // namespace tavix::line_diff
