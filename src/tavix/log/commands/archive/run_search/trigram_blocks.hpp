// The text side of the run search index: members cut into blocks of whole
// lines, and the distinct trigrams of each block's case-folded text.
//
// Folding is the viewer's search's: every well-formed character becomes the
// UTF-8 of its case key (case_fold.hpp), other bytes pass unchanged. A line
// that matches a query, with or without case, then holds the folded
// trigrams of the folded match, so one index serves both kinds of query.
// Trigrams never span a line end: no match does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bitmap.hpp"

namespace tavix::run_search {

// Three folded bytes, the first in bits 16..23.
using Trigram = uint32_t;
constexpr uint32_t kTrigramCount = uint32_t(1) << 24;

inline Trigram trigram_of(const unsigned char *p) { return Trigram(p[0]) << 16 | Trigram(p[1]) << 8 | p[2]; }

// `text` folded (a whole text: a character cut short at its end passes as
// bytes).
std::string fold_text(std::string_view text);

// A byte range of a member made of whole lines; a line longer than the
// block size is a block of its own.
struct TextBlock {
    uint32_t member = 0;
    uint64_t offset = 0;      // of its first byte in the member
    uint64_t first_line = 0;  // index of its first line in the member
    uint64_t length = 0;
};

struct PostingList {
    Trigram trigram;
    Bitmap blocks;  // indices into the block list
};

// Fed each member's bytes in order, cuts the blocks and collects, for every
// trigram, the blocks holding it. Needs no interpreter.
class TrigramBlockBuilder {
public:
    explicit TrigramBlockBuilder(size_t block_size);

    void begin_member(uint32_t member);
    void feed(const char *data, size_t size);
    void end_member();

    const std::vector<TextBlock> &blocks() const { return blocks_; }
    // The posting lists by trigram, once every member has ended.
    std::vector<PostingList> finish();

private:
    void cut_blocks(bool member_end);
    struct Collector;
    void scan(const unsigned char *p, size_t n, bool ends_text);
    void close_block();
    void flush_pairs();

    size_t block_size_;
    uint32_t member_ = 0;
    uint64_t member_offset_ = 0, member_line_ = 0;  // where pending_ starts
    std::string pending_;        // bytes not yet in a closed block
    bool in_long_line_ = false;  // the open block is one line longer than a block
    uint64_t open_length_ = 0, open_newlines_ = 0;  // of the open block so far

    // Folding and trigrams of the open block: the last folded bytes, how many
    // of them follow the last line end, and the start of a character the
    // next bytes finish.
    uint32_t window_ = 0;
    unsigned run_ = 0;
    std::string carry_;
    std::vector<uint64_t> seen_;      // the open block's trigrams, one bit each
    std::vector<Trigram> touched_;    // ... and as a list
    std::vector<uint64_t> pairs_;     // trigram << 32 | block, appended by block
    std::vector<PostingList> lists_;  // sorted by trigram
    std::vector<TextBlock> blocks_;
};

}  // namespace tavix::run_search
