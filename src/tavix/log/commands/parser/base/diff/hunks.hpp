// From marked lines to the hunks of a unified diff, one hunk at a time: a
// diff of millions of changes holds none of them at once.
#pragma once

#include <cstddef>
#include <functional>

#include "myers.hpp"

namespace tavix::line_diff {

// Lines [base_begin, base_end) of the base replaced by [new_begin, new_end) of
// the new side (either may be empty).
struct Change {
    size_t base_begin, base_end, new_begin, new_end;
};

// The changes of `edits`, whose lines are the section's from `base_first`
// and `new_first` on, in the section's line numbers.
class EditChanges {
public:
    EditChanges(const LineEdits &edits, size_t base_first, size_t new_first)
        : edits_(edits), base_first_(base_first), new_first_(new_first) {}
    bool next(Change &change);

private:
    const LineEdits &edits_;
    size_t base_first_, new_first_, i_ = 0, j_ = 0;
};

// A hunk: the lines it spans, its changes and `context` lines around them.
struct Hunk {
    size_t base_begin, base_end, new_begin, new_end;
};

// Changes whose context of `context` lines would touch or overlap share a hunk.
class Hunks {
public:
    Hunks(std::function<bool(Change &)> changes, size_t context, size_t base_size, size_t new_size)
        : changes_(std::move(changes)), context_(context), base_size_(base_size), new_size_(new_size) {
        pending_ = changes_(change_);
    }
    bool next(Hunk &hunk);

private:
    std::function<bool(Change &)> changes_;
    size_t context_, base_size_, new_size_;
    Change change_{};
    bool pending_;
};

}  // namespace tavix::line_diff
