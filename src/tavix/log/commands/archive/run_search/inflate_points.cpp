#include "inflate_points.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace tavix::run_search {

namespace {

// Output is handed on in pieces of this size; streams read their input so too.
constexpr size_t kPiece = size_t(256) << 10;
// Ranges read their input in pieces growing from the first to the last size.
constexpr size_t kFirstRangeRead = size_t(64) << 10, kLastRangeRead = size_t(1) << 20;

void check_cancel(const std::atomic<bool> *cancel) {
    if (cancel && cancel->load(std::memory_order_relaxed))
        throw Cancelled();
}

[[noreturn]] void damaged(const ZipMember &member, const std::string &what) {
    throw ZipFormatError("damaged member " + member.name + ": " + what);
}

void check_readable(const ZipMember &member) {
    if (member.flags & kEncryptedFlag)
        throw ZipFormatError("member " + member.name + " is encrypted");
    if (member.method != kStored && member.method != kDeflated)
        throw ZipFormatError("member " + member.name + " is compressed by method " + std::to_string(member.method) +
                             ", which is not supported (only stored and deflated)");
    if (member.method == kStored && member.size != member.compressed_size)
        damaged(member, "stored in " + std::to_string(member.compressed_size) + " bytes for a size of " +
                            std::to_string(member.size));
}

// The member's compressed data from a position on, read a piece at a time.
class CompressedInput {
public:
    CompressedInput(ByteSource &source, const ZipMember &member, uint64_t from, size_t piece, size_t last_piece,
                    InflateCounters *counters)
        : source_(source), member_(member), next_(from), piece_(piece), last_piece_(last_piece),
          counters_(counters) {}

    bool exhausted() const { return next_ == member_.compressed_size; }

    // The next piece, which `z` then reads from.
    void refill(z_stream &z) {
        size_t n = size_t(std::min<uint64_t>(piece_, member_.compressed_size - next_));
        buffer_.resize(std::max(buffer_.size(), n));
        source_.read_at(member_.data_offset + next_, buffer_.data(), n);
        next_ += n;
        if (counters_)
            counters_->compressed_bytes_read += n;
        piece_ = std::min(piece_ * 2, last_piece_);
        z.next_in = reinterpret_cast<Bytef *>(buffer_.data());
        z.avail_in = uInt(n);
    }

    // Where in the compressed data `z` has read up to.
    uint64_t consumed(const z_stream &z) const { return next_ - z.avail_in; }

private:
    ByteSource &source_;
    const ZipMember &member_;
    uint64_t next_;
    size_t piece_, last_piece_;
    InflateCounters *counters_;
    std::string buffer_;
};

// A raw inflate stream, as deflated zip members are.
class Inflater {
public:
    explicit Inflater(const ZipMember &member) : member_(member) {
        std::memset(&z, 0, sizeof z);
        int status = inflateInit2(&z, -MAX_WBITS);
        if (status == Z_MEM_ERROR)
            throw std::bad_alloc();
        if (status != Z_OK)
            throw std::runtime_error("zlib's inflateInit2 failed: " + std::to_string(status));
    }
    ~Inflater() { inflateEnd(&z); }
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;

    // One step of inflating into [out, out + room): true at the stream's end.
    bool step(CompressedInput &input, unsigned char *out, size_t room, int flush) {
        if (z.avail_in == 0 && !input.exhausted())
            input.refill(z);
        z.next_out = out;
        z.avail_out = uInt(room);
        int status = inflate(&z, flush);
        if (status == Z_STREAM_END)
            return true;
        if (status == Z_MEM_ERROR)
            throw std::bad_alloc();
        // Without input, inflate may still give what it holds; then it can go no further.
        if (status == Z_BUF_ERROR && z.avail_in == 0 && input.exhausted())
            damaged(member_, "its compressed data end inside its deflate stream");
        if (status != Z_OK && !(status == Z_BUF_ERROR && z.avail_in == 0))
            damaged(member_, std::string(z.msg ? z.msg : "inflate failed") + " at compressed byte " +
                                 std::to_string(input.consumed(z)));
        return false;
    }

    z_stream z;

private:
    const ZipMember &member_;
};

uint32_t crc_of(uint32_t crc, const unsigned char *data, size_t size) {
    while (size) {
        uInt n = uInt(std::min<size_t>(size, std::numeric_limits<uInt>::max()));
        crc = uint32_t(crc32(crc, data, n));
        data += n;
        size -= n;
    }
    return crc;
}

std::string packed(const unsigned char *window, size_t size) {
    uLongf room = compressBound(uLong(size));
    std::string out(room, '\0');
    int status = compress2(reinterpret_cast<Bytef *>(out.data()), &room, window, uLong(size), Z_DEFAULT_COMPRESSION);
    if (status == Z_MEM_ERROR)
        throw std::bad_alloc();
    if (status != Z_OK)
        throw std::runtime_error("zlib's compress2 failed: " + std::to_string(status));
    out.resize(room);
    return out;
}

void check_total(const ZipMember &member, uint64_t total, uint32_t crc) {
    if (total != member.size)
        damaged(member, "it holds " + std::to_string(total) + " bytes, not the " + std::to_string(member.size) +
                            " its directory entry gives");
    if (crc != member.crc32) {
        char text[64];
        std::snprintf(text, sizeof text, "CRC-32 %08x, not %08x", unsigned(crc), unsigned(member.crc32));
        damaged(member, text);
    }
}

void stream_stored(ByteSource &source, const ZipMember &member, uint64_t span, const ByteSink &sink,
                   const std::function<void(AccessPoint &&)> &at_point, const std::atomic<bool> *cancel,
                   InflateCounters *counters) {
    std::string buffer(size_t(std::min<uint64_t>(kPiece, member.size)), '\0');
    auto *bytes = reinterpret_cast<unsigned char *>(buffer.data());
    uint32_t crc = 0;
    uint64_t at = 0, last_point = 0;
    at_point(AccessPoint{});
    while (at < member.size) {
        check_cancel(cancel);
        uint64_t n = std::min<uint64_t>(kPiece, member.size - at);
        if (span)
            n = std::min(n, last_point + span - at);  // points fall on multiples of the span
        source.read_at(member.data_offset + at, bytes, size_t(n));
        if (counters) {
            counters->compressed_bytes_read += n;
            counters->bytes_inflated += n;
        }
        crc = crc_of(crc, bytes, size_t(n));
        sink(buffer.data(), size_t(n));
        at += n;
        if (at < member.size && at - last_point >= span) {
            AccessPoint point;
            point.out_offset = point.in_offset = last_point = at;
            at_point(std::move(point));
        }
    }
    check_total(member, at, crc);
}

void stream_deflated(ByteSource &source, const ZipMember &member, uint64_t span, const ByteSink &sink,
                     const std::function<void(AccessPoint &&)> &at_point, const std::atomic<bool> *cancel,
                     InflateCounters *counters) {
    Inflater inflater(member);
    CompressedInput input(source, member, 0, kPiece, kPiece, counters);
    // The last 32 KiB handed on end at kWindowSize; new output follows them.
    std::string buffer(kWindowSize + kPiece, '\0');
    auto *bytes = reinterpret_cast<unsigned char *>(buffer.data());
    unsigned char *fresh = bytes + kWindowSize;
    size_t history = 0, fresh_size = 0;
    uint64_t total = 0, last_point = 0;
    uint32_t crc = 0;

    auto hand_on = [&] {
        if (!fresh_size)
            return;
        crc = crc_of(crc, fresh, fresh_size);
        sink(reinterpret_cast<const char *>(fresh), fresh_size);
        size_t kept = std::min(kWindowSize, history + fresh_size);
        std::memmove(fresh - kept, fresh + fresh_size - kept, kept);
        history = kept;
        fresh_size = 0;
        check_cancel(cancel);
    };

    at_point(AccessPoint{});
    for (;;) {
        // One byte past the declared size is room enough to see a lie.
        size_t room = size_t(std::min<uint64_t>(kPiece - fresh_size, member.size - total + 1));
        bool ended = inflater.step(input, fresh + fresh_size, room, Z_BLOCK);
        size_t made = room - inflater.z.avail_out;
        fresh_size += made;
        total += made;
        if (counters)
            counters->bytes_inflated += made;
        if (total > member.size)
            damaged(member, "it inflates to more than the " + std::to_string(member.size) +
                                " bytes its directory entry gives");
        if (ended)
            break;
        // Just past a block's end, and not the last block's: a point may start here.
        int state = inflater.z.data_type;
        if ((state & 128) && !(state & 64) && total > last_point && total - last_point >= span) {
            hand_on();
            AccessPoint point;
            point.out_offset = last_point = total;
            point.in_offset = input.consumed(inflater.z);
            point.bits = state & 7;
            point.packed_window = packed(fresh - history, history);
            at_point(std::move(point));
        }
        if (fresh_size == kPiece)
            hand_on();
    }
    hand_on();
    check_total(member, total, crc);
}

std::string unpacked_window(const ZipMember &member, const AccessPoint &point) {
    size_t size = size_t(std::min<uint64_t>(kWindowSize, point.out_offset));
    std::string window(size, '\0');
    uLongf made = uLongf(size);
    int status = uncompress(reinterpret_cast<Bytef *>(window.data()), &made,
                            reinterpret_cast<const Bytef *>(point.packed_window.data()),
                            uLong(point.packed_window.size()));
    if (status == Z_MEM_ERROR)
        throw std::bad_alloc();
    if (status != Z_OK || made != size)
        throw ZipFormatError("access point at " + std::to_string(point.out_offset) + " of member " + member.name +
                             " has a damaged window");
    return window;
}

void check_point(const ZipMember &member, const AccessPoint &point) {
    bool fits = point.out_offset <= member.size && point.in_offset <= member.compressed_size && point.bits >= 0 &&
                point.bits <= 7 && (point.bits == 0 || point.in_offset > 0) &&
                (point.out_offset > 0 || (point.in_offset == 0 && point.bits == 0));
    if (member.method == kStored)
        fits = fits && point.in_offset == point.out_offset && point.bits == 0;
    if (!fits)
        throw ZipFormatError("access point at " + std::to_string(point.out_offset) + " does not fit member " +
                             member.name);
}

void read_stored_range(ByteSource &source, const ZipMember &member, uint64_t begin, uint64_t end,
                       const ByteSink &sink, const std::atomic<bool> *cancel, InflateCounters *counters) {
    std::string buffer(size_t(std::min<uint64_t>(kPiece, end - begin)), '\0');
    for (uint64_t at = begin; at < end;) {
        check_cancel(cancel);
        size_t n = size_t(std::min<uint64_t>(kPiece, end - at));
        source.read_at(member.data_offset + at, buffer.data(), n);
        if (counters) {
            counters->compressed_bytes_read += n;
            counters->bytes_inflated += n;
        }
        sink(buffer.data(), n);
        at += n;
    }
}

}  // namespace

void stream_member(ByteSource &source, const ZipMember &member, uint64_t span, const ByteSink &sink,
                   const std::function<void(AccessPoint &&)> &at_point, const std::atomic<bool> *cancel,
                   InflateCounters *counters) {
    check_readable(member);
    check_cancel(cancel);
    if (member.method == kStored)
        stream_stored(source, member, span, sink, at_point, cancel, counters);
    else
        stream_deflated(source, member, span, sink, at_point, cancel, counters);
}

void read_member_range(ByteSource &source, const ZipMember &member, const std::vector<AccessPoint> &points,
                       uint64_t begin, uint64_t end, const ByteSink &sink, const std::atomic<bool> *cancel,
                       InflateCounters *counters) {
    check_readable(member);
    end = std::min(end, member.size);
    if (begin >= end)
        return;
    check_cancel(cancel);
    if (member.method == kStored) {
        read_stored_range(source, member, begin, end, sink, cancel, counters);
        return;
    }
    static const AccessPoint member_start;
    auto after = std::upper_bound(points.begin(), points.end(), begin,
                                  [](uint64_t at, const AccessPoint &point) { return at < point.out_offset; });
    const AccessPoint &point = after == points.begin() ? member_start : *(after - 1);
    check_point(member, point);

    Inflater inflater(member);
    uint64_t from = point.in_offset;
    if (point.bits) {
        // The block starts inside the byte before: its high bits are the block's.
        unsigned char shared = 0;
        source.read_at(member.data_offset + point.in_offset - 1, &shared, 1);
        if (counters)
            counters->compressed_bytes_read += 1;
        if (inflatePrime(&inflater.z, point.bits, shared >> (8 - point.bits)) != Z_OK)
            throw std::runtime_error("zlib's inflatePrime failed");
    }
    if (point.out_offset) {
        std::string window = unpacked_window(member, point);
        if (inflateSetDictionary(&inflater.z, reinterpret_cast<const Bytef *>(window.data()), uInt(window.size())) !=
            Z_OK)
            throw std::runtime_error("zlib's inflateSetDictionary failed");
    }
    CompressedInput input(source, member, from, kFirstRangeRead, kLastRangeRead, counters);
    std::string buffer(size_t(std::min<uint64_t>(kPiece, end - point.out_offset)), '\0');
    auto *bytes = reinterpret_cast<unsigned char *>(buffer.data());
    uint64_t at = point.out_offset;
    while (at < end) {
        size_t room = size_t(std::min<uint64_t>(buffer.size(), end - at));
        bool ended = inflater.step(input, bytes, room, Z_NO_FLUSH);
        size_t made = room - inflater.z.avail_out;
        if (counters)
            counters->bytes_inflated += made;
        // Only the part from `begin` on is wanted.
        if (at + made > begin) {
            size_t skip = at < begin ? size_t(begin - at) : 0;
            sink(reinterpret_cast<const char *>(bytes) + skip, made - skip);
        }
        at += made;
        if (ended && at < end)
            damaged(member, "its deflate stream ends at " + std::to_string(at) + " of its " +
                                std::to_string(member.size) + " bytes");
        check_cancel(cancel);
    }
}

namespace {

void put_varint(std::string &out, uint64_t value) {
    while (value >= 0x80) {
        out += char((value & 0x7F) | 0x80);
        value >>= 7;
    }
    out += char(value);
}

[[noreturn]] void damaged_points(const std::string &what) {
    throw ZipFormatError("damaged access points: " + what);
}

uint64_t take_varint(std::string_view &in) {
    uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (in.empty())
            damaged_points("they end inside a number");
        auto byte = static_cast<unsigned char>(in.front());
        in.remove_prefix(1);
        if (shift == 63 && byte > 1)
            damaged_points("a number is too large");
        value |= uint64_t(byte & 0x7F) << shift;
        if (!(byte & 0x80))
            return value;
    }
    damaged_points("a number is too large");
}

}  // namespace

// count, then per point: out_offset, in_offset, bits (one byte), the packed
// window's size and its bytes.
void write_access_points(std::string &out, const std::vector<AccessPoint> &points) {
    put_varint(out, points.size());
    for (const AccessPoint &point : points) {
        put_varint(out, point.out_offset);
        put_varint(out, point.in_offset);
        out += char(point.bits);
        put_varint(out, point.packed_window.size());
        out += point.packed_window;
    }
}

std::vector<AccessPoint> read_access_points(std::string_view &in) {
    uint64_t count = take_varint(in);
    // A point takes four bytes at least: a count beyond that is damage, not a size to allocate.
    if (count > in.size() / 4)
        damaged_points(std::to_string(count) + " points in " + std::to_string(in.size()) + " bytes");
    std::vector<AccessPoint> points(static_cast<size_t>(count));
    for (size_t i = 0; i < points.size(); ++i) {
        AccessPoint &point = points[i];
        point.out_offset = take_varint(in);
        point.in_offset = take_varint(in);
        if (in.empty())
            damaged_points("they end inside a point");
        point.bits = static_cast<unsigned char>(in.front());
        in.remove_prefix(1);
        uint64_t window_size = take_varint(in);
        if (window_size > in.size())
            damaged_points("a window runs past their end");
        point.packed_window.assign(in.substr(0, size_t(window_size)));
        in.remove_prefix(size_t(window_size));
        if (point.bits > 7)
            damaged_points("a point starts at bit " + std::to_string(point.bits));
        if (i ? point.out_offset <= points[i - 1].out_offset || point.in_offset < points[i - 1].in_offset
              : point.out_offset != 0)
            damaged_points("they are out of order");
    }
    return points;
}

}  // namespace tavix::run_search
