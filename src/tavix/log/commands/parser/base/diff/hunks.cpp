#include "hunks.hpp"

#include <algorithm>

namespace tavix::line_diff {

std::vector<Change> changes_of(const LineEdits &edits) {
    std::vector<Change> changes;
    size_t n = edits.deleted.size(), m = edits.inserted.size(), i = 0, j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && !edits.deleted[i] && !edits.inserted[j]) {
            ++i, ++j;
            continue;
        }
        Change change{i, i, j, j};
        while (i < n && edits.deleted[i])
            ++i;
        while (j < m && edits.inserted[j])
            ++j;
        change.base_end = i, change.new_end = j;
        changes.push_back(change);
    }
    return changes;
}

std::vector<Hunk> hunks_of(const std::vector<Change> &changes, size_t context, size_t base_size,
                           size_t new_size) {
    std::vector<Hunk> hunks;
    for (const Change &change : changes) {
        size_t lead = std::min({context, change.base_begin, change.new_begin});
        if (!hunks.empty() && change.base_begin - hunks.back().base_end <= 2 * context) {
            hunks.back().changes.push_back(change);
        } else {
            hunks.push_back({change.base_begin - lead, 0, change.new_begin - lead, 0, {change}});
        }
        // The hunk's end without trailing context, for now.
        hunks.back().base_end = change.base_end;
        hunks.back().new_end = change.new_end;
    }
    for (Hunk &hunk : hunks) {
        size_t tail = std::min({context, base_size - hunk.base_end, new_size - hunk.new_end});
        hunk.base_end += tail;
        hunk.new_end += tail;
    }
    return hunks;
}

}  // namespace tavix::line_diff
