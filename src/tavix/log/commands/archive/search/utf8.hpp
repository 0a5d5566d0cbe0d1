// UTF-8 pieces of the log searcher: encoding, counting characters the way the
// interpreter's replacing decoder does, and the byte ranges that spell a range
// of characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavix::search {

constexpr uint32_t kMaxCode = 0x10FFFF;

void append_utf8(std::string &out, uint32_t code);

// Decodes the character at p[0..n) (n > 0) into `code`; returns its length,
// or 0 when the bytes there are not a well-formed character.
size_t decode_utf8(const unsigned char *p, size_t n, uint32_t &code);

// Number of characters that decoding p[0..n) with replacement gives: each
// well-formed character and each maximal ill-formed piece counts one.
size_t count_characters(const char *p, size_t n);

// One alternative of a character range spelled in bytes: byte i lies in
// [lo[i], hi[i]].
struct ByteSequence {
    uint8_t length = 0;
    uint8_t lo[4] = {}, hi[4] = {};
};

// The byte sequences that spell exactly the characters of [lo, hi]
// (surrogates excluded).
std::vector<ByteSequence> utf8_sequences(uint32_t lo, uint32_t hi);

}  // namespace tavix::search
