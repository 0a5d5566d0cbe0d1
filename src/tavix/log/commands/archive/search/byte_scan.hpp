// Vectorised byte scans shared by the search engines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavix::search {

// Up to four bytes to look for at once.
struct ByteChoice {
    unsigned char bytes[4] = {};
    int count = 0;
    bool has(unsigned char c) const {
        for (int i = 0; i < count; ++i)
            if (bytes[i] == c)
                return true;
        return false;
    }
};

// The first position in [p, p + n) holding one of `choice`, or n.
inline size_t find_any(const unsigned char *p, size_t n, const ByteChoice &choice) {
    if (choice.count == 1) {
        const void *found = std::memchr(p, choice.bytes[0], n);
        return found ? size_t(static_cast<const unsigned char *>(found) - p) : n;
    }
    size_t i = 0;
#if defined(__SSE2__)
    __m128i wanted[4];
    for (int k = 0; k < choice.count; ++k)
        wanted[k] = _mm_set1_epi8(char(choice.bytes[k]));
    for (; i + 16 <= n; i += 16) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        __m128i hit = _mm_cmpeq_epi8(block, wanted[0]);
        for (int k = 1; k < choice.count; ++k)
            hit = _mm_or_si128(hit, _mm_cmpeq_epi8(block, wanted[k]));
        if (int mask = _mm_movemask_epi8(hit))
            return i + size_t(__builtin_ctz(unsigned(mask)));
    }
#endif
    for (; i < n; ++i)
        if (choice.has(p[i]))
            return i;
    return n;
}

}  // namespace tavix::search
