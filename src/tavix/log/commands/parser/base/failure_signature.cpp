// The signature of a failure cause: its message with the parts that vary from
// one failure to the next replaced by placeholders, so that failures with the
// same cause share one signature.
//
// At a position not preceded by an ASCII letter, digit or underscore, the
// first of these that matches there (and is not followed by one of those) is
// replaced: a quoted string ('...', "...", “...”, ‘...’, «...», quotes kept)
// by <STR>, a UUID by <UUID>, a date (yyyy-mm-dd or yyyy/mm/dd) by <DATE>, a
// time (h:mm:ss with optional fraction and zone) by <TIME>, an IPv6 or IPv4
// address by <IP>, a MAC address by <MAC>, a hexadecimal number (0x..., or
// hex digits mixing digits and letters) by <HEX>, a run of decimal digits by
// <N>. Runs of white space become one blank; none is kept at either end.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <array>
#include <vector>

#include "base.hpp"
#include "failures.hpp"
#include "record_line.hpp"

namespace tavix::failures {

namespace {

using record_line::space_at;

bool digit(char c) { return c >= '0' && c <= '9'; }
bool hex_digit(char c) { return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool word(char c) { return digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

class Reader {
public:
    explicit Reader(std::string_view text) : s_(text) { unclosed_from_.fill(std::string_view::npos); }

    char at(size_t i) const { return i < s_.size() ? s_[i] : '\0'; }
    // Nothing that continues a word follows position `end`.
    bool ends(size_t end) const { return !word(at(end)); }
    size_t run(size_t i, bool (*accept)(char)) const {
        size_t j = i;
        while (j < s_.size() && accept(s_[j]))
            ++j;
        return j - i;
    }
    // Exactly `count` characters accepted by `accept` at i.
    bool exactly(size_t i, size_t count, bool (*accept)(char)) const {
        for (size_t k = 0; k < count; ++k)
            if (!accept(at(i + k)))
                return false;
        return true;
    }

    // Opening and closing quote of a quoted string starting at i; the length
    // of the whole string, or 0.
    size_t quoted(size_t i, size_t &open, size_t &close) {
        for (size_t kind = 0; kind < kQuotes.size(); ++kind) {
            auto [opening, closing] = kQuotes[kind];
            if (s_.compare(i, opening.size(), opening) != 0)
                continue;
            size_t from = i + opening.size();
            // A line of unclosed quotes would otherwise be searched to its end
            // once per quote.
            if (from >= unclosed_from_[kind])
                return 0;
            for (size_t j = s_.find(closing, from); j != std::string_view::npos; j = s_.find(closing, j + 1))
                if (ends(j + closing.size())) {
                    open = opening.size();
                    close = closing.size();
                    return j + closing.size() - i;
                }
            unclosed_from_[kind] = from;
            return 0;
        }
        return 0;
    }

    size_t uuid(size_t i) const {
        size_t j = i;
        for (size_t group : {8, 4, 4, 4, 12}) {
            if (j != i && at(j++) != '-')
                return 0;
            if (!exactly(j, group, hex_digit))
                return 0;
            j += group;
        }
        return ends(j) ? j - i : 0;
    }

    // yyyy-mm-dd or yyyy/mm/dd, without the end test.
    bool date_shape(size_t i) const {
        char separator = at(i + 4);
        return exactly(i, 4, digit) && (separator == '-' || separator == '/') &&
               exactly(i + 5, 2, digit) && at(i + 7) == separator && exactly(i + 8, 2, digit);
    }

    size_t date(size_t i) const { return date_shape(i) && ends(i + 10) ? 10 : 0; }

    // A date, "T" and a time.
    size_t date_time(size_t i) const {
        if (!date_shape(i) || at(i + 10) != 'T')
            return 0;
        size_t length = time(i + 11);
        return length ? 11 + length : 0;
    }

    // h:mm:ss or hh:mm:ss, then optionally a fraction and a zone (Z, +hh:mm,
    // +hhmm); the longest of these forms that is not followed by a word.
    size_t time(size_t i) const {
        size_t hours = std::min<size_t>(run(i, digit), 2);
        if (!hours || at(i + hours) != ':')
            return 0;
        size_t j = i + hours + 1;
        if (!exactly(j, 2, digit) || at(j + 2) != ':' || !exactly(j + 3, 2, digit))
            return 0;
        size_t seconds_end = j + 5;
        size_t fraction_end = at(seconds_end) == '.' && digit(at(seconds_end + 1))
                                  ? seconds_end + 1 + run(seconds_end + 1, digit)
                                  : 0;
        for (size_t from : {fraction_end, seconds_end}) {
            if (!from)
                continue;
            std::array<size_t, 3> ends_with_zone{};
            char sign = at(from);
            if (sign == 'Z') {
                ends_with_zone[0] = from + 1;
            } else if ((sign == '+' || sign == '-') && exactly(from + 1, 2, digit)) {
                if (at(from + 3) == ':' && exactly(from + 4, 2, digit))
                    ends_with_zone[0] = from + 6;
                if (exactly(from + 3, 2, digit))
                    ends_with_zone[1] = from + 5;
            }
            ends_with_zone[2] = from;
            for (size_t end : ends_with_zone)
                if (end && ends(end))
                    return end - i;
        }
        return 0;
    }

    // An IPv4 address, strictly: four decimal octets up to 255 without
    // leading zeros.
    static bool ipv4_valid(std::string_view text) {
        size_t octets = 0, i = 0;
        for (;;) {
            size_t j = i;
            while (j < text.size() && digit(text[j]))
                ++j;
            size_t length = j - i;
            if (!length || length > 3 || (length > 1 && text[i] == '0'))
                return false;
            int value = 0;
            for (size_t k = i; k < j; ++k)
                value = value * 10 + (text[k] - '0');
            if (value > 255)
                return false;
            ++octets;
            if (j == text.size())
                return octets == 4;
            if (text[j] != '.' || octets == 4)
                return false;
            i = j + 1;
        }
    }

    size_t ipv4(size_t i) const {
        size_t j = i;
        for (int octet = 0; octet < 4; ++octet) {
            if (octet && at(j++) != '.')
                return 0;
            size_t length = run(j, digit);
            if (!length || length > 3)
                return 0;
            j += length;
        }
        return ends(j) && ipv4_valid(s_.substr(i, j - i)) ? j - i : 0;
    }

    // The rules of a strict IPv6 parser: hextets of one to four hex digits,
    // at most one "::", an optional IPv4 tail.
    static bool ipv6_valid(std::string_view text) {
        // At most nine parts, counted before splitting: a run of colons offers
        // many candidates.
        if (std::count(text.begin(), text.end(), ':') > 8)
            return false;
        std::vector<std::string_view> parts;
        for (size_t from = 0;;) {
            size_t colon = text.find(':', from);
            if (colon == std::string_view::npos) {
                parts.push_back(text.substr(from));
                break;
            }
            parts.push_back(text.substr(from, colon - from));
            from = colon + 1;
        }
        if (parts.size() < 3)
            return false;
        if (parts.back().find('.') != std::string_view::npos) {
            if (!ipv4_valid(parts.back()))
                return false;
            parts.back() = "0";
            parts.push_back("0");
        }
        size_t count = parts.size();
        if (count > 9)
            return false;
        size_t skip = 0;
        for (size_t k = 1; k + 1 < count; ++k)
            if (parts[k].empty()) {
                if (skip)
                    return false;
                skip = k;
            }
        size_t high = count, low = 0;
        if (skip) {
            high = skip;
            low = count - skip - 1;
            if (parts.front().empty() && --high)
                return false;
            if (parts.back().empty() && --low)
                return false;
            if (high + low > 7)
                return false;
        } else if (count != 8 || parts.front().empty() || parts.back().empty()) {
            return false;
        }
        auto hextet = [](std::string_view part) {
            if (part.empty() || part.size() > 4)
                return false;
            for (char c : part)
                if (!hex_digit(c))
                    return false;
            return true;
        };
        for (size_t k = 0; k < high; ++k)
            if (!hextet(parts[k]))
                return false;
        for (size_t k = count - low; k < count; ++k)
            if (!hextet(parts[k]))
                return false;
        return true;
    }

    // The longest run of address characters at i that is an IPv6 address,
    // dropping trailing colons and dots one by one. No IPv6 address is longer
    // than 45 characters, so longer candidates are skipped, and the run is
    // measured once for all the positions inside it.
    size_t ipv6(size_t i) {
        static constexpr size_t kLongest = 45;
        if (i < address_run_.begin || i >= address_run_.end) {
            size_t end = i + run(i, [](char c) { return hex_digit(c) || c == ':' || c == '.'; });
            size_t tail = end;
            while (tail > i && (s_[tail - 1] == ':' || s_[tail - 1] == '.'))
                --tail;
            address_run_ = {i, end, tail};
        }
        // Candidates end in the trailing colons and dots, or right after the
        // last hex digit.
        size_t shortest = std::max(address_run_.tail, i) - i;
        for (size_t length = std::min(address_run_.end - i, kLongest); length && length >= shortest; --length)
            if (ends(i + length) && ipv6_valid(s_.substr(i, length)))
                return length;
        return 0;
    }

    size_t mac(size_t i) const {
        char separator = at(i + 2);
        if (separator != ':' && separator != '-')
            return 0;
        for (size_t pair = 0; pair < 6; ++pair) {
            size_t j = i + 3 * pair;
            if (!exactly(j, 2, hex_digit) || (pair < 5 && at(j + 2) != separator))
                return 0;
        }
        return ends(i + 17) ? 17 : 0;
    }

    size_t hex(size_t i) const {
        if (at(i) == '0' && (at(i + 1) == 'x' || at(i + 1) == 'X') && hex_digit(at(i + 2))) {
            size_t end = i + 2 + run(i + 2, hex_digit);
            return ends(end) ? end - i : 0;
        }
        size_t length = run(i, hex_digit);
        bool digits = false, letters = false;
        for (size_t k = i; k < i + length; ++k)
            (digit(s_[k]) ? digits : letters) = true;
        return digits && letters && ends(i + length) ? length : 0;
    }

private:
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kQuotes{{
        {"'", "'"}, {"\"", "\""}, {"\u201c", "\u201d"}, {"\u2018", "\u2019"}, {"\u00ab", "\u00bb"}}};
    // The run of address characters last measured, and where its trailing
    // colons and dots start.
    struct AddressRun {
        size_t begin = 0, end = 0, tail = 0;
    };

    std::string_view s_;
    // Per quote kind: no closing quote ends a quoted string from here on.
    std::array<size_t, kQuotes.size()> unclosed_from_;
    AddressRun address_run_;
};

}  // namespace

std::string signature(std::string_view message) {
    Reader text(message);
    std::string out;
    bool blank = false;
    auto put = [&](std::string_view piece) {
        if (blank && !out.empty())
            out += ' ';
        blank = false;
        out.append(piece);
    };
    auto p = reinterpret_cast<const unsigned char *>(message.data());
    size_t i = 0, n = message.size();
    while (i < n) {
        if (size_t width = space_at(p + i, n - i)) {
            i += width;
            blank = true;
            continue;
        }
        bool starts_word = i == 0 || !word(message[i - 1]);
        char c = message[i];
        if (starts_word) {
            size_t open = 0, close = 0;
            if (size_t length = text.quoted(i, open, close)) {
                put(message.substr(i, open));
                out += "<STR>";
                out.append(message.substr(i + length - close, close));
                i += length;
                continue;
            }
            if (hex_digit(c) || c == ':') {
                size_t length = 0;
                const char *placeholder = nullptr;
                if ((length = text.uuid(i)))
                    placeholder = "<UUID>";
                else if ((length = text.date_time(i)))
                    placeholder = "<DATE>T<TIME>";
                else if ((length = text.date(i)))
                    placeholder = "<DATE>";
                else if ((length = text.time(i)))
                    placeholder = "<TIME>";
                else if ((length = text.ipv6(i)) || (length = text.ipv4(i)))
                    placeholder = "<IP>";
                else if ((length = text.mac(i)))
                    placeholder = "<MAC>";
                else if ((length = text.hex(i)))
                    placeholder = "<HEX>";
                if (placeholder) {
                    put(placeholder);
                    i += length;
                    continue;
                }
            }
        }
        if (digit(c)) {
            size_t length = text.run(i, digit);
            put(starts_word ? std::string_view("<N>") : message.substr(i, length));
            i += length;
            continue;
        }
        put(message.substr(i, 1));
        ++i;
    }
    return out;
}

}  // namespace tavix::failures

namespace tavix::parser_base {

void define_failure_signature(nb::module_ &module) {
    module.def(
        "failure_signature",
        [](nb::handle message) {
            // Lone surrogates travel through unchanged.
            nb::object bytes = checked(PyUnicode_AsEncodedString(message.ptr(), "utf-8", "surrogatepass"));
            std::string text = failures::signature(
                std::string_view(PyBytes_AS_STRING(bytes.ptr()), size_t(PyBytes_GET_SIZE(bytes.ptr()))));
            return checked(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "surrogatepass"));
        },
        nb::arg("message"),
        "The signature of a failure message: numbers, hexadecimal numbers, IPv4 and IPv6 "
        "addresses, MAC addresses, UUIDs, quoted strings, dates and times replaced by "
        "placeholders (<N>, <HEX>, <IP>, <MAC>, <UUID>, <STR>, <DATE>, <TIME>), runs of "
        "white space collapsed to one blank.");
}

}  // namespace tavix::parser_base
