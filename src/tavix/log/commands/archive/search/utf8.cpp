#include "utf8.hpp"

namespace tavix::search {

void append_utf8(std::string &out, uint32_t code) {
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | (code >> 6));
        out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += char(0xE0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xF0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3F));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

namespace {

inline bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The range the second byte of a sequence led by `lead` must lie in; false
// when `lead` leads no sequence.
bool second_byte_range(unsigned char lead, unsigned char &lo, unsigned char &hi, size_t &length) {
    lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else
        return false;
    return true;
}

// Length of the well-formed character at p, or, when there is none, of the
// maximal ill-formed piece (at least 1); `valid` tells which.
size_t piece_at(const unsigned char *p, size_t n, bool &valid) {
    valid = false;
    unsigned char lo, hi;
    size_t length;
    if (p[0] < 0x80) {
        valid = true;
        return 1;
    }
    if (!second_byte_range(p[0], lo, hi, length))
        return 1;
    if (n < 2 || p[1] < lo || p[1] > hi)
        return 1;
    size_t i = 2;
    while (i < length && i < n && continuation(p[i]))
        ++i;
    valid = i == length;
    return i;
}

}  // namespace

size_t decode_utf8(const unsigned char *p, size_t n, uint32_t &code) {
    bool valid;
    size_t length = piece_at(p, n, valid);
    if (!valid)
        return 0;
    if (length == 1)
        code = p[0];
    else if (length == 2)
        code = ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu);
    else if (length == 3)
        code = ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    else
        code = ((p[0] & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) |
               (p[3] & 0x3Fu);
    return length;
}

size_t count_characters(const char *data, size_t n) {
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    size_t count = 0, i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            ++i;
        } else {
            bool valid;
            i += piece_at(p + i, n - i, valid);
        }
        ++count;
    }
    return count;
}

namespace {

void encode_fixed(uint32_t code, size_t length, uint8_t *out) {
    std::string bytes;
    append_utf8(bytes, code);
    for (size_t i = 0; i < length; ++i)
        out[i] = uint8_t(bytes[i]);
}

size_t encoded_length(uint32_t code) {
    return code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
}

// Splits [lo, hi] (one encoded length) until every piece's characters differ
// only in trailing bytes that run over full ranges: such a piece is one
// sequence of byte ranges.
void split(uint32_t lo, uint32_t hi, std::vector<ByteSequence> &out) {
    size_t length = encoded_length(lo);
    for (size_t i = 1; i < length; ++i) {
        uint32_t mask = (1u << (6 * i)) - 1;
        if ((lo & ~mask) != (hi & ~mask)) {
            if ((lo & mask) != 0) {
                split(lo, lo | mask, out);
                split((lo | mask) + 1, hi, out);
                return;
            }
            if ((hi & mask) != mask) {
                split(lo, (hi & ~mask) - 1, out);
                split(hi & ~mask, hi, out);
                return;
            }
        }
    }
    ByteSequence sequence;
    sequence.length = uint8_t(length);
    encode_fixed(lo, length, sequence.lo);
    encode_fixed(hi, length, sequence.hi);
    out.push_back(sequence);
}

}  // namespace

std::vector<ByteSequence> utf8_sequences(uint32_t lo, uint32_t hi) {
    std::vector<ByteSequence> out;
    const uint32_t bounds[][2] = {{0, 0x7F}, {0x80, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF},
                                  {0x10000, kMaxCode}};
    for (const auto &bound : bounds) {
        uint32_t from = lo > bound[0] ? lo : bound[0], to = hi < bound[1] ? hi : bound[1];
        if (from <= to)
            split(from, to, out);
    }
    return out;
}

}  // namespace tavix::search
