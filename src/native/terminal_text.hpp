// Characters a terminal acts on instead of showing them: the C0 controls,
// DEL and the C1 controls (escape sequences, clipboard writes, titles,
// cursor moves), and the bidirectional formatting characters, which reorder
// the text after them. Text of an archive bound for a terminal shows them as
// visible escapes; JSON bound anywhere writes them as \uXXXX.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "json_text.hpp"

namespace tavix {

// Bytes that may start such a character, with or without the C0 controls:
// the scans below skip every other byte at a table look-up.
inline constexpr auto kMayStartActedOn = [] {
    std::array<std::array<bool, 256>, 2> table{};
    for (int c = 0; c < 0x20; ++c)
        table[1][c] = c != '\t';
    for (int c : {0x7F, 0xC2, 0xD8, 0xE2})
        table[0][c] = table[1][c] = true;
    return table;
}();

// The offset of the next byte at or after `at` that may start such a
// character (C0 controls counted or not), or utf8.size().
inline size_t next_maybe_acted_on(std::string_view utf8, size_t at, bool c0) {
    const std::array<bool, 256> &table = kMayStartActedOn[c0];
    while (at < utf8.size() && !table[static_cast<unsigned char>(utf8[at])])
        ++at;
    return at;
}

// The byte length of such a character at utf8[at] (its code point in
// `code`), or 0 for any other text. A tab is text.
inline size_t acted_on_length(std::string_view utf8, size_t at, char32_t &code) {
    auto byte = [&](size_t i) { return at + i < utf8.size() ? static_cast<unsigned char>(utf8[at + i]) : 0u; };
    unsigned c = byte(0);
    if ((c < 0x20 && c != '\t') || c == 0x7F) {
        code = c;
        return 1;
    }
    if (c == 0xC2 && byte(1) >= 0x80 && byte(1) < 0xA0) {  // U+0080 to U+009F
        code = byte(1);
        return 2;
    }
    if (c == 0xD8 && byte(1) == 0x9C) {  // U+061C ARABIC LETTER MARK
        code = 0x61C;
        return 2;
    }
    if (c == 0xE2 && (byte(1) == 0x80 || byte(1) == 0x81)) {
        unsigned last = byte(2);
        code = 0x2000 + ((byte(1) & 0x3F) << 6) + (last & 0x3F);
        // U+200E, U+200F marks; U+202A to U+202E embeddings and overrides;
        // U+2066 to U+2069 isolates.
        if ((code >= 0x200E && code <= 0x200F) || (code >= 0x202A && code <= 0x202E) ||
            (code >= 0x2066 && code <= 0x2069))
            return (last & 0xC0) == 0x80 ? 3 : 0;
    }
    return 0;
}

// Four hexadecimal digits of `code`, from `digits`.
inline void append_hex4(std::string &out, char32_t code, const char *digits) {
    for (int shift = 12; shift >= 0; shift -= 4)
        out += digits[(code >> shift) & 15];
}

// Appends `utf8` with each such character (the C0 controls only if `c0`)
// written by write(out, code point).
template <typename Write>
inline void append_escaped(std::string &out, std::string_view utf8, bool c0, Write &&write) {
    size_t plain = 0;
    for (size_t i = next_maybe_acted_on(utf8, 0, c0); i < utf8.size(); i = next_maybe_acted_on(utf8, i, c0)) {
        char32_t code = 0;
        size_t length = acted_on_length(utf8, i, code);
        if (!length) {
            ++i;
            continue;
        }
        out.append(utf8.data() + plain, i - plain);
        write(out, code);
        i += length;
        plain = i;
    }
    out.append(utf8.data() + plain, utf8.size() - plain);
}

// Appends `utf8` as a terminal may be given it: C0 controls and DEL in
// caret notation (ESC as ^[), the others as <U+XXXX>.
inline void append_terminal_text(std::string &out, std::string_view utf8) {
    append_escaped(out, utf8, true, [](std::string &out, char32_t code) {
        if (code < 0x80) {
            out += '^';
            out += char(code ^ 0x40);
        } else {
            out += "<U+";
            append_hex4(out, code, "0123456789ABCDEF");
            out += '>';
        }
    });
}

// Appends JSON text with those characters but the C0 controls written
// \uXXXX: decoded, it is the same JSON. (Outside its strings JSON is plain
// ASCII, its line ends are layout, and in its strings C0 controls are
// escaped already.)
inline void append_json_text(std::string &out, std::string_view json) {
    append_escaped(out, json, false, [](std::string &out, char32_t code) {
        out += "\\u";
        append_hex4(out, code, "0123456789abcdef");  // as json.dumps writes its escapes
    });
}

// Appends `text` (UTF-8) as a JSON string written so: append_json_string,
// then those characters escaped (written again only where it holds one).
inline void append_shown_json_string(std::string &out, std::string_view text) {
    size_t from = out.size();
    append_json_string(out, text);
    std::string_view written(out.data() + from, out.size() - from);
    if (next_maybe_acted_on(written, 0, false) == written.size())
        return;
    std::string json(written);
    out.resize(from);
    append_json_text(out, json);
}

}  // namespace tavix
