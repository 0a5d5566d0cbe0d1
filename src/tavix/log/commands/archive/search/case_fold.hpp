// Case equivalence of characters for searches that ignore case: the same
// classes the interpreter's regular expressions use, from a generated table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavix::search {

// The smallest character equal to `code` ignoring case (`code` itself when it
// has no other case).
uint32_t case_key(uint32_t code);

// Every character equal to `code` ignoring case, `code` included.
std::vector<uint32_t> case_variants(uint32_t code);

// Calls add(code) for every character outside [lo, hi] that equals one
// inside it ignoring case.
template <typename Add>
void for_each_case_relative(uint32_t lo, uint32_t hi, Add &&add);

struct CasePair {
    uint32_t code, key;
};
extern const CasePair kCasePairs[];
extern const size_t kCasePairCount;

template <typename Add>
void for_each_case_relative(uint32_t lo, uint32_t hi, Add &&add) {
    // Keys of the classes that meet the range, then every member of them.
    std::vector<uint32_t> keys;
    for (size_t i = 0; i < kCasePairCount; ++i)
        if (kCasePairs[i].code >= lo && kCasePairs[i].code <= hi)
            keys.push_back(kCasePairs[i].key);
    if (keys.empty())
        return;
    for (size_t i = 0; i < kCasePairCount; ++i) {
        const CasePair &pair = kCasePairs[i];
        if (pair.code >= lo && pair.code <= hi)
            continue;
        for (uint32_t key : keys)
            if (key == pair.key) {
                add(pair.code);
                break;
            }
    }
}

}  // namespace tavix::search
