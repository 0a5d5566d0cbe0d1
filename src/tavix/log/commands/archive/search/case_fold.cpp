#include "case_fold.hpp"

#include <algorithm>

namespace tavix::search {

const CasePair kCasePairs[] = {
#include "case_fold_table.inc"
};
const size_t kCasePairCount = sizeof kCasePairs / sizeof kCasePairs[0];

namespace {

const CasePair *find_pair(uint32_t code) {
    const CasePair *end = kCasePairs + kCasePairCount;
    const CasePair *found = std::lower_bound(
        kCasePairs, end, code, [](const CasePair &pair, uint32_t value) { return pair.code < value; });
    return found != end && found->code == code ? found : nullptr;
}

}  // namespace

uint32_t case_key(uint32_t code) {
    const CasePair *pair = find_pair(code);
    return pair ? pair->key : code;
}

std::vector<uint32_t> case_variants(uint32_t code) {
    const CasePair *pair = find_pair(code);
    if (!pair)
        return {code};
    std::vector<uint32_t> variants;
    for (size_t i = 0; i < kCasePairCount; ++i)
        if (kCasePairs[i].key == pair->key)
            variants.push_back(kCasePairs[i].code);
    return variants;
}

}  // namespace tavix::search
