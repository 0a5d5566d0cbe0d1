// JSON text as json.dumps writes it with its defaults (ASCII output): the
// size a string takes and the string itself, escaped, for the native writers
// of the server's answers.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

namespace tavix::server::json_text {

constexpr char kHex[] = "0123456789abcdef";

inline char *put_u(char *out, unsigned unit) {
    out[0] = '\\';
    out[1] = 'u';
    out[2] = kHex[(unit >> 12) & 0xf];
    out[3] = kHex[(unit >> 8) & 0xf];
    out[4] = kHex[(unit >> 4) & 0xf];
    out[5] = kHex[unit & 0xf];
    return out + 6;
}

inline char *put_escaped(char *out, Py_UCS4 c) {
    if (c >= 0x20 && c < 0x7f) {
        if (c == '"' || c == '\\')
            *out++ = '\\';
        *out++ = static_cast<char>(c);
        return out;
    }
    const char *short_form = nullptr;
    switch (c) {
        case '\b': short_form = "\\b"; break;
        case '\f': short_form = "\\f"; break;
        case '\n': short_form = "\\n"; break;
        case '\r': short_form = "\\r"; break;
        case '\t': short_form = "\\t"; break;
        default: break;
    }
    if (short_form) {
        std::memcpy(out, short_form, 2);
        return out + 2;
    }
    if (c > 0xffff) {
        Py_UCS4 v = c - 0x10000;
        out = put_u(out, 0xd800 | (v >> 10));
        return put_u(out, 0xdc00 | (v & 0x3ff));
    }
    return put_u(out, c);
}

// Extra bytes an 8-bit code unit takes beyond its own one: 0 for characters
// written as they are, 1 for two-character escapes, 5 for \u00XX.
struct ExtraTable {
    unsigned char extra[256];
    constexpr ExtraTable() : extra() {
        for (int c = 0; c < 256; ++c)
            extra[c] = (c >= 0x20 && c < 0x7f) ? 0 : 5;
        extra['"'] = extra['\\'] = 1;
        extra['\b'] = extra['\f'] = extra['\n'] = extra['\r'] = extra['\t'] = 1;
    }
};
constexpr ExtraTable kExtra;

template <typename Char>
inline bool plain(Char c) {
    return c < 0x100 && kExtra.extra[c] == 0;
}

// Whether the code units packed in one 64-bit word (eight of 8 bits or four
// of 16 bits) are all written as they are: none below 0x20, none above 0x7e,
// no quote and no backslash. Bit tricks per lane; a lane that is not plain is
// never missed (a rare false alarm only sends the run to the slow path).
template <typename Char>
inline bool plain_word(const Char *p) {
    constexpr int bits = 8 * sizeof(Char);
    constexpr uint64_t ones = bits == 8 ? 0x0101010101010101ULL : 0x0001000100010001ULL;
    constexpr uint64_t highs = ones << (bits - 1);
    constexpr uint64_t lane_max = (uint64_t{1} << (bits - 1)) - 1;  // 0x7f or 0x7fff
    uint64_t w;
    std::memcpy(&w, p, 8);
    uint64_t below = (w - ones * 0x20) & ~w;
    uint64_t above = (w + ones * (lane_max - 0x7e)) | w;
    uint64_t quote = w ^ (ones * '"'), slash = w ^ (ones * '\\');
    uint64_t has_quote = (quote - ones) & ~quote, has_slash = (slash - ones) & ~slash;
    return ((below | above | has_quote | has_slash) & highs) == 0;
}

// End of the run of plain characters starting at `i`.
template <typename Char>
inline Py_ssize_t plain_run_end(const Char *text, Py_ssize_t i, Py_ssize_t length) {
    if constexpr (sizeof(Char) <= 2) {
        constexpr Py_ssize_t lanes = 8 / sizeof(Char);
        while (i + lanes <= length && plain_word(text + i))
            i += lanes;
    }
    while (i < length && plain(text[i]))
        ++i;
    return i;
}

template <typename Char>
Py_ssize_t string_size(const Char *text, Py_ssize_t length) {
    Py_ssize_t size = 2 + length;
    for (Py_ssize_t i = plain_run_end(text, 0, length); i < length;
         i = plain_run_end(text, i + 1, length)) {
        Char c = text[i];
        if (c < 0x100)
            size += kExtra.extra[c];
        else
            size += c > 0xffff ? 11 : 5;
    }
    return size;
}

template <typename Char>
char *put_string(char *out, const Char *text, Py_ssize_t length) {
    *out++ = '"';
    Py_ssize_t i = 0;
    while (i < length) {
        // Plain characters are checked and copied a word at a time...
        if constexpr (sizeof(Char) == 1) {
            constexpr Py_ssize_t lanes = 8 / sizeof(Char);
            while (i + lanes <= length && plain_word(text + i)) {
                if constexpr (sizeof(Char) == 1) {
                    std::memcpy(out, text + i, 8);
                } else {
                    uint64_t w;
                    std::memcpy(&w, text + i, 8);
                    out[0] = static_cast<char>(w);
                    out[1] = static_cast<char>(w >> 16);
                    out[2] = static_cast<char>(w >> 32);
                    out[3] = static_cast<char>(w >> 48);
                }
                out += lanes;
                i += lanes;
            }
        }
        // ...then one at a time up to the next character that needs escaping.
        while (i < length && plain(text[i]))
            *out++ = static_cast<char>(text[i++]);
        if (i < length)
            out = put_escaped(out, text[i++]);
    }
    *out++ = '"';
    return out;
}

// A JSON value that is either null or a string.
struct Value {
    PyObject *object;

    Py_ssize_t size() const {
        if (object == Py_None)
            return 4;
        switch (PyUnicode_KIND(object)) {
            case PyUnicode_1BYTE_KIND:
                return string_size(PyUnicode_1BYTE_DATA(object), PyUnicode_GET_LENGTH(object));
            case PyUnicode_2BYTE_KIND:
                return string_size(PyUnicode_2BYTE_DATA(object), PyUnicode_GET_LENGTH(object));
            default:
                return string_size(PyUnicode_4BYTE_DATA(object), PyUnicode_GET_LENGTH(object));
        }
    }

    char *put(char *out) const {
        if (object == Py_None) {
            std::memcpy(out, "null", 4);
            return out + 4;
        }
        switch (PyUnicode_KIND(object)) {
            case PyUnicode_1BYTE_KIND:
                return put_string(out, PyUnicode_1BYTE_DATA(object), PyUnicode_GET_LENGTH(object));
            case PyUnicode_2BYTE_KIND:
                return put_string(out, PyUnicode_2BYTE_DATA(object), PyUnicode_GET_LENGTH(object));
            default:
                return put_string(out, PyUnicode_4BYTE_DATA(object), PyUnicode_GET_LENGTH(object));
        }
    }
};

}  // namespace tavix::server::json_text
