// A streaming 64-bit hash of byte strings fed in pieces: equal texts hash
// equal however they are cut, eight bytes a step.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace tavix::line_diff {

class LineHasher {
public:
    void feed(std::string_view piece) {
        const char *p = piece.data();
        size_t n = piece.size();
        length_ += n;
        while (pending_ && n) {
            carry_ |= uint64_t(uint8_t(*p++)) << (8 * pending_);
            --n;
            if (++pending_ == 8)
                absorb(carry_), pending_ = 0, carry_ = 0;
        }
        for (; n >= 8; p += 8, n -= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            absorb(word);
        }
        for (; n; --n)
            carry_ |= uint64_t(uint8_t(*p++)) << (8 * pending_++);
    }

    uint64_t finish() {
        if (pending_)
            absorb(carry_);
        uint64_t h = state_ ^ length_;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        return h ^ (h >> 33);
    }

private:
    void absorb(uint64_t word) {
        state_ ^= word * 0x9e3779b97f4a7c15ULL;
        state_ = ((state_ << 31) | (state_ >> 33)) * 0x87c37b91114253d5ULL;
    }

    uint64_t state_ = 0x243f6a8885a308d3ULL, carry_ = 0, length_ = 0;
    unsigned pending_ = 0;
};

}  // namespace tavix::line_diff
