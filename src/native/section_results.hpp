// What a section's or step's record says of how it went, read one way by
// everything that judges runs: the failures, the run comparison, the run
// index (through the parser's is_failing_result and run_time_seconds) and the
// JUnit export.
#pragma once

#include <charconv>
#include <cmath>
#include <optional>
#include <string_view>

#include "record_line.hpp"

namespace tavix::section_results {

// The text without the white space around it, as str.strip removes it.
inline std::string_view stripped(std::string_view text) {
    auto p = reinterpret_cast<const unsigned char *>(text.data());
    size_t from = 0, to = text.size();
    while (size_t width = record_line::space_at(p + from, to - from))
        from += width;
    while (size_t width = record_line::space_before(p + from, to - from))
        to -= width;
    return text.substr(from, to - from);
}

// Whether a result is a failing one: "failed", "errored", "aborted" or
// "blocked", in any ASCII case, with white space around it.
inline bool is_failing(std::string_view result) {
    std::string_view word = stripped(result);
    if (word.size() != 6 && word.size() != 7)
        return false;
    char lower[7];
    for (size_t i = 0; i < word.size(); ++i)
        lower[i] = char(word[i] >= 'A' && word[i] <= 'Z' ? word[i] + 32 : word[i]);
    std::string_view normal(lower, word.size());
    return normal == "failed" || normal == "errored" || normal == "aborted" || normal == "blocked";
}

// A run time in seconds: "S", "M:S" or "H:M:S" ("7.00", "0:03:07.2",
// "2:09:31"), each part digits with an optional fraction, white space
// around the whole; nothing for any other text.
inline std::optional<double> run_time_seconds(std::string_view text) {
    text = stripped(text);
    double total = 0;
    for (int part = 0; part < 3; ++part) {
        size_t colon = text.find(':');
        std::string_view number = text.substr(0, colon);
        size_t digits = 0, points = 0;
        for (char c : number) {
            digits += c >= '0' && c <= '9';
            points += c == '.';
        }
        if (digits == 0 || points > 1 || digits + points != number.size())
            return std::nullopt;
        double value = 0;
        auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value,
                                            std::chars_format::fixed);
        if (error != std::errc() || end != number.data() + number.size())
            return std::nullopt;
        total = total * 60 + value;
        if (colon == std::string_view::npos)
            return std::isfinite(total) ? std::optional<double>(total) : std::nullopt;
        text.remove_prefix(colon + 1);
    }
    return std::nullopt;
}

}  // namespace tavix::section_results
