// From marked lines to the hunks of a unified diff.
#pragma once

#include <cstddef>
#include <vector>

#include "myers.hpp"

namespace tavix::line_diff {

// Lines [base_begin, base_end) of the base replaced by [new_begin, new_end) of
// the new side (either may be empty).
struct Change {
    size_t base_begin, base_end, new_begin, new_end;
};

// A hunk: its changes and the lines it shows around them.
struct Hunk {
    size_t base_begin, base_end, new_begin, new_end;
    std::vector<Change> changes;
};

std::vector<Change> changes_of(const LineEdits &edits);

// Changes whose context of `context` lines would touch or overlap share a hunk.
std::vector<Hunk> hunks_of(const std::vector<Change> &changes, size_t context, size_t base_size,
                           size_t new_size);

}  // namespace tavix::line_diff
