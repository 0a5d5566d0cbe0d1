// The split of a section into stretches scanned side by side, each of whole
// lines.
#include "execution_walk.hpp"

namespace tavix::parser_base::scan {

namespace {

// The start of the first line that starts after `position` and before
// `limit`, or -1; looked for over a few blocks only (a section of one long
// line is walked in one stretch).
int64_t next_line_start(const lines::FileDescriptor &file, int64_t position, int64_t limit) {
    constexpr int64_t LOOK_AHEAD = int64_t(1) << 20;
    limit = std::min(limit, position + LOOK_AHEAD);
    LineRange ahead = LineRange::starting_in(position, limit);
    ahead.finish_last_line = false;
    LineReader reader(file, ahead, size_t(1) << 16);
    LinePiece piece;
    while (reader.next(piece))
        if (piece.text.back() == '\n' && piece.offset + int64_t(piece.text.size()) < limit)
            return piece.offset + int64_t(piece.text.size());
    if (reader.error())
        throw std::system_error(reader.error(), std::generic_category());
    return -1;
}

}  // namespace

std::vector<LineRange> stretches_of(const lines::FileDescriptor &file, const LineRange &range) {
    int64_t end = std::min(range.end, file.size());
    int64_t span = end - range.begin;
    const Shared &state = shared();
    auto count = unsigned(std::min<int64_t>(state.scan_threads, span / int64_t(state.scan_stretch)));
    std::vector<LineRange> stretches{range};
    for (unsigned k = 1; k < count; ++k) {
        int64_t at = next_line_start(file, range.begin + span * k / count - 1, end);
        if (at <= stretches.back().begin)
            continue;
        stretches.back().end = at;
        stretches.back().finish_last_line = false;
        LineRange next = range;
        next.begin = at;
        stretches.push_back(next);
    }
    return stretches;
}

}  // namespace tavix::parser_base::scan
