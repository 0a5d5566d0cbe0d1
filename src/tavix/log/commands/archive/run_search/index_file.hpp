// The search index file of a run's zip: its members (names, sizes, CRCs),
// their inflate access points, the blocks of their text, the trigram
// dictionary with a Roaring posting list per trigram, and the caller's opaque
// metadata.
//
// Layout (little-endian): a fixed header (magic, format version, chunk size,
// body size, the sections' places in the body, a CRC-32 of the header and of
// the chunk table), the table of CRC-32s of the body's 64 KiB chunks, then
// the body. A reader maps the file and checks each chunk the first time it
// touches it, so opening costs what is read, not the file's size; every
// offset and count is checked against what holds it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bitmap.hpp"
#include "inflate_points.hpp"
#include "trigram_blocks.hpp"
#include "zip_members.hpp"

namespace tavix::run_search {

inline constexpr uint32_t kIndexFormatVersion = 1;

// An index that is damaged, truncated, of another format version, or not of
// the zip it is used with.
struct SearchIndexError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct IndexedMember {
    ZipMember zip;                     // name, size, compressed size and CRC as indexed
    uint32_t first_block = 0, block_count = 0;
    std::vector<AccessPoint> points;
};

// What a build wrote, for writing.
struct IndexContents {
    std::vector<IndexedMember> members;
    std::vector<TextBlock> blocks;
    std::vector<PostingList> postings;  // by trigram
    std::string metadata;
};

// The file's bytes.
std::string encode_index(const IndexContents &contents);

// Writes `bytes` to a new file beside `path`, then renames it over `path`;
// OSError (as SourceError) when that fails.
void write_index_file(const std::string &path, const std::string &bytes);

class SearchIndex {
public:
    // Read from a file (mapped) or from bytes held in memory.
    static std::shared_ptr<const SearchIndex> open_file(const std::string &path);
    static std::shared_ptr<const SearchIndex> from_bytes(std::string bytes);
    ~SearchIndex();
    SearchIndex(const SearchIndex &) = delete;
    SearchIndex &operator=(const SearchIndex &) = delete;

    const std::vector<IndexedMember> &members() const { return members_; }
    uint32_t block_count() const { return uint32_t(blocks_.size()); }
    const TextBlock &block(uint32_t index) const { return blocks_[index]; }
    // The blocks holding `trigram` (empty when none does).
    Bitmap postings(Trigram trigram) const;
    std::string_view metadata() const { return metadata_; }

    // SearchIndexError unless the zip's members of these names have the sizes
    // and CRCs indexed.
    void check_matches(const std::vector<ZipMember> &zip_members) const;

private:
    SearchIndex() = default;
    void parse();
    // `length` bytes at `offset` of the body, their chunks checked.
    std::string_view body(uint64_t offset, uint64_t length) const;
    std::string_view section(int which) const;

    std::string held_;                 // from_bytes
    void *mapped_ = nullptr;           // open_file
    std::string_view file_;
    uint64_t body_start_ = 0, body_size_ = 0, chunk_size_ = 0;
    std::string_view chunk_crcs_;
    std::unique_ptr<std::atomic<bool>[]> chunk_checked_;
    struct Place {
        uint64_t offset = 0, length = 0;
    } sections_[6];

    std::vector<IndexedMember> members_;
    std::vector<TextBlock> blocks_;
    std::string_view dictionary_;
    std::string metadata_;
};

}  // namespace tavix::run_search
