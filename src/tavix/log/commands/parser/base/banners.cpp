#include "banners.hpp"

#include <Python.h>

#include <algorithm>

#include "record_line.hpp"

namespace tavix::parser_base {

namespace {

using record_line::space_at;

constexpr int64_t CHUNK = 1 << 16;  // bytes looked at at a time in a long line
constexpr std::string_view TARGET = "Target IP address: ";

bool equals(const ByteReader &read, int64_t from, std::string_view text) {
    std::string storage;
    return read(from, from + int64_t(text.size()), storage) == text;
}

// Position of the first whitespace character in [from, to), or `to`.
int64_t first_space(const ByteReader &read, int64_t from, int64_t to) {
    std::string storage;
    while (from < to) {
        int64_t until = std::min(to, from + CHUNK);
        std::string_view view = read(from, until, storage);
        auto p = reinterpret_cast<const unsigned char *>(view.data());
        // A multi-byte space cut by the chunk's end is looked at again with
        // the next chunk.
        size_t last = until == to || view.size() <= 2 ? view.size() : view.size() - 2;
        for (size_t i = 0; i < last; ++i)
            if (space_at(p + i, view.size() - i))
                return from + int64_t(i);
        from += int64_t(last);
    }
    return to;
}

// Length of the well-formed UTF-8 sequence at `p` (as the interpreter's
// decoder accepts it), with its code point; 0 when it is not one (the decoder
// would give U+FFFD) or is cut at `n`.
size_t decode_one(const unsigned char *p, size_t n, Py_UCS4 &code) {
    unsigned char c = p[0];
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (c < 0x80) {
        code = c;
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        code = c & 0x0F;
        if (c == 0xE0)
            low = 0xA0;
        else if (c == 0xED)
            high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        code = c & 0x07;
        if (c == 0xF0)
            low = 0x90;
        else if (c == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (n < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = p[i];
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
            return 0;
        code = (code << 6) | (next & 0x3F);
    }
    return length;
}

}  // namespace

std::optional<Banner> match_banner(const ByteReader &read, int64_t from, int64_t to) {
    static constexpr std::string_view commands[] = {"executing command '", "execute command '",
                                                    "configure command '"};
    int64_t device_begin = from + 4;
    if (to - from < 4 || !equals(read, from, "+++ "))
        return std::nullopt;
    // The device runs to the first whitespace, which must be the blank of
    // ": "; a shorter run could not be followed by ": " either.
    int64_t blank = first_space(read, device_begin, to);
    if (blank >= to || blank - device_begin < 2 || !equals(read, blank - 1, ": "))
        return std::nullopt;
    Banner banner{device_begin, blank - 1, BannerKind::config, false};
    int64_t rest = blank + 1, length = to - rest;
    if (length == 10 && equals(read, rest, "config +++"))
        return banner;
    if (length == 8 && equals(read, rest, "ping +++")) {
        banner.kind = BannerKind::ping;
        return banner;
    }
    for (int i = 0; i < 3; ++i) {
        int64_t title = rest + int64_t(commands[i].size());
        // At least one character of title before the closing "' +++".
        if (to - title >= 6 && equals(read, rest, commands[i]) && equals(read, to - 5, "' +++")) {
            banner.kind = BannerKind(i);
            banner.titled = true;
            banner.title_begin = title;
            banner.title_end = to - 5;
            return banner;
        }
    }
    return std::nullopt;
}

std::optional<std::pair<int64_t, int64_t>> match_ping_target(const ByteReader &read, int64_t from,
                                                             int64_t to) {
    int64_t begin = from + int64_t(TARGET.size());
    if (to <= begin || !equals(read, from, TARGET))
        return std::nullopt;
    std::string storage;
    for (int64_t at = begin; at < to;) {
        int64_t until = std::min(to, at + CHUNK);
        std::string_view view = read(at, until, storage);
        auto p = reinterpret_cast<const unsigned char *>(view.data());
        size_t i = 0;
        while (i < view.size()) {
            if (p[i] < 0x80) {
                if (p[i] != '.' && (p[i] < '0' || p[i] > '9'))
                    return std::nullopt;
                ++i;
                continue;
            }
            Py_UCS4 code;
            size_t length = decode_one(p + i, view.size() - i, code);
            if (!length) {
                if (until < to && view.size() - i < 4)
                    break;  // perhaps cut by the chunk: looked at again
                return std::nullopt;
            }
            if (!Py_UNICODE_ISDECIMAL(code))
                return std::nullopt;
            i += length;
        }
        at += int64_t(i);
    }
    return std::make_pair(begin, to);
}

}  // namespace tavix::parser_base
