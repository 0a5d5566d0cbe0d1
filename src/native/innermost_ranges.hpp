// Nested byte ranges of a log (sections inside sections) cut into the
// intervals each innermost range owns: how a line is attributed to the
// deepest section or step holding it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavix {

struct Range {
    long long start, end;
    size_t order;  // position in tree order
};

// Cuts a log into intervals owned by the innermost range that holds them:
// `bounds` are the interval edges, `owners[i]` the order of the owner of
// [bounds[i], bounds[i + 1]) or SIZE_MAX for none.
inline void innermost(std::vector<Range> ranges, std::vector<long long> &bounds, std::vector<size_t> &owners) {
    std::sort(ranges.begin(), ranges.end(), [](const Range &a, const Range &b) {
        return a.start != b.start ? a.start < b.start : a.end != b.end ? a.end > b.end : a.order < b.order;
    });
    for (const Range &range : ranges) {
        bounds.push_back(range.start);
        bounds.push_back(range.end);
    }
    std::sort(bounds.begin(), bounds.end());
    bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
    std::vector<const Range *> open;
    size_t next = 0;
    for (size_t i = 0; i + 1 < bounds.size(); ++i) {
        long long at = bounds[i];
        while (!open.empty() && open.back()->end <= at)
            open.pop_back();
        for (; next < ranges.size() && ranges[next].start <= at; ++next)
            if (ranges[next].end > at)
                open.push_back(&ranges[next]);
        owners.push_back(open.empty() ? SIZE_MAX : open.back()->order);
    }
}

}  // namespace tavix
