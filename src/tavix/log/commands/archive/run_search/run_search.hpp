// Searching a run's zip for lines: building its search index, and a search
// that reads only the blocks the index picks (every block without one),
// straight from the compressed members, and confirms each line with the
// viewer's matcher. None of it touches the interpreter, except through a
// Python byte source.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../search/matcher.hpp"
#include "../search/searcher.hpp"
#include "byte_source.hpp"
#include "index_file.hpp"
#include "query_trigrams.hpp"
#include "zip_members.hpp"

namespace tavix::run_search {

// Blocks of this much text keep the index within a quarter of the zip for
// task logs while a rare line costs reading a few of them.
inline constexpr size_t kDefaultBlockSize = size_t(128) << 10;
// An access point about every this much output: a block read from a point
// inflates half of it, on average, before its first byte. Each point keeps
// a compressed window of some 3 KB: at this span the points of a generated
// nightly log are about half of its index, 7 % of the zip, and a rare line is
// read twice as fast as at 1 MiB.
inline constexpr uint64_t kAccessSpan = uint64_t(256) << 10;

struct BuildSummary {
    uint64_t members = 0, blocks = 0, bytes = 0, index_bytes = 0, access_points = 0;
};

// Indexes the members named (in that order) and writes the index to `target`
// (beside it first, then renamed). ZipFormatError for a zip that is not one,
// a missing member or damaged data; SourceError when reading or writing
// fails; Cancelled once `cancel` is set.
BuildSummary build_search_index(ByteSource &source, const std::vector<std::string> &members,
                                const std::string &target, const std::string &metadata, size_t block_size,
                                const std::atomic<bool> *cancel);

// A zip and, when it has one, its search index, checked to be of each other.
class RunArchive {
public:
    // `index` null: searched the slow way, every member of the zip.
    RunArchive(std::unique_ptr<ByteSource> source, std::shared_ptr<const SearchIndex> index);

    const std::vector<ZipMember> &members() const { return members_; }
    bool indexed() const { return index_ != nullptr; }
    const SearchIndex *index() const { return index_.get(); }
    ByteSource &source() const { return *source_; }

private:
    std::unique_ptr<ByteSource> source_;
    std::shared_ptr<const SearchIndex> index_;
    std::vector<ZipMember> members_;
};

// The work of the latest search, read while it runs.
struct SearchCounters {
    std::atomic<uint64_t> blocks_total{0}, blocks_read{0}, bytes_inflated{0}, compressed_bytes_read{0};
};

struct MemberHit {
    uint32_t member;  // index into RunArchive::members()
    search::Hit hit;
};

// One search, run by a thread of its own ahead of its reader by at most two
// batches of hits. Ends at the last member, on an error (handed to the
// reader), once `cancel` is set, or when it is dropped.
class RunSearch {
public:
    // `members`: indices into the archive's members, in its order.
    RunSearch(std::shared_ptr<const RunArchive> archive, std::unique_ptr<search::Matcher> matcher,
              TrigramQuery filter, std::vector<uint32_t> members, size_t limit, std::shared_ptr<std::atomic<bool>> cancel,
              std::shared_ptr<SearchCounters> counters);
    ~RunSearch();
    RunSearch(const RunSearch &) = delete;
    RunSearch &operator=(const RunSearch &) = delete;

    // The next hits (at most `limit`, in member order, then by offset, each
    // line once); false at the end. Rethrows the search's error. Waits, so
    // call it with the GIL released.
    bool next(std::vector<MemberHit> &hits);

private:
    // Consecutive blocks [first_block, end_block), searched as one text;
    // without an index, a whole member, counted in blocks of kDefaultBlockSize.
    struct Run {
        uint64_t begin = 0, end = 0, first_line = 0;
        uint32_t first_block = 0, end_block = 0;
    };
    // Runs inflated in one go, [begin, end): those with no access point
    // between them, where reading on costs less than starting again.
    struct Read {
        uint64_t begin = 0, end = 0;
        std::vector<Run> runs;
    };
    std::vector<Read> reads_of(uint32_t member) const;
    void search_all();
    void search_read(uint32_t member, const Read &read);
    void deliver(uint32_t member, std::vector<search::Hit> &hits);
    void close_batch();
    bool stopping() const;

    std::shared_ptr<const RunArchive> archive_;
    std::unique_ptr<search::Matcher> matcher_;
    TrigramQuery filter_;
    std::vector<uint32_t> members_;
    size_t limit_;
    std::shared_ptr<std::atomic<bool>> cancel_;
    std::shared_ptr<SearchCounters> counters_;
    Bitmap candidates_;  // of the index's blocks, made by the worker

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<MemberHit>> ready_;  // batches for the reader
    std::vector<MemberHit> batch_;              // being filled
    size_t batch_bytes_ = 0;
    bool finished_ = false;
    std::exception_ptr error_;
    std::atomic<bool> stopped_{false};  // the reader has gone, or saw the cancel flag set
    bool started_ = false;
    // The last line handed on: a line longer than the matcher's block may
    // match in several of its pieces.
    int64_t last_member_ = -1, last_line_ = -1;
    std::thread worker_;
};

}  // namespace tavix::run_search
