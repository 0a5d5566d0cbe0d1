// Masking of what differs from one run to the next anyway, so that two runs'
// logs compare equal where only their times, ids and addresses moved.
//
// In a MorlanLog header ("seq: host: stamp: %APP-SEV-NAME: %[tags]: message")
// the sequence number, the time stamp and the values of the pid, pname, tid,
// tname and part tags are masked; anywhere in a line, UUIDs, hexadecimal
// addresses (0x...) and date-times (ISO 8601 with a "T" or a blank, syslog's
// "Dec  8 17:17:41"). Everything else, numbers included, stays.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavix::line_diff {

// Kinds of masked fields, as bits of a mask.
enum MaskedKind : unsigned {
    SEQUENCE_NUMBER = 1u << 0,
    TIMESTAMP = 1u << 1,
    PROCESS = 1u << 2,
    THREAD = 1u << 3,
    PART = 1u << 4,
    UUID = 1u << 5,
    HEX_ADDRESS = 1u << 6,
    DATE_TIME = 1u << 7,
};
constexpr int MASKED_KIND_COUNT = 8;

// The kind's name as answers give it ("sequence number", "hex address", ...).
const char *masked_kind_name(int bit);

// Appends `line` (without its line end) to `out` with the masked fields
// replaced by a marker per kind (a NUL byte and a letter, which no text
// line holds); returns the kinds masked.
unsigned mask_line(std::string_view line, std::string &out);

}  // namespace tavix::line_diff
