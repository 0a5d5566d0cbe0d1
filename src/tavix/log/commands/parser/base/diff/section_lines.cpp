#include "section_lines.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
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

    bool idle() const { return head_.empty() && !streaming_; }

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

SectionLines read_section_lines(const lines::FileDescriptor &file, int64_t begin, int64_t end, size_t block,
                                const std::atomic<bool> *cancel) {
    SectionLines lines;
    LineBuilder builder(lines.masked);
    std::vector<char> buffer(std::max<size_t>(block, 1));
    int64_t position = begin, line_start = begin;
    bool in_line = false;
    while (position < end) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            break;
        size_t want = size_t(std::min<int64_t>(int64_t(buffer.size()), end - position));
        int64_t got = file.read_at(buffer.data(), want, position);
        if (got < 0)
            throw std::system_error(errno, std::generic_category());
        if (got == 0)
            break;
        const char *p = buffer.data(), *stop = p + got;
        while (p < stop) {
            if (!in_line) {
                line_start = position + (p - buffer.data());
                in_line = true;
            }
            auto newline = static_cast<const char *>(std::memchr(p, '\n', size_t(stop - p)));
            if (!newline) {
                builder.add({p, size_t(stop - p)});
                break;
            }
            std::string_view piece(p, size_t(newline - p));
            uint64_t hash;
            if (builder.idle()) {
                hash = builder.whole(piece);
            } else {
                builder.add(piece);
                hash = builder.finish();
            }
            lines.hashes.push_back(hash);
            lines.starts.push_back(line_start);
            in_line = false;
            p = newline + 1;
        }
        position += got;
    }
    if (in_line) {
        lines.hashes.push_back(builder.finish());
        lines.starts.push_back(line_start);
    }
    lines.starts.push_back(position);
    return lines;
}

std::string line_text(const lines::FileDescriptor &file, const SectionLines &lines, size_t index, size_t cap,
                      bool &cut) {
    int64_t from = lines.starts[index], to = lines.starts[index + 1];
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
