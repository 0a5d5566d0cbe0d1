// The literal fast path: finds a literal query's occurrences with byte
// scans instead of an automaton. Ignoring case, each byte of the query
// becomes the set of bytes its character's variants of the same length have
// there; variants of another length ("K" for "k", "ſ" for "s") are listed
// apart, for the caller to look for (they are rare in logs).
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "byte_scan.hpp"

namespace tavix::search {

class LiteralFinder {
public:
    LiteralFinder(const std::string &query, bool ignore_case);

    // The first candidate start in [from, size - length()], or `size`.
    size_t find(const unsigned char *text, size_t from, size_t size) const;
    // Whether every candidate is a match (else each must be checked).
    bool exact() const { return exact_; }
    size_t length() const { return query_.size(); }
    // Spellings of variants whose length differs from their character's.
    const std::vector<std::string> &other_lengths() const { return other_lengths_; }
    // Their first bytes, when there are at most four (else none).
    const ByteChoice &other_length_leads() const { return other_length_leads_; }

private:
    bool matches_at(const unsigned char *p) const;
    void fold_positions();
    void choose_positions();

    std::string query_;
    bool ignore_case_;
    bool exact_ = true;
    std::vector<std::bitset<256>> allowed_;  // per byte of the query
    size_t first_ = 0, last_ = 0;             // positions scanned for
    ByteChoice first_bytes_, last_bytes_;
    std::vector<std::string> other_lengths_;
    ByteChoice other_length_leads_;
};

}  // namespace tavix::search
