#include "run_search.hpp"

#include <algorithm>
#include <set>

#include "inflate_points.hpp"

namespace tavix::run_search {

namespace {

// A batch also closes at this much hit text, however few hits it holds.
constexpr size_t kBatchBytes = size_t(8) << 20;
// Batches waiting for the reader before the search waits for it.
constexpr size_t kBatchesAhead = 2;

Bitmap candidate_blocks(const TrigramQuery &filter, const SearchIndex &index) {
    switch (filter.kind) {
        case TrigramQuery::All:
            return Bitmap::range(index.block_count());
        case TrigramQuery::None:
            return Bitmap();
        case TrigramQuery::Holds:
            return index.postings(filter.trigram);
        case TrigramQuery::And: {
            Bitmap all = candidate_blocks(filter.children.front(), index);
            for (size_t i = 1; i < filter.children.size() && !roaring_bitmap_is_empty(all.get()); ++i) {
                Bitmap part = candidate_blocks(filter.children[i], index);
                roaring_bitmap_and_inplace(all.get(), part.get());
            }
            return all;
        }
        case TrigramQuery::Or: {
            Bitmap any;
            for (const TrigramQuery &child : filter.children) {
                Bitmap part = candidate_blocks(child, index);
                roaring_bitmap_or_inplace(any.get(), part.get());
            }
            return any;
        }
    }
    return Bitmap();
}

uint32_t blocks_of_size(uint64_t size) {
    return uint32_t(std::min<uint64_t>((size + kDefaultBlockSize - 1) / kDefaultBlockSize, UINT32_MAX));
}

}  // namespace

// ----------------------------------------------------------------- building --

BuildSummary build_search_index(ByteSource &source, const std::vector<std::string> &names,
                                const std::string &target, const std::string &metadata, size_t block_size,
                                const std::atomic<bool> *cancel) {
    if (std::set<std::string>(names.begin(), names.end()).size() != names.size())
        throw ZipFormatError("a member named twice");
    std::vector<ZipMember> zip_members = read_zip_members(source, names);
    TrigramBlockBuilder builder(block_size);
    IndexContents contents;
    BuildSummary summary;
    for (uint32_t m = 0; m < zip_members.size(); ++m) {
        IndexedMember member;
        member.zip = zip_members[m];
        member.first_block = uint32_t(builder.blocks().size());
        builder.begin_member(m);
        stream_member(
            source, member.zip, kAccessSpan, [&](const char *data, size_t size) { builder.feed(data, size); },
            [&](AccessPoint &&point) { member.points.push_back(std::move(point)); }, cancel);
        builder.end_member();
        member.block_count = uint32_t(builder.blocks().size()) - member.first_block;
        summary.bytes += member.zip.size;
        summary.access_points += member.points.size();
        contents.members.push_back(std::move(member));
    }
    contents.blocks = builder.blocks();
    contents.postings = builder.finish();
    contents.metadata = metadata;
    std::string bytes = encode_index(contents);
    write_index_file(target, bytes);
    summary.members = contents.members.size();
    summary.blocks = contents.blocks.size();
    summary.index_bytes = bytes.size();
    return summary;
}

// ---------------------------------------------------------------- the archive --

RunArchive::RunArchive(std::unique_ptr<ByteSource> source, std::shared_ptr<const SearchIndex> index)
    : source_(std::move(source)), index_(std::move(index)) {
    if (!index_) {
        for (ZipMember &member : read_zip_members(*source_))
            if (member.name.empty() || member.name.back() != '/')
                members_.push_back(std::move(member));
        return;
    }
    std::vector<std::string> names;
    for (const IndexedMember &member : index_->members())
        names.push_back(member.zip.name);
    try {
        members_ = read_zip_members(*source_, names);
    } catch (const ZipFormatError &e) {
        // A member the index names is not in the zip.
        throw SearchIndexError(std::string("the search index is not of this zip: ") + e.what());
    }
    index_->check_matches(members_);
}

// ------------------------------------------------------------------ searching --

RunSearch::RunSearch(std::shared_ptr<const RunArchive> archive, std::unique_ptr<search::Matcher> matcher,
                     TrigramQuery filter, std::vector<uint32_t> members, size_t limit,
                     std::shared_ptr<std::atomic<bool>> cancel, std::shared_ptr<SearchCounters> counters)
    : archive_(std::move(archive)), matcher_(std::move(matcher)), filter_(std::move(filter)),
      members_(std::move(members)), limit_(std::max<size_t>(limit, 1)), cancel_(std::move(cancel)),
      counters_(std::move(counters)) {
    uint64_t total = 0;
    for (uint32_t member : members_)
        total += archive_->indexed() ? archive_->index()->members()[member].block_count
                                     : blocks_of_size(archive_->members()[member].size);
    counters_->blocks_total = total;
}

RunSearch::~RunSearch() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable())
        worker_.join();
}

bool RunSearch::next(std::vector<MemberHit> &hits) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!started_) {
        started_ = true;
        worker_ = std::thread([this] { search_all(); });
    }
    auto cancelled = [&] { return cancel_ && cancel_->load(std::memory_order_relaxed); };
    changed_.wait(lock, [&] { return !ready_.empty() || finished_ || cancelled(); });
    if (cancelled()) {
        // What was found before is not wanted either; the worker stops at its
        // next piece, or now if it waits for this reader.
        ready_.clear();
        stopped_ = true;
        changed_.notify_all();
        return false;
    }
    if (!ready_.empty()) {
        hits = std::move(ready_.front());
        ready_.pop_front();
        changed_.notify_all();
        return true;
    }
    if (error_)
        std::rethrow_exception(std::exchange(error_, nullptr));
    return false;
}

std::vector<RunSearch::Read> RunSearch::reads_of(uint32_t member) const {
    std::vector<Read> reads;
    const ZipMember &zip = archive_->members()[member];
    if (!archive_->indexed()) {
        Run whole;
        whole.end = zip.size;
        whole.end_block = blocks_of_size(whole.end);
        reads.push_back({0, whole.end, {whole}});
        return reads;
    }
    const SearchIndex &index = *archive_->index();
    const IndexedMember &indexed = index.members()[member];
    std::vector<Run> runs;
    roaring_uint32_iterator_t *blocks = roaring_iterator_create(candidates_.get());
    if (!blocks)
        throw std::bad_alloc();
    roaring_uint32_iterator_move_equalorlarger(blocks, indexed.first_block);
    for (; blocks->has_value && blocks->current_value < indexed.first_block + indexed.block_count;
         roaring_uint32_iterator_advance(blocks)) {
        uint32_t b = blocks->current_value;
        const TextBlock &block = index.block(b);
        if (!runs.empty() && runs.back().end_block == b) {
            runs.back().end = block.offset + block.length;
            runs.back().end_block = b + 1;
            continue;
        }
        runs.push_back({block.offset, block.offset + block.length, block.first_line, b, b + 1});
    }
    roaring_uint32_iterator_free(blocks);

    const std::vector<AccessPoint> &points = indexed.points;
    for (const Run &run : runs) {
        if (!reads.empty() && zip.method == kDeflated) {
            // The point a new read would start from.
            auto after = std::upper_bound(points.begin(), points.end(), run.begin,
                                          [](uint64_t at, const AccessPoint &point) { return at < point.out_offset; });
            uint64_t start = after == points.begin() ? 0 : std::prev(after)->out_offset;
            if (start <= reads.back().end) {
                reads.back().end = run.end;
                reads.back().runs.push_back(run);
                continue;
            }
        }
        reads.push_back({run.begin, run.end, {run}});
    }
    return reads;
}

bool RunSearch::stopping() const { return stopped_ || (cancel_ && cancel_->load(std::memory_order_relaxed)); }

void RunSearch::search_all() {
    try {
        if (archive_->indexed())
            candidates_ = candidate_blocks(filter_, *archive_->index());
        for (uint32_t member : members_) {
            for (const Read &read : reads_of(member)) {
                if (stopping())
                    throw Cancelled();
                search_read(member, read);
            }
        }
    } catch (const Cancelled &) {
        // The reader has gone or was told to stop: the hits so far are not wanted.
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!batch_.empty() && !error_ && !stopped_)
        ready_.push_back(std::move(batch_));
    finished_ = true;
    changed_.notify_all();
}

void RunSearch::search_read(uint32_t member, const Read &read) {
    const ZipMember &zip = archive_->members()[member];
    const bool indexed = archive_->indexed();
    InflateCounters work;
    uint64_t published_in = 0, published_out = 0;
    size_t current = 0;                                 // the run being searched or next
    uint32_t next_block = read.runs.front().first_block;  // the first block not wholly read
    uint64_t position = read.begin;                     // of the next byte inflated
    std::unique_ptr<search::StreamedSearch> search;

    auto publish = [&] {
        counters_->compressed_bytes_read += work.compressed_bytes_read - published_in;
        counters_->bytes_inflated += work.bytes_inflated - published_out;
        published_in = work.compressed_bytes_read;
        published_out = work.bytes_inflated;
        if (current >= read.runs.size())
            return;
        const Run &run = read.runs[current];
        uint32_t read_blocks = next_block;
        if (position < run.begin)
            return;
        if (indexed)
            while (read_blocks < run.end_block) {
                const TextBlock &block = archive_->index()->block(read_blocks);
                if (block.offset + block.length > position)
                    break;
                ++read_blocks;
            }
        else
            read_blocks = uint32_t(position / kDefaultBlockSize);
        counters_->blocks_read += read_blocks - next_block;
        next_block = read_blocks;
    };
    auto end_run = [&] {
        search->finish();
        deliver(member, search->hits());
        search.reset();
        counters_->blocks_read += read.runs[current].end_block - next_block;
        if (++current < read.runs.size())
            next_block = read.runs[current].first_block;
    };
    auto sink = [&](const char *data, size_t size) {
        if (stopped_)
            throw Cancelled();
        while (size > 0 && current < read.runs.size()) {
            const Run &run = read.runs[current];
            if (position < run.begin) {
                // Between two runs: inflated, not searched.
                size_t skip = size_t(std::min<uint64_t>(size, run.begin - position));
                data += skip;
                size -= skip;
                position += skip;
                continue;
            }
            if (!search)
                search = std::make_unique<search::StreamedSearch>(*matcher_, int64_t(run.begin),
                                                                  int64_t(run.first_line), run.begin > 0 ? '\n' : -1);
            size_t take = size_t(std::min<uint64_t>(size, run.end - position));
            search->feed(data, take);
            data += take;
            size -= take;
            position += take;
            deliver(member, search->hits());
            if (position == run.end)
                end_run();
        }
        publish();
    };
    if (indexed)
        read_member_range(archive_->source(), zip, archive_->index()->members()[member].points, read.begin,
                          read.end, sink, cancel_.get(), &work);
    else
        // One pass from the start: no access points are kept.
        stream_member(archive_->source(), zip, UINT64_MAX, sink, [](AccessPoint &&) {}, cancel_.get(), &work);
    // A member that ends short of the run (an empty one, say) ends it here.
    if (current < read.runs.size()) {
        if (!search)
            search = std::make_unique<search::StreamedSearch>(*matcher_, int64_t(read.runs[current].begin),
                                                              int64_t(read.runs[current].first_line), -1);
        end_run();
    }
    publish();
}

void RunSearch::deliver(uint32_t member, std::vector<search::Hit> &hits) {
    for (search::Hit &hit : hits) {
        if (int64_t(member) == last_member_ && hit.line == last_line_)
            continue;
        last_member_ = member;
        last_line_ = hit.line;
        batch_bytes_ += hit.text.size();
        batch_.push_back({member, std::move(hit)});
        if (batch_.size() >= limit_ || batch_bytes_ >= kBatchBytes)
            close_batch();
    }
    hits.clear();
}

void RunSearch::close_batch() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return ready_.size() < kBatchesAhead || stopped_; });
    if (stopped_)
        throw Cancelled();
    ready_.push_back(std::move(batch_));
    batch_.clear();
    batch_bytes_ = 0;
    changed_.notify_all();
}

}  // namespace tavix::run_search
