// The banner shapes of the stock patterns, matched on the UTF-8 bytes of a
// log line without the interpreter, with exactly the semantics the
// interpreter's `re` gives those patterns on the decoded text:
//
//   "+++ DEVICE: config +++", "+++ DEVICE: ping +++"
//   "+++ DEVICE: executing|execute|configure command 'TITLE' +++"
//   "Target IP address: IP"
//
// DEVICE is a run of non-whitespace characters (Unicode whitespace, as the
// interpreter's str defines it); TITLE is any text of at least one character
// up to the last "' +++" that ends the message; IP is made of Unicode decimal
// digits and dots. Undecodable bytes decode to U+FFFD, which is neither
// whitespace nor a digit, so they are matched as such.
//
// Lines may be far longer than memory should hold: the matchers look at them
// through a reader of byte ranges and read only bounded pieces, except the
// ranges they return.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tavix::parser_base {

// Bytes [from, to) of the log; `storage` holds them when they must be read.
using ByteReader = std::function<std::string_view(int64_t from, int64_t to, std::string &storage)>;

// The verb of a banner as written, in the order of the command pattern's
// alternatives, then the two title-less kinds.
enum class BannerKind { executing, execute, configure, config, ping };

struct Banner {
    int64_t device_begin, device_end;
    BannerKind kind;
    bool titled;
    int64_t title_begin = 0, title_end = 0;
};

// The message [from, to) matched as the config/ping pattern, else as the
// command pattern.
std::optional<Banner> match_banner(const ByteReader &read, int64_t from, int64_t to);

// The stripped line [from, to) matched as the ping-target pattern: the byte
// range of the address.
std::optional<std::pair<int64_t, int64_t>> match_ping_target(const ByteReader &read, int64_t from,
                                                             int64_t to);

}  // namespace tavix::parser_base
