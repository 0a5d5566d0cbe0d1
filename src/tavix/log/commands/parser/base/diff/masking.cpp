#include "masking.hpp"

#include <cstring>

#include "record_line.hpp"

namespace tavix::line_diff {

namespace {

const char *const KIND_NAMES[MASKED_KIND_COUNT] = {
    "sequence number", "timestamp", "process", "thread", "part", "uuid", "hex address", "date-time"};

bool digit(char c) { return c >= '0' && c <= '9'; }
bool hex(char c) { return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool word(char c) {
    return digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

void put_marker(std::string &out, char letter) {
    out.push_back('\0');
    out.push_back(letter);
}

// Whether `count` digits start at s[i].
bool digits_at(std::string_view s, size_t i, size_t count) {
    if (i + count > s.size())
        return false;
    for (size_t k = i; k < i + count; ++k)
        if (!digit(s[k]))
            return false;
    return true;
}

// "HH:MM:SS" at s[i].
bool clock_at(std::string_view s, size_t i) {
    return digits_at(s, i, 2) && i + 8 <= s.size() && s[i + 2] == ':' && digits_at(s, i + 3, 2) &&
           s[i + 5] == ':' && digits_at(s, i + 6, 2);
}

// Length of the ISO 8601 date-time at s[i] ("2026-12-08T17:17:41" or with a
// blank for the "T", an optional fraction and zone), or 0.
size_t iso_date_time(std::string_view s, size_t i) {
    if (!(digits_at(s, i, 4) && i + 19 <= s.size() && s[i + 4] == '-' && digits_at(s, i + 5, 2) &&
          s[i + 7] == '-' && digits_at(s, i + 8, 2) && (s[i + 10] == 'T' || s[i + 10] == ' ') &&
          clock_at(s, i + 11)))
        return 0;
    size_t end = i + 19;
    if (end + 1 < s.size() && (s[end] == '.' || s[end] == ',') && digit(s[end + 1])) {
        ++end;
        while (end < s.size() && digit(s[end]))
            ++end;
    }
    if (end < s.size() && s[end] == 'Z') {
        ++end;
    } else if (end < s.size() && (s[end] == '+' || s[end] == '-') && digits_at(s, end + 1, 2)) {
        size_t zone = end + 3;
        if (zone < s.size() && s[zone] == ':' && digits_at(s, zone + 1, 2))
            zone += 3;
        else if (digits_at(s, zone, 2))
            zone += 2;
        end = zone;
    }
    return end < s.size() && digit(s[end]) ? 0 : end - i;
}

// Length of the syslog time stamp at s[i] ("Dec  8 17:17:41"), or 0.
size_t syslog_date_time(std::string_view s, size_t i) {
    static const char MONTHS[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (i + 14 > s.size())
        return 0;
    bool month = false;
    for (size_t m = 0; m < 36 && !month; m += 3)
        month = std::memcmp(s.data() + i, MONTHS + m, 3) == 0;
    if (!month || s[i + 3] != ' ')
        return 0;
    size_t at = i + 4;
    if (s[at] == ' ')
        ++at;
    size_t day = at;
    while (at < s.size() && at < day + 2 && digit(s[at]))
        ++at;
    if (at == day || at >= s.size() || s[at] != ' ' || !clock_at(s, at + 1))
        return 0;
    size_t end = at + 9;
    return end < s.size() && digit(s[end]) ? 0 : end - i;
}

// Whether a UUID (8-4-4-4-12 hexadecimal digits) starts at s[i].
bool uuid_at(std::string_view s, size_t i) {
    if (i + 36 > s.size())
        return false;
    for (size_t k = 0; k < 36; ++k) {
        bool dash = k == 8 || k == 13 || k == 18 || k == 23;
        if (dash ? s[i + k] != '-' : !hex(s[i + k]))
            return false;
    }
    return i + 36 == s.size() || !word(s[i + 36]);
}

// Masks UUIDs, hexadecimal addresses and date-times anywhere in `s`.
unsigned mask_anywhere(std::string_view s, std::string &out) {
    unsigned kinds = 0;
    size_t i = 0, n = s.size();
    while (i < n) {
        char c = s[i];
        if (i == 0 || !word(s[i - 1])) {
            if (c == '0' && i + 2 < n && (s[i + 1] == 'x' || s[i + 1] == 'X') && hex(s[i + 2])) {
                size_t end = i + 2;
                while (end < n && hex(s[end]))
                    ++end;
                if (end == n || !word(s[end])) {
                    put_marker(out, 'x');
                    kinds |= HEX_ADDRESS;
                    i = end;
                    continue;
                }
            }
            if (hex(c) && uuid_at(s, i)) {
                put_marker(out, 'u');
                kinds |= UUID;
                i += 36;
                continue;
            }
            size_t length = digit(c) ? iso_date_time(s, i) : (c >= 'A' && c <= 'S') ? syslog_date_time(s, i) : 0;
            if (length) {
                put_marker(out, 'd');
                kinds |= DATE_TIME;
                i += length;
                continue;
            }
        }
        // Runs of characters that start nothing maskable are copied at once.
        size_t end = i + 1;
        while (end < n && word(s[end]) && word(s[end - 1]))
            ++end;
        out.append(s.data() + i, end - i);
        i = end;
    }
    return kinds;
}

// The kind of a tag by its key, or 0 for a tag that is kept.
unsigned tag_kind(std::string_view key) {
    if (key == "pid" || key == "pname")
        return PROCESS;
    if (key == "tid" || key == "tname")
        return THREAD;
    if (key == "part")
        return PART;
    return 0;
}

// Masks the values of the tags field "%[key=value][key=value]" into `out`.
unsigned mask_tags(std::string_view tags, std::string &out) {
    unsigned kinds = 0;
    out.push_back('%');
    size_t i = 1;
    while (i < tags.size()) {
        size_t close = tags.find("][", i);
        size_t end = close == std::string_view::npos ? tags.size() : close + 1;
        std::string_view item = tags.substr(i, end - i);  // "[key=value]"
        size_t equals = item.find('=');
        unsigned kind = equals == std::string_view::npos ? 0 : tag_kind(item.substr(1, equals - 1));
        if (kind) {
            out.append(item.data(), equals + 1);
            put_marker(out, kind == PROCESS ? 'p' : kind == THREAD ? 't' : 'r');
            out.push_back(']');
            kinds |= kind;
        } else {
            kinds |= mask_anywhere(item, out);
        }
        i = end;
    }
    return kinds;
}

}  // namespace

const char *masked_kind_name(int bit) { return KIND_NAMES[bit]; }

unsigned mask_line(std::string_view line, std::string &out) {
    // Header: "seq: host: stamp: %APP-SEV-NAME: " and an optional tags field,
    // where the record-line rule finds them in the line as it stands; masked
    // when the sequence number is digits, the host and stamp are not empty
    // and the fourth field starts with "%".
    if (line.empty() || !digit(line[0]))
        return mask_anywhere(line, out);  // no sequence number: most lines of device output
    record_line::Header header;
    if (!record_line::whole_header(line, header))
        return mask_anywhere(line, out);
    auto [seq_end, host_end, stamp_end, field_end] = header.separator;
    if (host_end == seq_end + 2 || stamp_end == host_end + 2 || line[stamp_end + 2] != '%')
        return mask_anywhere(line, out);
    for (size_t i = 0; i < seq_end; ++i)
        if (!digit(line[i]))
            return mask_anywhere(line, out);

    unsigned kinds = SEQUENCE_NUMBER | TIMESTAMP;
    put_marker(out, '#');
    out.append(line.data() + seq_end, host_end + 2 - seq_end);
    put_marker(out, 'T');
    out.append(line.data() + stamp_end, field_end + 2 - stamp_end);
    std::string_view rest = line.substr(field_end + 2);
    if (rest.substr(0, 2) == "%[") {
        size_t tags_end = header.tags_end - (field_end + 2);
        if (header.tags_end != std::string_view::npos) {
            kinds |= mask_tags(rest.substr(0, tags_end + 1), out);
            size_t message = std::min(rest.size(), tags_end + 3);
            out.append(rest.data() + tags_end + 1, message - tags_end - 1);
            rest = rest.substr(message);
        }
    }
    return kinds | mask_anywhere(rest, out);
}

}  // namespace tavix::line_diff
