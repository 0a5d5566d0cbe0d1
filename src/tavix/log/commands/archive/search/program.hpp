// A query compiled to a program over bytes: the automaton both matching
// engines run. Characters become the UTF-8 byte sequences that spell them;
// "\n" is never consumed, so no match runs across a line end.
#pragma once

#include <cstdint>
#include <vector>

#include "query.hpp"

namespace tavix::search {

struct Inst {
    enum Op : uint8_t { Byte, Split, Match, Assert } op;
    uint8_t lo = 0, hi = 0;  // Byte: consumes one byte in [lo, hi]
    Assertion assertion = Assertion::LineStart;
    uint32_t out = 0, out1 = 0;  // Split prefers `out`
};

struct Program {
    std::vector<Inst> insts;
    uint32_t start = 0;
    bool has_word_assertion = false;
    // Bytes that no Byte instruction tells apart share a class.
    uint8_t byte_class[256] = {};
    int class_count = 0;
};

// Raises QueryError when the program would exceed its size cap.
Program compile(const Node &root);

inline bool is_word_byte(unsigned char c) {
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c == '_';
}

}  // namespace tavix::search
