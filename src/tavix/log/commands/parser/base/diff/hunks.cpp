#include "hunks.hpp"

#include <algorithm>

namespace tavix::line_diff {

bool EditChanges::next(Change &change) {
    size_t n = edits_.deleted.size(), m = edits_.inserted.size();
    while (i_ < n && j_ < m && !edits_.deleted[i_] && !edits_.inserted[j_])
        ++i_, ++j_;
    if (i_ == n && j_ == m)
        return false;
    change.base_begin = base_first_ + i_, change.new_begin = new_first_ + j_;
    while (i_ < n && edits_.deleted[i_])
        ++i_;
    while (j_ < m && edits_.inserted[j_])
        ++j_;
    change.base_end = base_first_ + i_, change.new_end = new_first_ + j_;
    return true;
}

bool Hunks::next(Hunk &hunk) {
    if (!pending_)
        return false;
    size_t lead = std::min({context_, change_.base_begin, change_.new_begin});
    hunk = {change_.base_begin - lead, change_.base_end, change_.new_begin - lead, change_.new_end};
    while ((pending_ = changes_(change_)) && change_.base_begin - hunk.base_end <= 2 * context_)
        hunk.base_end = change_.base_end, hunk.new_end = change_.new_end;
    size_t tail = std::min({context_, base_size_ - hunk.base_end, new_size_ - hunk.new_end});
    hunk.base_end += tail;
    hunk.new_end += tail;
    return true;
}

}  // namespace tavix::line_diff
