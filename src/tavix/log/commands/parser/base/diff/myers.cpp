#include "myers.hpp"

#include <algorithm>
#include <cstdint>

namespace tavix::line_diff {

namespace {

class Myers {
public:
    Myers(const std::vector<uint64_t> &a, const std::vector<uint64_t> &b, const Halt &halt, LineEdits &edits)
        : a_(a.data()), b_(b.data()), halt_(halt), edits_(edits) {}

    void compare(int64_t x0, int64_t x1, int64_t y0, int64_t y1) {
        while (x0 < x1 && y0 < y1 && a_[x0] == b_[y0])
            ++x0, ++y0;
        while (x0 < x1 && y0 < y1 && a_[x1 - 1] == b_[y1 - 1])
            --x1, --y1;
        // Indices of a part's diagonals are 32-bit.
        bool too_long = (x1 - x0) + (y1 - y0) > int64_t(INT32_MAX) - 4;
        if (x0 == x1 || y0 == y1 || edits_.approximate || too_long) {
            edits_.approximate = edits_.approximate || (too_long && x0 < x1 && y0 < y1);
            replace(x0, x1, y0, y1);
            return;
        }
        int64_t xmid, ymid;
        if (!middle(x0, x1, y0, y1, xmid, ymid)) {
            edits_.approximate = true;
            replace(x0, x1, y0, y1);
            return;
        }
        compare(x0, xmid, y0, ymid);
        compare(xmid, x1, ymid, y1);
    }

private:
    void replace(int64_t x0, int64_t x1, int64_t y0, int64_t y1) {
        std::fill(edits_.deleted.begin() + x0, edits_.deleted.begin() + x1, 1);
        std::fill(edits_.inserted.begin() + y0, edits_.inserted.begin() + y1, 1);
    }

    // A point on a shortest edit path of a[x0:x1] -> b[y0:y1] (both not empty,
    // their first and last lines differing), found by extending the furthest
    // reaching paths from both corners one edit at a time until they meet.
    // Diagonals are k = x - y in local coordinates, kept within [-m, n].
    // False when the halt is due first.
    bool middle(int64_t x0, int64_t x1, int64_t y0, int64_t y1, int64_t &xmid, int64_t &ymid) {
        const int32_t n = int32_t(x1 - x0), m = int32_t(y1 - y0), delta = n - m;
        const uint64_t *a = a_ + x0, *b = b_ + y0;
        const bool odd = delta & 1;
        const int32_t kmin = -m, kmax = n;
        forward_.assign(size_t(n + m + 3), 0);
        backward_.assign(size_t(n + m + 3), 0);
        auto f = [&](int32_t k) -> int32_t & { return forward_[size_t(k + m + 1)]; };
        auto r = [&](int32_t k) -> int32_t & { return backward_[size_t(k + m + 1)]; };
        int32_t fmin = 0, fmax = 0, bmin = delta, bmax = delta;
        f(0) = 0;
        r(delta) = n;
        for (int64_t step = 1;; ++step) {
            if ((step & 15) == 0 && halt_.due())
                return false;
            // Diagonals out of reach hold values that are never chosen.
            if (fmin > kmin) f(--fmin - 1) = -1; else ++fmin;
            if (fmax < kmax) f(++fmax + 1) = -1; else --fmax;
            for (int32_t k = fmax; k >= fmin; k -= 2) {
                int32_t below = f(k - 1), above = f(k + 1);
                int32_t x = below >= above ? below + 1 : above, y = x - k;
                while (x < n && y < m && a[x] == b[y])
                    ++x, ++y;
                f(k) = x;
                if (odd && bmin <= k && k <= bmax && r(k) <= x) {
                    xmid = x0 + x, ymid = y0 + y;
                    return true;
                }
            }
            if (bmin > kmin) r(--bmin - 1) = INT32_MAX; else ++bmin;
            if (bmax < kmax) r(++bmax + 1) = INT32_MAX; else --bmax;
            for (int32_t k = bmax; k >= bmin; k -= 2) {
                int32_t below = r(k - 1), above = r(k + 1);
                int32_t x = below < above ? below : above - 1, y = x - k;
                while (x > 0 && y > 0 && a[x - 1] == b[y - 1])
                    --x, --y;
                r(k) = x;
                if (!odd && fmin <= k && k <= fmax && x <= f(k)) {
                    xmid = x0 + x, ymid = y0 + y;
                    return true;
                }
            }
        }
    }

    const uint64_t *a_, *b_;
    const Halt &halt_;
    LineEdits &edits_;
    std::vector<int32_t> forward_, backward_;
};

}  // namespace

LineEdits diff_lines(const std::vector<uint64_t> &a, const std::vector<uint64_t> &b, const Halt &halt) {
    LineEdits edits;
    edits.deleted.assign(a.size(), 0);
    edits.inserted.assign(b.size(), 0);
    Myers(a, b, halt, edits).compare(0, int64_t(a.size()), 0, int64_t(b.size()));
    return edits;
}

}  // namespace tavix::line_diff
