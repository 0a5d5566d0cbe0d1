#include "section_lines.hpp"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "line_hasher.hpp"
#include "masking.hpp"

namespace tavix::line_diff {

namespace {

std::string_view without_cr(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

// Hashes one line from the pieces the blocks cut it into: its first
// MASKED_HEAD bytes masked, the rest as it stands.
class LineBuilder {
public:
    explicit LineBuilder(unsigned &masked) : masked_(masked) {}

    // A whole line held in one block, the common case: no copy.
    uint64_t whole(std::string_view line) {
        line = without_cr(line);
        if (line.size() > MASKED_HEAD) {
            add(line);
            return finish();
        }
        scratch_.clear();
        masked_ |= mask_line(line, scratch_);
        LineHasher hasher;
        hasher.feed(scratch_);
        return hasher.finish();
    }

    void add(std::string_view piece) {
        if (!streaming_) {
            if (head_.size() + piece.size() <= MASKED_HEAD) {
                head_.append(piece);
                return;
            }
            size_t take = MASKED_HEAD - head_.size();
            head_.append(piece.substr(0, take));
            piece.remove_prefix(take);
            scratch_.clear();
            masked_ |= mask_line(head_, scratch_);
            hasher_.feed(scratch_);
            streaming_ = true;
        }
        // A "\r" is held back until it is known not to end the line.
        if (held_cr_ && !piece.empty())
            hasher_.feed("\r"), held_cr_ = false;
        if (!piece.empty() && piece.back() == '\r')
            held_cr_ = true, piece.remove_suffix(1);
        hasher_.feed(piece);
    }

    uint64_t finish() {
        if (!streaming_) {
            scratch_.clear();
            masked_ |= mask_line(without_cr(head_), scratch_);
            hasher_.feed(scratch_);
        }
        uint64_t hash = hasher_.finish();
        hasher_ = LineHasher();
        head_.clear();
        streaming_ = held_cr_ = false;
        return hash;
    }

private:
    unsigned &masked_;
    std::string head_, scratch_;
    LineHasher hasher_;
    bool streaming_ = false, held_cr_ = false;
};

}  // namespace

struct LineStream::State {
    State(const lines::FileDescriptor &file, const lines::LineRange &range, size_t block, unsigned &masked)
        : reader(file, range, block), builder(masked) {}
    lines::LineReader reader;
    LineBuilder builder;
};

namespace {

lines::LineRange section_range(int64_t begin, int64_t end) {
    lines::LineRange range = lines::LineRange::starting_in(begin, end);
    range.finish_last_line = false;  // a section's range ends where its log ends
    return range;
}

}  // namespace

LineStream::LineStream(const lines::FileDescriptor &file, int64_t begin, int64_t end, size_t block,
                       unsigned &masked)
    : state_(std::make_unique<State>(file, section_range(begin, end), block, masked)) {}

LineStream::~LineStream() = default;

bool LineStream::next(uint64_t &hash, int64_t &start) {
    lines::LinePiece piece;
    while (state_->reader.next(piece)) {
        std::string_view text = piece.text;
        if (piece.first)
            start = piece.line_start;
        if (!piece.last) {
            state_->builder.add(text);
            continue;
        }
        if (!text.empty() && text.back() == '\n')
            text.remove_suffix(1);
        if (piece.first) {
            hash = state_->builder.whole(text);
        } else {
            state_->builder.add(text);
            hash = state_->builder.finish();
        }
        return true;
    }
    if (state_->reader.error())
        throw std::system_error(state_->reader.error(), std::generic_category());
    return false;
}

int64_t LineStream::position() const { return state_->reader.position(); }

SectionLines read_section_lines(const lines::FileDescriptor &file, int64_t begin, int64_t end, size_t block,
                                const std::atomic<bool> *cancel, size_t max_lines, size_t expected) {
    SectionLines lines;
    lines.hashes.reserve(expected);
    lines.starts.reserve(expected + 1);
    LineStream stream(file, begin, end, block, lines.masked);
    uint64_t hash;
    int64_t start;
    for (;;) {
        if ((cancel && cancel->load(std::memory_order_relaxed)) || lines.size() == max_lines) {
            lines.complete = false;
            break;
        }
        if (!stream.next(hash, start))
            break;
        lines.hashes.push_back(hash);
        lines.starts.push_back(start);
    }
    lines.starts.push_back(stream.position());
    return lines;
}

int64_t skip_lines(const lines::FileDescriptor &file, int64_t begin, int64_t end, size_t block, size_t count) {
    lines::LineReader reader(file, section_range(begin, end), block);
    lines::LinePiece piece;
    while (count && reader.next(piece))
        count -= piece.last;
    if (reader.error())
        throw std::system_error(reader.error(), std::generic_category());
    return reader.position();
}

std::string line_text(const lines::FileDescriptor &file, const SectionLines &lines, size_t index, size_t cap,
                      bool &cut) {
    int64_t from = lines.starts[index - lines.first], to = lines.starts[index - lines.first + 1];
    std::string text;
    text.resize(size_t(std::min<int64_t>(to - from, int64_t(cap) + 2)));
    int64_t got = file.read_at(text.data(), text.size(), from);
    if (got < 0)
        throw std::system_error(errno, std::generic_category());
    text.resize(size_t(got));
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty() && text.back() == '\r' && int64_t(text.size()) + 2 >= to - from)
        text.pop_back();
    cut = text.size() > cap;
    if (cut)
        text.resize(cap);
    return text;
}

}  // namespace tavix::line_diff
