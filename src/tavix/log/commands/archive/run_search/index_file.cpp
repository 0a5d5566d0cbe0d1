#include "index_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "byte_source.hpp"

namespace tavix::run_search {

namespace {

constexpr char kMagic[8] = {'T', 'V', 'X', 'R', 'U', 'N', 'S', 'I'};
constexpr uint64_t kHeaderSize = 128, kCrcAt = 120;
constexpr uint32_t kChunkSize = 65536;
constexpr int kSections = 6;
enum Section { kMembers, kAccessPoints, kBlocks, kDictionary, kPostings, kMetadata };
constexpr uint64_t kBlockRecord = 24, kEntryRecord = 12;

[[noreturn]] void damaged(const std::string &what) { throw SearchIndexError("damaged search index: " + what); }

uint32_t crc_of(std::string_view bytes, uint32_t crc = 0) {
    // zlib takes at most 4 GiB a call.
    while (!bytes.empty()) {
        size_t piece = std::min<size_t>(bytes.size(), size_t(1) << 30);
        crc = uint32_t(crc32(crc, reinterpret_cast<const Bytef *>(bytes.data()), uInt(piece)));
        bytes.remove_prefix(piece);
    }
    return crc;
}

void put_u16(std::string &out, uint16_t value) {
    for (int i = 0; i < 2; ++i)
        out += char(value >> (8 * i));
}
void put_u32(std::string &out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out += char(value >> (8 * i));
}
void put_u64(std::string &out, uint64_t value) {
    for (int i = 0; i < 8; ++i)
        out += char(value >> (8 * i));
}

uint64_t load(const char *p, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | uint8_t(p[i]);
    return value;
}

// Reads fields off the front of a checked piece of the file.
class Fields {
public:
    Fields(std::string_view bytes, const char *what) : bytes_(bytes), what_(what) {}
    uint16_t u16() { return uint16_t(load(take(2), 2)); }
    uint32_t u32() { return uint32_t(load(take(4), 4)); }
    uint64_t u64() { return load(take(8), 8); }
    std::string_view bytes(uint64_t n) {
        if (n > bytes_.size())
            damaged(std::string(what_) + " cut short");
        std::string_view piece = bytes_.substr(0, size_t(n));
        bytes_.remove_prefix(size_t(n));
        return piece;
    }
    bool done() const { return bytes_.empty(); }

private:
    const char *take(size_t n) { return bytes(n).data(); }
    std::string_view bytes_;
    const char *what_;
};

}  // namespace

// ------------------------------------------------------------------ writing --

std::string encode_index(const IndexContents &contents) {
    std::string parts[kSections];
    for (const IndexedMember &member : contents.members) {
        std::string points;
        write_access_points(points, member.points);
        std::string &out = parts[kMembers];
        put_u32(out, uint32_t(member.zip.name.size()));
        out += member.zip.name;
        put_u64(out, member.zip.size);
        put_u64(out, member.zip.compressed_size);
        put_u32(out, member.zip.crc32);
        put_u16(out, member.zip.method);
        put_u16(out, 0);
        put_u32(out, member.first_block);
        put_u32(out, member.block_count);
        put_u64(out, parts[kAccessPoints].size());
        put_u64(out, points.size());
        parts[kAccessPoints] += points;
    }
    std::string header_count;
    put_u32(header_count, uint32_t(contents.members.size()));
    parts[kMembers].insert(0, header_count);

    for (const TextBlock &block : contents.blocks) {
        put_u64(parts[kBlocks], block.offset);
        put_u64(parts[kBlocks], block.first_line);
        put_u64(parts[kBlocks], block.length);
    }
    for (const PostingList &list : contents.postings) {
        put_u32(parts[kDictionary], list.trigram);
        if (list.blocks.cardinality() == 1) {
            // One block: held in the entry itself.
            put_u32(parts[kDictionary], roaring_bitmap_minimum(list.blocks.get()));
            put_u32(parts[kDictionary], 0);
            continue;
        }
        std::string serialised(roaring_bitmap_portable_size_in_bytes(list.blocks.get()), '\0');
        roaring_bitmap_portable_serialize(list.blocks.get(), serialised.data());
        put_u32(parts[kDictionary], uint32_t(parts[kPostings].size()));
        put_u32(parts[kDictionary], uint32_t(serialised.size()));
        parts[kPostings] += serialised;
    }
    parts[kMetadata] = contents.metadata;

    std::string body;
    uint64_t places[kSections][2];
    for (int i = 0; i < kSections; ++i) {
        places[i][0] = body.size();
        places[i][1] = parts[i].size();
        body += parts[i];
    }
    std::string chunk_crcs;
    for (uint64_t at = 0; at < body.size(); at += kChunkSize)
        put_u32(chunk_crcs, crc_of(std::string_view(body).substr(size_t(at), kChunkSize)));

    std::string file(kMagic, sizeof kMagic);
    put_u32(file, kIndexFormatVersion);
    put_u32(file, kChunkSize);
    put_u64(file, body.size());
    for (auto &place : places) {
        put_u64(file, place[0]);
        put_u64(file, place[1]);
    }
    put_u32(file, crc_of(chunk_crcs, crc_of(file)));
    put_u32(file, 0);
    file += chunk_crcs;
    file += body;
    return file;
}

void write_index_file(const std::string &path, const std::string &bytes) {
    std::string temporary = path + ".XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        throw SourceError(path, errno);
    auto fail = [&](int error) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw SourceError(temporary, error);
    };
    for (size_t written = 0; written < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(errno);
        written += size_t(n);
    }
    if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0)
        fail(errno);
    if (::close(fd) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        throw SourceError(temporary, error);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        throw SourceError(path, error);
    }
}

// ------------------------------------------------------------------ reading --

std::shared_ptr<const SearchIndex> SearchIndex::open_file(const std::string &path) {
    int fd;
    do
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        throw SourceError(path, errno);
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        int error = errno;
        ::close(fd);
        throw SourceError(path, error);
    }
    if (!S_ISREG(info.st_mode) || uint64_t(info.st_size) < kHeaderSize) {
        ::close(fd);
        if (!S_ISREG(info.st_mode))
            throw SourceError(path, EINVAL);
        damaged("shorter than its header");
    }
    void *mapped = ::mmap(nullptr, size_t(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    int error = errno;
    ::close(fd);
    if (mapped == MAP_FAILED)
        throw SourceError(path, error);
    std::shared_ptr<SearchIndex> index(new SearchIndex());
    index->mapped_ = mapped;
    index->file_ = std::string_view(static_cast<const char *>(mapped), size_t(info.st_size));
    index->parse();
    return index;
}

std::shared_ptr<const SearchIndex> SearchIndex::from_bytes(std::string bytes) {
    std::shared_ptr<SearchIndex> index(new SearchIndex());
    index->held_ = std::move(bytes);
    index->file_ = index->held_;
    index->parse();
    return index;
}

SearchIndex::~SearchIndex() {
    if (mapped_)
        ::munmap(mapped_, file_.size());
}

std::string_view SearchIndex::body(uint64_t offset, uint64_t length) const {
    if (offset > body_size_ || length > body_size_ - offset)
        damaged("a place beyond its end");
    if (length == 0)
        return {};
    for (uint64_t chunk = offset / chunk_size_; chunk <= (offset + length - 1) / chunk_size_; ++chunk) {
        if (chunk_checked_[chunk].load(std::memory_order_acquire))
            continue;
        uint64_t begin = chunk * chunk_size_;
        std::string_view bytes = file_.substr(size_t(body_start_ + begin),
                                              size_t(std::min(chunk_size_, body_size_ - begin)));
        if (crc_of(bytes) != uint32_t(load(chunk_crcs_.data() + 4 * chunk, 4)))
            damaged("its bytes are not those written");
        chunk_checked_[chunk].store(true, std::memory_order_release);
    }
    return file_.substr(size_t(body_start_ + offset), size_t(length));
}

std::string_view SearchIndex::section(int which) const {
    return body(sections_[which].offset, sections_[which].length);
}

void SearchIndex::parse() {
    if (file_.size() < sizeof kMagic || std::memcmp(file_.data(), kMagic, sizeof kMagic) != 0)
        throw SearchIndexError("not a search index");
    if (file_.size() < kHeaderSize)
        damaged("shorter than its header");
    uint32_t version = uint32_t(load(file_.data() + 8, 4));
    if (version != kIndexFormatVersion)
        throw SearchIndexError("search index of format version " + std::to_string(version) +
                               ", this reader reads version " + std::to_string(kIndexFormatVersion));
    chunk_size_ = load(file_.data() + 12, 4);
    body_size_ = load(file_.data() + 16, 8);
    if (chunk_size_ < 4096 || chunk_size_ > (uint64_t(1) << 24) || body_size_ > file_.size())
        damaged("a header that does not fit");
    uint64_t chunks = (body_size_ + chunk_size_ - 1) / chunk_size_;
    if (file_.size() != kHeaderSize + 4 * chunks + body_size_)
        damaged("truncated or extended: " + std::to_string(file_.size()) + " bytes");
    chunk_crcs_ = file_.substr(kHeaderSize, size_t(4 * chunks));
    if (crc_of(chunk_crcs_, crc_of(file_.substr(0, kCrcAt))) != uint32_t(load(file_.data() + kCrcAt, 4)))
        damaged("its header is not the one written");
    body_start_ = kHeaderSize + 4 * chunks;
    chunk_checked_.reset(new std::atomic<bool>[size_t(chunks)]);
    for (uint64_t i = 0; i < chunks; ++i)
        chunk_checked_[i].store(false, std::memory_order_relaxed);
    for (int i = 0; i < kSections; ++i) {
        sections_[i].offset = load(file_.data() + 24 + 16 * i, 8);
        sections_[i].length = load(file_.data() + 32 + 16 * i, 8);
        if (sections_[i].offset > body_size_ || sections_[i].length > body_size_ - sections_[i].offset)
            damaged("a section beyond its end");
    }

    std::string_view points_section = section(kAccessPoints);
    std::string_view block_section = section(kBlocks);
    if (block_section.size() % kBlockRecord != 0)
        damaged("a block table cut short");
    const uint64_t block_count = block_section.size() / kBlockRecord;
    if (block_count > UINT32_MAX)
        damaged("too many blocks");
    Fields blocks(block_section, "the block table");

    Fields fields(section(kMembers), "the member table");
    uint32_t member_count = fields.u32();
    uint64_t next_block = 0;
    for (uint32_t m = 0; m < member_count; ++m) {
        IndexedMember member;
        member.zip.name = std::string(fields.bytes(fields.u32()));
        member.zip.size = fields.u64();
        member.zip.compressed_size = fields.u64();
        member.zip.crc32 = fields.u32();
        member.zip.method = fields.u16();
        fields.u16();
        member.first_block = fields.u32();
        member.block_count = fields.u32();
        uint64_t points_offset = fields.u64(), points_length = fields.u64();
        if (member.first_block != next_block || member.block_count > block_count - next_block)
            damaged("blocks that do not follow their members");
        next_block += member.block_count;
        if (points_offset > points_section.size() || points_length > points_section.size() - points_offset)
            damaged("access points beyond their section");
        std::string_view points = points_section.substr(size_t(points_offset), size_t(points_length));
        try {
            member.points = read_access_points(points);
        } catch (const ZipFormatError &e) {
            damaged(std::string("access points: ") + e.what());
        }
        if (!points.empty())
            damaged("access points followed by other bytes");
        uint64_t before = 0;
        for (const AccessPoint &point : member.points) {
            if (point.out_offset < before || point.out_offset > member.zip.size ||
                point.in_offset > member.zip.compressed_size || point.bits < 0 || point.bits > 7)
                damaged("access points that do not fit their member");
            before = point.out_offset;
        }
        // The blocks cover the member in order, each of whole lines.
        uint64_t offset = 0, line = 0;
        for (uint32_t b = 0; b < member.block_count; ++b) {
            TextBlock block;
            block.member = m;
            block.offset = blocks.u64();
            block.first_line = blocks.u64();
            block.length = blocks.u64();
            if (block.offset != offset || block.length == 0 || block.length > member.zip.size - offset ||
                block.first_line < line)
                damaged("blocks that do not cover their member");
            offset += block.length;
            line = block.first_line + 1;
            if (block.first_line > block.offset)
                damaged("more lines than bytes");
            blocks_.push_back(block);
        }
        if (offset != member.zip.size)
            damaged("blocks that do not cover their member");
        members_.push_back(std::move(member));
    }
    if (!fields.done() || next_block != block_count)
        damaged("a member table that does not fit its blocks");
    dictionary_ = section(kDictionary);
    if (dictionary_.size() % kEntryRecord != 0)
        damaged("a trigram dictionary cut short");
    std::string_view metadata = section(kMetadata);
    metadata_.assign(metadata.data(), metadata.size());
}

Bitmap SearchIndex::postings(Trigram trigram) const {
    // Entries are checked as the binary search reaches them.
    size_t low = 0, high = size_t(sections_[kDictionary].length / kEntryRecord);
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        std::string_view entry = body(sections_[kDictionary].offset + middle * kEntryRecord, kEntryRecord);
        uint32_t found = uint32_t(load(entry.data(), 4));
        if (found < trigram) {
            low = middle + 1;
            continue;
        }
        if (found > trigram) {
            high = middle;
            continue;
        }
        uint32_t offset = uint32_t(load(entry.data() + 4, 4)), length = uint32_t(load(entry.data() + 8, 4));
        Bitmap blocks;
        if (length == 0) {
            if (offset >= block_count())
                damaged("a posting beyond the blocks");
            roaring_bitmap_add(blocks.get(), offset);
            return blocks;
        }
        if (offset > sections_[kPostings].length || length > sections_[kPostings].length - offset)
            damaged("a posting list beyond its section");
        std::string_view bytes = body(sections_[kPostings].offset + offset, length);
        roaring_bitmap_t *read = roaring_bitmap_portable_deserialize_safe(bytes.data(), bytes.size());
        if (!read)
            damaged("a posting list that does not read");
        Bitmap list(read);
        const char *reason = nullptr;
        if (roaring_bitmap_portable_deserialize_size(bytes.data(), bytes.size()) != bytes.size() ||
            !roaring_bitmap_internal_validate(list.get(), &reason) ||
            (!roaring_bitmap_is_empty(list.get()) && roaring_bitmap_maximum(list.get()) >= block_count()))
            damaged("a posting list that does not fit");
        return list;
    }
    return Bitmap();
}

void SearchIndex::check_matches(const std::vector<ZipMember> &zip_members) const {
    if (zip_members.size() != members_.size())
        throw SearchIndexError("the search index is not of this zip");
    for (size_t i = 0; i < members_.size(); ++i) {
        const ZipMember &indexed = members_[i].zip, &found = zip_members[i];
        if (indexed.name != found.name || indexed.size != found.size ||
            indexed.compressed_size != found.compressed_size || indexed.crc32 != found.crc32 ||
            indexed.method != found.method)
            throw SearchIndexError("the search index is not of this zip: its member " + indexed.name +
                                   " differs");
    }
}

}  // namespace tavix::run_search
