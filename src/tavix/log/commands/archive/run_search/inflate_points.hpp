// Random access into a zip member's deflate stream: while a member is
// inflated from its start, an access point is kept about every `span` bytes
// of output at a deflate block boundary: where the block starts in the
// compressed data (byte and bit) and the 32 KiB of output before it, which
// its back-references may reach. Inflating can then start at any point
// (inflatePrime gives the bits of the shared byte, inflateSetDictionary the
// window), so a range of output costs the compressed bytes from the nearest
// point before it only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "byte_source.hpp"
#include "zip_members.hpp"

namespace tavix::run_search {

inline constexpr size_t kWindowSize = 32768;

// Thrown when the `cancel` flag is found set.
struct Cancelled : std::exception {
    const char *what() const noexcept override { return "cancelled"; }
};

struct AccessPoint {
    uint64_t out_offset = 0;  // in the member's output
    uint64_t in_offset = 0;   // in its compressed data: the first byte wholly of the block
    int bits = 0;             // 1-7: the block starts that many bits before in_offset
    // The min(32 KiB, out_offset) bytes of output before out_offset, compressed
    // with zlib (points are kept for many members at once); empty for stored
    // members and at the member start.
    std::string packed_window;
};

// Work done, added to by the readers when given.
struct InflateCounters {
    uint64_t compressed_bytes_read = 0;  // from the source
    uint64_t bytes_inflated = 0;         // output made, whether handed on or skipped
};

using ByteSink = std::function<void(const char *, size_t)>;

// Inflates `member` from its start, handing its output to `sink` piece by
// piece (at most a few hundred KiB each), and an access point to `at_point`
// about every `span` bytes of output (0: at every block), at deflate block
// boundaries; the first point is the member start. A point comes after the
// output before it has gone to `sink`. Stored members give points every
// `span` bytes, without windows. Output beyond the member's declared size is
// never produced; at the end the size and CRC-32 are checked. Damage, a
// member that is encrypted or of another method: ZipFormatError naming the
// member. `cancel` (may be null) is read between pieces; once set: Cancelled.
// Never touches the interpreter unless the source is a Python one.
void stream_member(ByteSource &source, const ZipMember &member, uint64_t span, const ByteSink &sink,
                   const std::function<void(AccessPoint &&)> &at_point, const std::atomic<bool> *cancel,
                   InflateCounters *counters = nullptr);

// Output bytes [begin, end) of `member` (end clipped to its size) to `sink`,
// inflated from the last of `points` (in out_offset order, as stream_member
// gave them) at or before `begin`, reading compressed bytes only as far as
// needed, in pieces that grow from 64 KiB. No points: from the member start.
// A point that does not fit the member (beyond it, a window of the wrong
// size): ZipFormatError. No CRC is checked; a range is part of a member.
void read_member_range(ByteSource &source, const ZipMember &member, const std::vector<AccessPoint> &points,
                       uint64_t begin, uint64_t end, const ByteSink &sink, const std::atomic<bool> *cancel,
                       InflateCounters *counters = nullptr);

// The points of one member appended to `out`.
void write_access_points(std::string &out, const std::vector<AccessPoint> &points);
// The points written by write_access_points at the front of `in`, which is
// advanced past them. Truncated or damaged: ZipFormatError.
std::vector<AccessPoint> read_access_points(std::string_view &in);

}  // namespace tavix::run_search
