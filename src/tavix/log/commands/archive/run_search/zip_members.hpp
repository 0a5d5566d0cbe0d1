// The members of a zip, from its central directory (zip64 included), each
// with where its compressed data lie. Every offset and size is checked
// against the source's size before it is used, so a damaged or hostile zip
// gives a ZipFormatError, never a read beyond it or an allocation by a size
// it merely claims.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "byte_source.hpp"

namespace tavix::run_search {

struct ZipFormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline constexpr uint16_t kStored = 0, kDeflated = 8;
inline constexpr uint16_t kEncryptedFlag = 0x0001;

struct ZipMember {
    std::string name;          // UTF-8, as the interpreter's zipfile names it
    uint64_t data_offset = 0;  // of the compressed data, past the local header
    uint64_t compressed_size = 0, size = 0;
    uint32_t crc32 = 0;
    uint16_t method = 0;       // kStored, kDeflated; others are listed but not read
    uint16_t flags = 0;        // the general-purpose bits (kEncryptedFlag)
};

// Every member, in central-directory order, each local header read to locate
// its data (one read per member). Members that overlap each other or the
// central directory are refused. Members of other methods and encrypted ones
// are listed; reading them raises ZipFormatError (inflate_points.hpp).
std::vector<ZipMember> read_zip_members(ByteSource &source);

// Only the members named, in the order given, reading only their local
// headers (a ranged source pays one read per member located, not one per
// member of the zip). A name held twice gives its last entry, as zipfile
// does; a missing name: ZipFormatError "no member NAME in the zip".
std::vector<ZipMember> read_zip_members(ByteSource &source, const std::vector<std::string> &names);

}  // namespace tavix::run_search
