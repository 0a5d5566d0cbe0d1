#include "literal_finder.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

#include "case_fold.hpp"
#include "utf8.hpp"

namespace tavix::search {

namespace {

ByteChoice choice_of(const std::bitset<256> &allowed) {
    ByteChoice choice;
    for (int b = 0; b < 256; ++b)
        if (allowed[b]) {
            if (choice.count == 4)
                return ByteChoice{};
            choice.bytes[choice.count++] = (unsigned char)b;
        }
    return choice;
}

// How often a byte turns up in log text, roughly: 3 on most lines (blanks,
// digits, common lower-case letters, the time stamp's separators), 2 often,
// 1 seldom. The scan looks for the query's two rarest bytes.
int commonness(unsigned char b) {
    if (b == 0)
        return 1;
    if (b == ' ' || (b >= '0' && b <= '9') || std::strchr("etaoinsrhldcum:-.T", b))
        return 3;
    if ((b >= 'a' && b <= 'z') || std::strchr("/_,=[]%()'", b))
        return 2;
    return 1;
}

}  // namespace

LiteralFinder::LiteralFinder(const std::string &query, bool ignore_case)
    : query_(query), ignore_case_(ignore_case) {
    if (!ignore_case) {
        for (unsigned char b : query) {
            allowed_.emplace_back();
            allowed_.back()[b] = true;
        }
    } else {
        fold_positions();
    }
    choose_positions();
}

void LiteralFinder::fold_positions() {
    const std::string &query = query_;
    const auto *p = reinterpret_cast<const unsigned char *>(query.data());
    for (size_t i = 0; i < query.size();) {
        uint32_t code = 0;
        size_t length = decode_utf8(p + i, query.size() - i, code);
        std::vector<std::bitset<256>> positions(length);
        size_t same_length = 0;
        for (uint32_t variant : case_variants(code)) {
            std::string spelling;
            append_utf8(spelling, variant);
            if (spelling.size() != length) {
                other_lengths_.push_back(spelling);
                continue;
            }
            ++same_length;
            for (size_t k = 0; k < length; ++k)
                positions[k][(unsigned char)spelling[k]] = true;
        }
        // The byte sets allow exactly the variants unless two of them differ
        // in more than one byte.
        size_t combinations = 1;
        for (const auto &allowed : positions) {
            combinations *= allowed.count();
        }
        exact_ = exact_ && combinations == same_length;
        for (auto &allowed : positions)
            allowed_.push_back(std::move(allowed));
        i += length;
    }
    std::bitset<256> leads;
    for (const std::string &spelling : other_lengths_)
        leads[(unsigned char)spelling[0]] = true;
    other_length_leads_ = choice_of(leads);
}

// The two positions to scan for: those whose bytes are rarest, and of equal
// rarity the ones farthest apart (the first and last byte when nothing is
// rarer).
void LiteralFinder::choose_positions() {
    auto score = [&](size_t k) {
        ByteChoice choice = choice_of(allowed_[k]);
        if (choice.count == 0)
            return 100;
        int most = 0;
        for (int i = 0; i < choice.count; ++i)
            most = std::max(most, commonness(choice.bytes[i]));
        return most * 4 + choice.count;
    };
    std::vector<int> scores(allowed_.size());
    for (size_t k = 0; k < allowed_.size(); ++k)
        scores[k] = score(k);
    size_t best_a = 0, best_b = allowed_.size() ? allowed_.size() - 1 : 0;
    int best = INT32_MAX;
    for (size_t a = 0; a < scores.size(); ++a)
        for (size_t b = a; b < scores.size(); ++b) {
            if (a == b && scores.size() > 1)
                continue;
            int value = (scores[a] + scores[b]) * 64 - int(std::min<size_t>(b - a, 63));
            if (value < best)
                best = value, best_a = a, best_b = b;
        }
    first_ = best_a, last_ = best_b;
    first_bytes_ = allowed_.empty() ? ByteChoice{} : choice_of(allowed_[first_]);
    last_bytes_ = allowed_.empty() ? ByteChoice{} : choice_of(allowed_[last_]);
}

bool LiteralFinder::matches_at(const unsigned char *p) const {
    if (!ignore_case_)
        return std::memcmp(p, query_.data(), query_.size()) == 0;
    for (size_t k = 0; k < allowed_.size(); ++k)
        if (!allowed_[k][p[k]])
            return false;
    return true;
}

size_t LiteralFinder::find(const unsigned char *text, size_t from, size_t size) const {
    size_t length = query_.size();
    if (size < length || from > size - length)
        return size;
    size_t end = size - length;  // last possible start
    size_t i = from;
#if defined(__SSE2__)
    if (first_bytes_.count > 0 && last_bytes_.count > 0) {
    __m128i first[4], last[4];
    for (int k = 0; k < first_bytes_.count; ++k)
        first[k] = _mm_set1_epi8(char(first_bytes_.bytes[k]));
    for (int k = 0; k < last_bytes_.count; ++k)
        last[k] = _mm_set1_epi8(char(last_bytes_.bytes[k]));
    for (; i + 16 <= end + 1; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i + first_));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i + last_));
        __m128i hit_a = _mm_cmpeq_epi8(a, first[0]), hit_b = _mm_cmpeq_epi8(b, last[0]);
        for (int k = 1; k < first_bytes_.count; ++k)
            hit_a = _mm_or_si128(hit_a, _mm_cmpeq_epi8(a, first[k]));
        for (int k = 1; k < last_bytes_.count; ++k)
            hit_b = _mm_or_si128(hit_b, _mm_cmpeq_epi8(b, last[k]));
        unsigned mask = unsigned(_mm_movemask_epi8(_mm_and_si128(hit_a, hit_b)));
        while (mask) {
            size_t candidate = i + size_t(__builtin_ctz(mask));
            if (matches_at(text + candidate))
                return candidate;
            mask &= mask - 1;
        }
    }
    }
#endif
    for (; i <= end; ++i)
        if (matches_at(text + i))
            return i;
    return size;
}

}  // namespace tavix::search
