#include "trigram_blocks.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

#include <line_reader.hpp>

#include "../search/case_fold.hpp"
#include "../search/utf8.hpp"

namespace tavix::run_search {

namespace {

// Pairs held before they go into the bitmaps: 8 MiB.
constexpr size_t kPairBatch = size_t(1) << 20;

const std::array<unsigned char, 128> &ascii_fold() {
    static const std::array<unsigned char, 128> table = [] {
        std::array<unsigned char, 128> folded{};
        for (uint32_t c = 0; c < 128; ++c)
            folded[c] = (unsigned char)search::case_key(c);  // ASCII keys are ASCII
        return folded;
    }();
    return table;
}

// Folds p[0, n), handing each folded byte to `emit`; returns how many bytes it
// took: all, unless the bytes end with the start of a character that the next
// ones may finish and `ends_text` is false.
template <typename Emit>
size_t fold_bytes(const unsigned char *p, size_t n, bool ends_text, Emit &&emit) {
    const auto &ascii = ascii_fold();
    size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            emit(ascii[c]);
            ++i;
            continue;
        }
        bool whole;
        size_t length = lines::utf8_sequence(p + i, n - i, whole);
        if (whole) {
            uint32_t code = 0;
            search::decode_utf8(p + i, length, code);
            uint32_t key = search::case_key(code);
            if (key == code) {
                for (size_t k = 0; k < length; ++k)
                    emit(p[i + k]);
            } else {
                std::string spelled;  // short: no allocation
                search::append_utf8(spelled, key);
                for (char byte : spelled)
                    emit((unsigned char)byte);
            }
        } else {
            if (!ends_text && i + length == n && c >= 0xC2 && c <= 0xF4)
                return i;
            // Not a character: the bytes pass unchanged.
            for (size_t k = 0; k < length; ++k)
                emit(p[i + k]);
        }
        i += length;
    }
    return n;
}

void radix_sort_by_trigram(std::vector<uint64_t> &pairs) {
    std::vector<uint64_t> sorted(pairs.size());
    for (int shift = 32; shift < 56; shift += 8) {
        size_t counts[257] = {};
        for (uint64_t pair : pairs)
            ++counts[((pair >> shift) & 0xFF) + 1];
        for (int i = 0; i < 256; ++i)
            counts[i + 1] += counts[i];
        for (uint64_t pair : pairs)
            sorted[counts[(pair >> shift) & 0xFF]++] = pair;
        pairs.swap(sorted);
    }
}

}  // namespace

std::string fold_text(std::string_view text) {
    std::string folded;
    folded.reserve(text.size());
    fold_bytes(reinterpret_cast<const unsigned char *>(text.data()), text.size(), true,
               [&](unsigned char byte) { folded += char(byte); });
    return folded;
}

TrigramBlockBuilder::TrigramBlockBuilder(size_t block_size)
    : block_size_(std::max<size_t>(block_size, 1)), seen_(kTrigramCount / 64) {}

void TrigramBlockBuilder::begin_member(uint32_t member) {
    member_ = member;
    member_offset_ = 0;
    member_line_ = 0;
    pending_.clear();
    in_long_line_ = false;
}

// The hot loop of a build: locals rather than members, so that the window
// and the run stay in registers.
struct TrigramBlockBuilder::Collector {
    uint32_t window;
    unsigned run;
    uint64_t newlines = 0;
    uint64_t *seen;
    std::vector<Trigram> &touched;

    void add(unsigned char byte) {
        if (byte == '\n') {
            run = 0;
            ++newlines;
            return;
        }
        window = (window << 8 | byte) & (kTrigramCount - 1);
        run += run < 3;
        if (run == 3) {
            uint64_t &word = seen[window >> 6];
            uint64_t bit = uint64_t(1) << (window & 63);
            if (!(word & bit)) {
                word |= bit;
                touched.push_back(window);
            }
        }
    }
};

void TrigramBlockBuilder::scan(const unsigned char *p, size_t n, bool ends_text) {
    Collector collect{window_, run_, 0, seen_.data(), touched_};
    auto emit = [&collect](unsigned char byte) { collect.add(byte); };
    if (!carry_.empty()) {
        // Finish the character the last bytes started.
        size_t extra = std::min<size_t>(n, 4 - carry_.size());
        std::string joined = carry_ + std::string(reinterpret_cast<const char *>(p), extra);
        bool whole;
        size_t length = lines::utf8_sequence(reinterpret_cast<const unsigned char *>(joined.data()),
                                             joined.size(), whole);
        if (!whole && length == joined.size() && !ends_text) {
            carry_ = joined;
            return;
        }
        fold_bytes(reinterpret_cast<const unsigned char *>(joined.data()), length, true, emit);
        size_t taken = length - carry_.size();
        carry_.clear();
        p += taken;
        n -= taken;
    }
    size_t taken = fold_bytes(p, n, ends_text, emit);
    carry_.assign(reinterpret_cast<const char *>(p) + taken, n - taken);
    window_ = collect.window;
    run_ = collect.run;
    open_newlines_ += collect.newlines;
}

void TrigramBlockBuilder::close_block() {
    uint32_t block = uint32_t(blocks_.size());
    blocks_.push_back({member_, member_offset_, member_line_, open_length_});
    member_offset_ += open_length_;
    member_line_ += open_newlines_;
    open_length_ = 0;
    open_newlines_ = 0;
    window_ = 0;
    run_ = 0;
    carry_.clear();
    for (Trigram trigram : touched_) {
        seen_[trigram >> 6] = 0;
        pairs_.push_back(uint64_t(trigram) << 32 | block);
    }
    touched_.clear();
    if (pairs_.size() >= kPairBatch)
        flush_pairs();
}

void TrigramBlockBuilder::feed(const char *data, size_t size) {
    if (in_long_line_) {
        // The open block runs to the end of its line.
        const void *newline = std::memchr(data, '\n', size);
        size_t take = newline ? size_t(static_cast<const char *>(newline) - data) + 1 : size;
        scan(reinterpret_cast<const unsigned char *>(data), take, newline != nullptr);
        open_length_ += take;
        if (!newline)
            return;
        close_block();
        in_long_line_ = false;
        data += take;
        size -= take;
    }
    pending_.append(data, size);
    cut_blocks(false);
}

void TrigramBlockBuilder::cut_blocks(bool member_end) {
    size_t used = 0;
    while (used < pending_.size() && (member_end || pending_.size() - used >= block_size_)) {
        const char *p = pending_.data() + used;
        size_t available = pending_.size() - used;
        size_t length = available;
        if (available > block_size_ || !member_end) {
            size_t window = std::min(available, block_size_);
            if (const char *newline = lines::find_last_newline(p, window)) {
                length = size_t(newline - p) + 1;
            } else if (auto line_end = static_cast<const char *>(
                           std::memchr(p + window, '\n', available - window))) {
                length = size_t(line_end - p) + 1;  // a line longer than a block
            } else if (!member_end) {
                // A line longer than a block, not ended yet: it is scanned as
                // it comes rather than held.
                scan(reinterpret_cast<const unsigned char *>(p), available, false);
                open_length_ = available;
                in_long_line_ = true;
                used = pending_.size();
                break;
            }
        }
        scan(reinterpret_cast<const unsigned char *>(p), length, true);
        open_length_ = length;
        close_block();
        used += length;
    }
    pending_.erase(0, used);
}

void TrigramBlockBuilder::end_member() {
    if (in_long_line_) {
        scan(nullptr, 0, true);
        close_block();
        in_long_line_ = false;
    } else {
        cut_blocks(true);
    }
}

void TrigramBlockBuilder::flush_pairs() {
    radix_sort_by_trigram(pairs_);
    static_assert(sizeof(uint32_t) == sizeof(Trigram));
    std::unordered_map<Trigram, size_t> where;
    where.reserve(lists_.size());
    for (size_t i = 0; i < lists_.size(); ++i)
        where.emplace(lists_[i].trigram, i);
    std::vector<uint32_t> blocks;
    for (size_t i = 0; i < pairs_.size();) {
        Trigram trigram = Trigram(pairs_[i] >> 32);
        blocks.clear();
        for (; i < pairs_.size() && Trigram(pairs_[i] >> 32) == trigram; ++i)
            blocks.push_back(uint32_t(pairs_[i]));
        auto found = where.find(trigram);
        if (found == where.end()) {
            found = where.emplace(trigram, lists_.size()).first;
            lists_.push_back({trigram, Bitmap()});
        }
        roaring_bitmap_add_many(lists_[found->second].blocks.get(), blocks.size(), blocks.data());
    }
    pairs_.clear();
}

std::vector<PostingList> TrigramBlockBuilder::finish() {
    flush_pairs();
    std::sort(lists_.begin(), lists_.end(),
              [](const PostingList &a, const PostingList &b) { return a.trigram < b.trigram; });
    for (PostingList &list : lists_) {
        roaring_bitmap_run_optimize(list.blocks.get());
        roaring_bitmap_shrink_to_fit(list.blocks.get());
    }
    return std::move(lists_);
}

}  // namespace tavix::run_search
