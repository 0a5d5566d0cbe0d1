#include "zip_members.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <unordered_map>

namespace tavix::run_search {

namespace {

constexpr uint32_t kLocalHeaderSignature = 0x04034b50, kCentralSignature = 0x02014b50,
                   kEndSignature = 0x06054b50, kEnd64LocatorSignature = 0x07064b50,
                   kEnd64Signature = 0x06064b50;
constexpr size_t kLocalHeaderSize = 30, kCentralSize = 46, kEndSize = 22, kEnd64LocatorSize = 20,
                 kEnd64Size = 56, kLongestComment = 65535;
constexpr uint16_t kUtf8NameFlag = 0x0800, kZip64ExtraId = 0x0001;
// More members than any run holds; it bounds what a hostile directory costs.
constexpr size_t kMostMembers = size_t(1) << 21;

uint16_t le16(const unsigned char *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const unsigned char *p) { return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16; }
uint64_t le64(const unsigned char *p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }

[[noreturn]] void damaged(const std::string &what) { throw ZipFormatError("not a readable zip: " + what); }

// Where the central directory lies, from the end records.
struct Directory {
    uint64_t offset = 0, size = 0;
};

Directory find_directory(ByteSource &source) {
    uint64_t file_size = source.size();
    if (file_size < kEndSize)
        damaged("it is " + std::to_string(file_size) + " bytes long, too short for its end record");
    size_t tail_size = size_t(std::min<uint64_t>(file_size, kEndSize + kLongestComment));
    uint64_t tail_start = file_size - tail_size;
    std::string tail(tail_size, '\0');
    source.read_at(tail_start, tail.data(), tail_size);
    auto *bytes = reinterpret_cast<const unsigned char *>(tail.data());
    // The last end record whose comment fits in the file; comments may hold anything.
    size_t at = tail_size - kEndSize + 1;
    bool found = false;
    while (at-- > 0) {
        if (le32(bytes + at) == kEndSignature && at + kEndSize + le16(bytes + at + 20) <= tail_size) {
            found = true;
            break;
        }
    }
    if (!found)
        damaged("no end of central directory record");
    const unsigned char *end = bytes + at;
    uint64_t end_position = tail_start + at;
    Directory directory;
    uint16_t disk = le16(end + 4), directory_disk = le16(end + 6);
    directory.size = le32(end + 12);
    directory.offset = le32(end + 16);
    uint64_t directory_end = end_position;  // the directory ends before the end records

    if (end_position >= kEnd64LocatorSize) {
        unsigned char locator[kEnd64LocatorSize];
        source.read_at(end_position - kEnd64LocatorSize, locator, sizeof locator);
        if (le32(locator) == kEnd64LocatorSignature) {
            uint64_t record_offset = le64(locator + 8);
            if (le32(locator + 4) != 0 || le32(locator + 16) > 1)
                damaged("it is split across disks");
            if (record_offset > end_position - kEnd64LocatorSize ||
                end_position - kEnd64LocatorSize - record_offset < kEnd64Size)
                damaged("its zip64 end record lies outside the file");
            unsigned char record[kEnd64Size];
            source.read_at(record_offset, record, sizeof record);
            if (le32(record) != kEnd64Signature)
                damaged("no zip64 end record where its locator points");
            disk = le32(record + 16) ? 1 : 0;
            directory_disk = le32(record + 20) ? 1 : 0;
            directory.size = le64(record + 40);
            directory.offset = le64(record + 48);
            directory_end = record_offset;
        }
    }
    if ((disk != 0 && disk != 0xFFFF) || (directory_disk != 0 && directory_disk != 0xFFFF))
        damaged("it is split across disks");
    if (directory.offset > directory_end || directory.size > directory_end - directory.offset)
        damaged("its central directory (" + std::to_string(directory.size) + " bytes at " +
                std::to_string(directory.offset) + ") lies outside the file of " + std::to_string(file_size) +
                " bytes");
    return directory;
}

// Reads the central directory front to back, a large piece at a time.
class DirectoryReader {
public:
    DirectoryReader(ByteSource &source, const Directory &directory)
        : source_(source), next_(directory.offset), end_(directory.offset + directory.size) {}

    bool at_end() const { return used_ == buffer_.size() && next_ == end_; }

    // The next `n` bytes of the directory; ZipFormatError if it ends first.
    const unsigned char *take(size_t n) {
        if (buffer_.size() - used_ < n) {
            buffer_.erase(0, used_);
            used_ = 0;
            uint64_t missing = n - buffer_.size();
            if (end_ - next_ < missing)
                damaged("its central directory ends inside an entry");
            size_t more = size_t(std::min<uint64_t>(end_ - next_, std::max<uint64_t>(missing, kPiece)));
            size_t old = buffer_.size();
            buffer_.resize(old + more);
            source_.read_at(next_, buffer_.data() + old, more);
            next_ += more;
        }
        const unsigned char *at = reinterpret_cast<const unsigned char *>(buffer_.data()) + used_;
        used_ += n;
        return at;
    }

private:
    static constexpr size_t kPiece = size_t(1) << 20;
    ByteSource &source_;
    uint64_t next_, end_;
    std::string buffer_;
    size_t used_ = 0;
};

// Code points of the bytes 0x80-0xFF in code page 437, the names' encoding
// unless their UTF-8 flag is set.
constexpr uint16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

void append_utf8(std::string &out, uint32_t code) {
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | code >> 6);
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xE0 | code >> 12);
        out += char(0x80 | (code >> 6 & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

bool valid_utf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (!length || i + length > text.size() || (length == 2 && c < 0xC2))
            return false;
        uint32_t code = length == 1 ? c : c & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = code << 6 | (next & 0x3F);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
            return false;
        i += length;
    }
    return true;
}

// The name as zipfile gives it: decoded, cut at a NUL.
std::string member_name(std::string_view raw, uint16_t flags) {
    std::string name;
    if (flags & kUtf8NameFlag) {
        if (!valid_utf8(raw))
            damaged("a member's name is flagged UTF-8 but is not");
        name.assign(raw);
    } else {
        name.reserve(raw.size());
        for (char c : raw) {
            auto byte = static_cast<unsigned char>(c);
            append_utf8(name, byte < 0x80 ? byte : kCp437High[byte - 0x80]);
        }
    }
    size_t nul = name.find('\0');
    if (nul != std::string::npos)
        name.resize(nul);
    return name;
}

// One entry of the central directory.
struct CentralEntry {
    ZipMember member;
    std::string raw_name;
    uint64_t local_header = 0;
};

// The zip64 extra field holds, in this order, those of the sizes and the
// local header offset whose 32-bit fields are all ones.
void read_zip64_extra(const unsigned char *extra, size_t size, CentralEntry &entry, bool wide_size,
                      bool wide_compressed, bool wide_offset) {
    size_t at = 0;
    while (at + 4 <= size) {
        uint16_t id = le16(extra + at), length = le16(extra + at + 2);
        at += 4;
        if (length > size - at)
            damaged("member " + entry.member.name + " has an extra field running past its entry");
        if (id == kZip64ExtraId) {
            const unsigned char *field = extra + at;
            size_t left = length;
            auto take = [&](uint64_t &into) {
                if (left < 8)
                    damaged("member " + entry.member.name + " has a zip64 field too short for its sizes");
                into = le64(field);
                field += 8;
                left -= 8;
            };
            if (wide_size)
                take(entry.member.size);
            if (wide_compressed)
                take(entry.member.compressed_size);
            if (wide_offset)
                take(entry.local_header);
            return;
        }
        at += length;
    }
    if (wide_size || wide_compressed || wide_offset)
        damaged("member " + entry.member.name + " lacks the zip64 field its sizes call for");
}

// Every entry, handed to `on_entry` in directory order.
template <class OnEntry>
Directory walk_directory(ByteSource &source, OnEntry &&on_entry) {
    Directory directory = find_directory(source);
    DirectoryReader reader(source, directory);
    size_t count = 0;
    CentralEntry entry;
    while (!reader.at_end()) {
        if (++count > kMostMembers)
            damaged("it holds more than " + std::to_string(kMostMembers) + " members");
        const unsigned char *fixed = reader.take(kCentralSize);
        if (le32(fixed) != kCentralSignature)
            damaged("entry " + std::to_string(count) + " of its central directory is not one");
        entry.member.flags = le16(fixed + 8);
        entry.member.method = le16(fixed + 10);
        entry.member.crc32 = le32(fixed + 16);
        entry.member.compressed_size = le32(fixed + 20);
        entry.member.size = le32(fixed + 24);
        uint16_t name_size = le16(fixed + 28), extra_size = le16(fixed + 30), comment_size = le16(fixed + 32);
        uint16_t first_disk = le16(fixed + 34);
        entry.local_header = le32(fixed + 42);
        bool wide_size = entry.member.size == 0xFFFFFFFF, wide_compressed = entry.member.compressed_size == 0xFFFFFFFF,
             wide_offset = entry.local_header == 0xFFFFFFFF;
        // The variable parts are read after the fixed ones were used: take() may move the buffer.
        const unsigned char *variable = reader.take(size_t(name_size) + extra_size + comment_size);
        entry.raw_name.assign(reinterpret_cast<const char *>(variable), name_size);
        entry.member.name = member_name(entry.raw_name, entry.member.flags);
        read_zip64_extra(variable + name_size, extra_size, entry, wide_size, wide_compressed, wide_offset);
        if (first_disk != 0 && first_disk != 0xFFFF)
            damaged("member " + entry.member.name + " lies on another disk");
        // A member needs its local header and its data before the directory.
        if (entry.local_header > directory.offset ||
            directory.offset - entry.local_header < kLocalHeaderSize + name_size ||
            directory.offset - entry.local_header - kLocalHeaderSize - name_size < entry.member.compressed_size)
            damaged("member " + entry.member.name + " (" + std::to_string(entry.member.compressed_size) +
                    " bytes at " + std::to_string(entry.local_header) + ") lies outside the file's data");
        on_entry(entry);
    }
    return directory;
}

// The least of the file a member takes: its local header and its data.
struct Extent {
    uint64_t begin, end;
};

Extent least_extent(const CentralEntry &entry) {
    return {entry.local_header, entry.local_header + kLocalHeaderSize + entry.raw_name.size() +
                                    entry.member.compressed_size};
}

// Members may not share bytes: a zip whose entries point into each other
// inflates to far more than it holds. For each extent, where the next one
// begins (the directory for the last), in the order the extents were given.
std::vector<uint64_t> check_apart(const std::vector<Extent> &extents, uint64_t directory_offset,
                                  const std::function<std::string(size_t)> &name_of) {
    std::vector<uint32_t> order(extents.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = uint32_t(i);
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return extents[a].begin < extents[b].begin; });
    std::vector<uint64_t> limits(extents.size(), directory_offset);
    for (size_t k = 0; k + 1 < order.size(); ++k) {
        const Extent &here = extents[order[k]], &next = extents[order[k + 1]];
        if (here.end > next.begin)
            damaged("members " + name_of(order[k]) + " and " + name_of(order[k + 1]) + " overlap");
        limits[order[k]] = next.begin;
    }
    return limits;
}

// Finds the member's data past its local header, which must name it as the
// directory does and end before `limit`.
void locate_data(ByteSource &source, CentralEntry &entry, uint64_t limit) {
    unsigned char header[kLocalHeaderSize];
    source.read_at(entry.local_header, header, sizeof header);
    const std::string &name = entry.member.name;
    if (le32(header) != kLocalHeaderSignature)
        damaged("member " + name + " has no local header at " + std::to_string(entry.local_header));
    uint16_t name_size = le16(header + 26), extra_size = le16(header + 28);
    if (name_size != entry.raw_name.size())
        damaged("member " + name + " is named otherwise in its local header");
    std::string local_name(name_size, '\0');
    source.read_at(entry.local_header + kLocalHeaderSize, local_name.data(), name_size);
    if (local_name != entry.raw_name)
        damaged("member " + name + " is named otherwise in its local header");
    entry.member.flags |= le16(header + 6) & kEncryptedFlag;
    entry.member.data_offset = entry.local_header + kLocalHeaderSize + name_size + extra_size;
    if (entry.member.data_offset > limit || limit - entry.member.data_offset < entry.member.compressed_size)
        damaged("member " + name + "'s data run into what follows it");
}

}  // namespace

std::vector<ZipMember> read_zip_members(ByteSource &source) {
    std::vector<CentralEntry> entries;
    std::vector<Extent> extents;
    Directory directory = walk_directory(source, [&](const CentralEntry &entry) {
        entries.push_back(entry);
        extents.push_back(least_extent(entry));
    });
    std::vector<uint64_t> limits =
        check_apart(extents, directory.offset, [&](size_t i) { return entries[i].member.name; });
    std::vector<ZipMember> members;
    members.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        locate_data(source, entries[i], limits[i]);
        members.push_back(std::move(entries[i].member));
    }
    return members;
}

std::vector<ZipMember> read_zip_members(ByteSource &source, const std::vector<std::string> &names) {
    std::unordered_map<std::string_view, size_t> wanted;  // name -> index of its entry in `found`
    for (const std::string &name : names)
        wanted.emplace(name, SIZE_MAX);
    std::vector<CentralEntry> found;
    std::vector<size_t> found_at;  // their positions among the extents
    std::vector<Extent> extents;
    std::vector<std::string> seen_names;  // only for messages about overlaps
    Directory directory = walk_directory(source, [&](const CentralEntry &entry) {
        auto it = wanted.find(entry.member.name);
        if (it != wanted.end()) {
            if (it->second == SIZE_MAX) {
                it->second = found.size();
                found.push_back(entry);
                found_at.push_back(extents.size());
            } else {
                found[it->second] = entry;
                found_at[it->second] = extents.size();
            }
        }
        extents.push_back(least_extent(entry));
    });
    // Names of other members are not kept; an overlap is told by position.
    auto name_of = [&](size_t i) {
        for (size_t k = 0; k < found.size(); ++k)
            if (found_at[k] == i)
                return found[k].member.name;
        return "number " + std::to_string(i + 1);
    };
    std::vector<uint64_t> limits = check_apart(extents, directory.offset, name_of);
    std::vector<ZipMember> members;
    members.reserve(names.size());
    for (const std::string &name : names) {
        size_t index = wanted.at(name);
        if (index == SIZE_MAX)
            throw ZipFormatError("no member " + name + " in the zip");
        CentralEntry entry = found[index];
        locate_data(source, entry, limits[found_at[index]]);
        members.push_back(std::move(entry.member));
    }
    return members;
}

}  // namespace tavix::run_search
