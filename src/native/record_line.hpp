// The one parser of task-log record lines, for lines of any length.
//
// A record line is "SEQ: HOST: STAMP: %APP-SEV-NAME: TAGS MESSAGE" where TAGS
// is "%[...]: " when the record has tags. Lines are judged stripped of white
// space at both ends (the interpreter's str.strip), or as they stand where
// the caller says so (Ends::kept). The parser is fed a line
// piece by piece, so that no line is ever held whole; it gathers:
//   - the fields: the first four ": " separators of the stripped text, the
//     severity (the first "-<digits>-" of the "%..." fourth field, capped at
//     1000) and where the message starts (after the tags field's "]: ");
//   - the facts the execution scan's record test needs: whether the host
//     occurs anywhere in the line and whether it has more than four fields
//     (": " separators counted up to five anywhere), the first "]: ", "+++",
//     and the 'T' of the time stamp.
// Only the header (the four fields and the start of the fifth) is copied,
// and at most HEADER_LIMIT bytes of it: a line whose header is longer is not
// a record line with fields.
//
// Positions are file positions (the caller numbers the pieces' bytes).
#pragma once

#include <string.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "line_reader.hpp"

namespace tavix::record_line {

constexpr int64_t NO_POSITION = -1;
constexpr int NO_SEVERITY = -1;
constexpr size_t HEADER_LIMIT = size_t(1) << 16;

namespace detail {

inline bool ascii_space(unsigned char c) { return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20); }

// Three-byte encodings of U+1680, U+2000..U+200A, U+2028, U+2029, U+202F,
// U+205F and U+3000.
inline bool space3(unsigned char a, unsigned char b, unsigned char c) {
    switch (a) {
    case 0xE1:
        return b == 0x9A && c == 0x80;
    case 0xE2:
        if (b == 0x80)
            return (c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF;
        return b == 0x81 && c == 0x9F;
    case 0xE3:
        return b == 0x80 && c == 0x80;
    default:
        return false;
    }
}

// The first "X " in [p, p + n) (X being `first`), or null: a byte search for
// X, which the library does far faster than a search for the pair.
inline const char *find_pair(const char *p, size_t n, char first) {
    const char *end = p + n;
    while (p + 1 < end) {
        auto hit = static_cast<const char *>(std::memchr(p, first, size_t(end - p - 1)));
        if (!hit)
            return nullptr;
        if (hit[1] == ' ')
            return hit;
        p = hit + 1;
    }
    return nullptr;
}

}  // namespace detail

// The first ": " (what separates the header's fields) in [p, p + n), or null.
inline const char *find_separator(const char *p, size_t n) { return detail::find_pair(p, n, ':'); }

// The first "]: " (what ends a tags field) in [p, p + n), or null.
inline const char *find_tags_end(const char *p, size_t n) {
    const char *end = p + n;
    while (p < end) {
        auto hit = static_cast<const char *>(std::memchr(p, ']', size_t(end - p)));
        if (!hit || end - hit < 3)
            return nullptr;
        if (hit[1] == ':' && hit[2] == ' ')
            return hit;
        p = hit + 1;
    }
    return nullptr;
}

// Length in bytes of the whitespace character that starts at `p`, or 0.
inline size_t space_at(const unsigned char *p, size_t n) {
    if (n == 0)
        return 0;
    if (detail::ascii_space(p[0]))
        return 1;
    if (p[0] == 0xC2 && n >= 2 && (p[1] == 0x85 || p[1] == 0xA0))
        return 2;
    if (n >= 3 && detail::space3(p[0], p[1], p[2]))
        return 3;
    return 0;
}

// Length in bytes of the whitespace character that ends at `p + n`, or 0.
inline size_t space_before(const unsigned char *p, size_t n) {
    if (n == 0)
        return 0;
    unsigned char last = p[n - 1];
    if (detail::ascii_space(last))
        return 1;
    if (n >= 2 && p[n - 2] == 0xC2 && (last == 0x85 || last == 0xA0))
        return 2;
    if (n >= 3 && detail::space3(p[n - 3], p[n - 2], last))
        return 3;
    return 0;
}

// Everything the parser learnt of one line.
struct RecordLine {
    int64_t start = 0;                     // first byte of the line
    int64_t end = 0;                       // one past its last byte ("\n" included)
    bool ends_with_newline = false;
    int64_t stripped_begin = NO_POSITION;  // stripped text: [stripped_begin, stripped_end)
    int64_t stripped_end = NO_POSITION;
    bool has_plus3 = false;                // "+++" occurs
    int separators = 0;                    // ": " occurrences, counted up to 5
    int64_t separator[4] = {NO_POSITION, NO_POSITION, NO_POSITION, NO_POSITION};
    int64_t last_separator = NO_POSITION;
    int64_t bracket = NO_POSITION;         // first "]: "
    int64_t tags_end = NO_POSITION;        // first "]: " after the fourth separator
    int64_t host = NO_POSITION;            // first host occurrence inside the stripped text
    int ts = 0;                            // 'T' bytes after the second separator (up to 2)
    int64_t t[2] = {NO_POSITION, NO_POSITION};
    std::string header;                    // stripped text from its start, see HEADER_LIMIT
    int severity = NO_SEVERITY;            // set by finish() for a line with fields
    bool ends_with_bracket_colon = false;  // the stripped text ends with "]:" (set by finish)

    bool blank() const { return stripped_begin == NO_POSITION; }
    // Whether a separator found at `at` lies inside the stripped text.
    bool separator_inside(int64_t at) const { return at != NO_POSITION && at + 2 <= stripped_end; }
    // Whether the host occurs inside the stripped text.
    bool mentions_host(size_t host_length) const {
        return !blank() && host != NO_POSITION && host + int64_t(host_length) <= stripped_end;
    }
    // The execution scan's record test: the host occurs and the line has more
    // than four fields.
    bool has_record_prefix(size_t host_length) const {
        if (!mentions_host(host_length))
            return false;
        int inside = separators;
        if (separators < 5 && last_separator != NO_POSITION && !separator_inside(last_separator))
            --inside;
        return inside >= 4;
    }
    // "]: " inside the stripped text, or NO_POSITION.
    int64_t message_after_tags() const {
        return bracket != NO_POSITION && bracket + 3 <= stripped_end ? bracket : NO_POSITION;
    }
    // Byte range of the time part of the time stamp, or false (no such part).
    bool time_range(int64_t &from, int64_t &to) const {
        if (blank() || !separator_inside(separator[1]))
            return false;
        int64_t field_end = separator_inside(separator[2]) ? separator[2] : stripped_end;
        if (ts == 0 || t[0] >= field_end)
            return false;
        from = t[0] + 1;
        to = ts == 2 && t[1] < field_end ? t[1] : field_end;
        return true;
    }
    // A record line with fields: four separators and a severity.
    bool has_fields() const { return severity != NO_SEVERITY; }
    // The time stamp field (has_fields() only).
    std::string_view stamp() const { return field(2); }
    // The fields: 0 sequence number, 1 host, 2 time stamp, 3 "%APP-SEV-NAME"
    // (has_fields() only).
    std::string_view field(int i) const {
        int64_t from = i == 0 ? stripped_begin : separator[i - 1] + 2;
        return std::string_view(header).substr(size_t(from - stripped_begin), size_t(separator[i] - from));
    }
    // Where the message starts: after the tags field when there is one (has_fields() only).
    int64_t message_start() const {
        int64_t rest = separator[3] + 2;
        std::string_view head = std::string_view(header).substr(size_t(rest - stripped_begin));
        if (head.substr(0, 2) != "%[")
            return rest;
        if (tags_end != NO_POSITION && tags_end + 3 <= stripped_end)
            return tags_end + 3;
        if (ends_with_bracket_colon)
            return stripped_end;  // the tags, then an empty message
        return rest;
    }
};

// What a parser gathers: everything above, or only the fields and the host,
// for readers that judge every line of a log by its severity. Those name the
// least severe line they care about: the host is looked for only in lines
// with fields of that severity or a more severe (lower) one.
enum class Gather { everything, fields };

// Whether lines are judged stripped (log lines), or as they stand: for
// callers that hand over a line already stripped, or cut out of a line.
enum class Ends { stripped, kept };

// Gathers RecordLines from consecutive pieces of lines; one parser serves
// many lines in turn, so their buffers are reused.
class Parser {
public:
    explicit Parser(std::string_view host, Gather gather = Gather::everything, int host_up_to_severity = 1000,
                    Ends ends = Ends::stripped)
        : host_(host), reach_(std::max<size_t>(3, host.size()) - 1), everything_(gather == Gather::everything),
          strip_(ends == Ends::stripped), most_separators_(everything_ ? 5 : 4),
          host_up_to_severity_(host_up_to_severity) {}

    // Starts on the line that begins at `start`, gathering into `info`.
    void begin(RecordLine &info, int64_t start) {
        std::string header = std::move(info.header);
        header.clear();
        info = RecordLine();
        info.header = std::move(header);
        info.start = info.end = start;
        current_ = &info;
        carry_.clear();
        last_two_[0] = last_two_[1] = 0;
        header_done_ = false;
        host_wanted_ = host_decided_ = everything_;
    }

    // `piece` starts at byte `position` and never splits a UTF-8 character
    // (except where the line ends); `more`: pieces of the line follow.
    void feed(std::string_view piece, int64_t position, bool more = true) {
        RecordLine &info = *current_;
        auto p = reinterpret_cast<const unsigned char *>(piece.data());
        size_t n = piece.size();
        int64_t piece_end = position + int64_t(n);

        if (info.blank()) {
            size_t skip = 0;
            while (strip_ && skip < n) {
                size_t width = space_at(p + skip, n - skip);
                if (!width)
                    break;
                skip += width;
            }
            if (skip < n)
                info.stripped_begin = position + int64_t(skip);
        }
        size_t keep = n;
        while (strip_ && keep) {
            size_t width = space_before(p, keep);
            if (!width)
                break;
            keep -= width;
        }
        if (keep) {
            info.stripped_end = position + int64_t(keep);
            last_two_[0] = keep >= 2 ? piece[keep - 2] : last_two_[1];
            last_two_[1] = piece[keep - 1];
        }

        // Matches that start in the previous pieces and end in this one.
        if (!carry_.empty()) {
            // A match that starts in the carried bytes ends at most `reach_`
            // bytes into this piece, however few bytes were carried.
            std::string joint = carry_;
            joint.append(piece.data(), std::min(n, reach_));
            size_t carried = carry_.size();
            auto across = [&](std::string_view needle, size_t from = 0) -> int64_t {
                size_t first = carried >= needle.size() - 1 ? carried - (needle.size() - 1) : 0;
                auto at = std::string_view(joint).find(needle, std::max(first, from));
                return at != std::string_view::npos && at < carried ? carry_at_ + int64_t(at) : NO_POSITION;
            };
            if (info.separators < most_separators_)
                if (int64_t at = across(": "); at != NO_POSITION)
                    add_separator(at);
            if (everything_ && info.bracket == NO_POSITION)
                info.bracket = across("]: ");
            if (info.tags_end == NO_POSITION && info.separators >= 4) {
                int64_t after = info.separator[3] + 2;
                size_t from = after > carry_at_ ? size_t(after - carry_at_) : 0;
                info.tags_end = across("]: ", from);
            }
            if (everything_ && !info.has_plus3)
                info.has_plus3 = across("+++") != NO_POSITION;
            if (host_wanted_ && info.host == NO_POSITION && !info.blank() && !host_.empty()) {
                size_t from = info.stripped_begin > carry_at_ ? size_t(info.stripped_begin - carry_at_) : 0;
                info.host = across(host_, from);
            }
        }

        find_separators(piece, position);
        if (everything_) {
            find_ts(piece, position);
            if (info.bracket == NO_POSITION)
                info.bracket = find_bracket(piece, position, position);
            if (!info.has_plus3)
                info.has_plus3 = lines::find_bytes(piece.data(), n, "+++") != nullptr;
        }
        keep_header(piece, position);
        if (info.tags_end == NO_POSITION && info.separators >= 4 && (everything_ || tags_may_follow()))
            info.tags_end = find_bracket(piece, position, info.separator[3] + 2);
        if (!host_decided_ && info.separators >= 4)
            start_host_search();
        if (host_wanted_ && info.host == NO_POSITION && !info.blank() && info.stripped_begin < piece_end) {
            size_t from = info.stripped_begin > position ? size_t(info.stripped_begin - position) : 0;
            if (host_.empty())
                info.host = position + int64_t(from);
            else if (auto hit = lines::find_bytes(piece.data() + from, n - from, host_))
                info.host = position + (hit - piece.data());
        }
        info.end = piece_end;
        info.ends_with_newline = n && piece.back() == '\n';
        if (!more)
            return;

        // Keep enough of the end for a match of the longest needle across pieces.
        if (n >= reach_) {
            carry_.assign(piece.data() + n - reach_, reach_);
        } else {
            carry_.append(piece.data(), n);
            if (carry_.size() > reach_)
                carry_.erase(0, carry_.size() - reach_);
        }
        carry_at_ = piece_end - int64_t(carry_.size());
    }

    // Settles the fields once the whole line was fed.
    void finish() {
        RecordLine &line = *current_;
        line.ends_with_bracket_colon = last_two_[0] == ']' && last_two_[1] == ':';
        if (line.blank() || line.separators < 4 || !line.separator_inside(line.separator[3]) ||
            line.separator[3] + 2 - line.stripped_begin > int64_t(line.header.size())) {
            line.severity = NO_SEVERITY;
            return;
        }
        if (line.severity != NO_SEVERITY)
            return;  // found with the fourth separator
        std::string_view application = line.field(3);
        if (application.empty() || application[0] != '%')
            return;
        line.severity = severity_of(application);
    }

private:
    static bool digit(char c) { return c >= '0' && c <= '9'; }

    // The first "-<digits>-" after the leading "%" of the application field.
    static int severity_of(std::string_view field) {
        for (size_t dash = 1; dash < field.size(); ++dash) {
            if (field[dash] != '-')
                continue;
            size_t end = dash + 1;
            int value = 0;
            while (end < field.size() && digit(field[end])) {
                value = std::min(value * 10 + (field[end] - '0'), 1000);
                ++end;
            }
            if (end > dash + 1 && end < field.size() && field[end] == '-')
                return value;
        }
        return NO_SEVERITY;
    }

    // Whether the text after the fourth separator may start a tags field:
    // it does not (yet) show anything else.
    bool tags_may_follow() const {
        const RecordLine &info = *current_;
        size_t rest = size_t(info.separator[3] + 2 - info.stripped_begin);
        std::string_view head = std::string_view(info.header).substr(std::min(rest, info.header.size()));
        return std::string_view("%[").substr(0, head.size()) == head.substr(0, 2);
    }

    // Fields mode: once the fourth separator is found, a line with a severity
    // has the host looked for, first in its header (which holds the line up
    // to there), then in the pieces from this one on.
    void start_host_search() {
        RecordLine &info = *current_;
        host_decided_ = true;
        size_t rest = size_t(info.separator[3] + 2 - info.stripped_begin);
        if (rest > info.header.size())
            return;  // a header too long for fields
        std::string_view application = info.field(3);
        if (application.empty() || application[0] != '%')
            return;
        int severity = severity_of(application);
        info.severity = severity;  // finish() keeps it
        if (severity == NO_SEVERITY || severity > host_up_to_severity_)
            return;
        host_wanted_ = true;
        if (!host_.empty())
            if (size_t at = std::string_view(info.header).find(host_); at != std::string_view::npos)
                info.host = info.stripped_begin + int64_t(at);
    }

    void add_separator(int64_t at) {
        RecordLine &info = *current_;
        if (info.separators < 4)
            info.separator[info.separators] = at;
        ++info.separators;
        info.last_separator = at;
    }

    void find_separators(std::string_view text, int64_t position) {
        RecordLine &info = *current_;
        size_t at = 0;
        while (info.separators < most_separators_) {
            auto hit = find_separator(text.data() + at, text.size() - at);
            if (!hit)
                return;
            add_separator(position + (hit - text.data()));
            at = size_t(hit - text.data()) + 2;
            if (info.separators >= most_separators_)
                return;
        }
    }

    void find_ts(std::string_view text, int64_t position) {
        RecordLine &info = *current_;
        if (info.separators < 2 || info.ts >= 2)
            return;
        int64_t from = std::max(position, info.separator[1] + 2);
        while (info.ts < 2 && from < position + int64_t(text.size())) {
            size_t offset = size_t(from - position);
            auto hit = static_cast<const char *>(std::memchr(text.data() + offset, 'T', text.size() - offset));
            if (!hit)
                return;
            info.t[info.ts++] = position + (hit - text.data());
            from = position + (hit - text.data()) + 1;
        }
    }

    // The first "]: " of the piece that starts at or after `from`.
    static int64_t find_bracket(std::string_view text, int64_t position, int64_t from) {
        size_t skip = size_t(std::max<int64_t>(0, from - position));
        if (skip >= text.size())
            return NO_POSITION;
        const char *hit = find_tags_end(text.data() + skip, text.size() - skip);
        return hit ? position + (hit - text.data()) : NO_POSITION;
    }

    // The stripped text up to two bytes past the fourth separator, at most
    // HEADER_LIMIT bytes of it.
    void keep_header(std::string_view piece, int64_t position) {
        RecordLine &line = *current_;
        if (line.blank() || header_done_ || line.stripped_begin >= position + int64_t(piece.size()))
            return;
        size_t from = line.stripped_begin > position ? size_t(line.stripped_begin - position) : 0;
        size_t take = piece.size() - from;
        if (line.separators >= 4) {
            int64_t until = line.separator[3] + 4;  // room for "%[" after it
            take = size_t(std::clamp<int64_t>(until - (position + int64_t(from)), 0, int64_t(take)));
            header_done_ = position + int64_t(from + take) >= until;
        }
        take = std::min(take, HEADER_LIMIT - line.header.size());
        line.header.append(piece.data() + from, take);
        if (line.header.size() >= HEADER_LIMIT)
            header_done_ = true;
    }

    RecordLine *current_ = nullptr;
    std::string_view host_;
    size_t reach_;       // longest needle ("]: ", "+++", the host) less one byte
    std::string carry_;  // last bytes of the previous pieces, for matches across pieces
    int64_t carry_at_ = 0;
    bool everything_;
    bool strip_;
    int most_separators_;   // ": " separators worth counting
    int host_up_to_severity_;
    char last_two_[2] = {};  // last two bytes of the stripped text seen so far
    bool header_done_ = false;
    bool host_wanted_ = true;  // the host is looked for in the pieces
    bool host_decided_ = true;
};

// The header of a line held whole and taken as it stands, for readers of
// many short lines that want only where its fields lie: the parser's rule
// without what it gathers besides.
struct Header {
    size_t separator[4];  // the first four ": "
    size_t tags_end;      // the "]" that ends a tags field, or npos
};

// False when the line has fewer than four separators. A tags field starts
// the text after the fourth ("%["); it ends at its first "]: ", or at a "]:"
// that ends the line (an empty message).
inline bool whole_header(std::string_view line, Header &header) {
    const char *begin = line.data(), *end = begin + line.size(), *at = begin;
    for (size_t &separator : header.separator) {
        const char *hit = find_separator(at, size_t(end - at));
        if (!hit)
            return false;
        separator = size_t(hit - begin);
        at = hit + 2;
    }
    header.tags_end = std::string_view::npos;
    std::string_view rest(at, size_t(end - at));
    if (rest.substr(0, 2) == "%[") {
        if (const char *hit = find_tags_end(at, rest.size()))
            header.tags_end = size_t(hit - begin);
        else if (rest.substr(rest.size() - 2) == "]:")
            header.tags_end = line.size() - 2;
    }
    return true;
}

// A whole line (with or without its "\n") starting at `position`, parsed.
inline RecordLine parse(std::string_view line, std::string_view host, int64_t position = 0,
                        Ends ends = Ends::stripped) {
    RecordLine info;
    Parser parser(host, Gather::everything, 1000, ends);
    parser.begin(info, position);
    parser.feed(line, position, false);
    parser.finish();
    return info;
}

// A LineSink that parses every line of a LineReader for its fields and host
// and hands each whole RecordLine, with the line's first bytes (up to `kept` of them, enough for
// the message of an ordinary line), to `on_line`; its false stops the reading.
template <typename OnLine>
class RecordLineSink : public lines::LineSink {
public:
    // The host is looked for in lines of severity `host_up_to_severity` or lower.
    RecordLineSink(std::string_view host, int host_up_to_severity, size_t kept, OnLine on_line)
        : parser_(host, Gather::fields, host_up_to_severity), kept_(kept), on_line_(std::move(on_line)) {}

    bool line(const lines::LinePiece &piece) override {
        if (piece.first) {
            parser_.begin(info_, piece.line_start);
            head_.clear();
        }
        parser_.feed(piece.text, piece.offset, !piece.last);
        if (piece.first && piece.last) {
            parser_.finish();
            return on_line_(info_, piece.text.substr(0, std::min(piece.text.size(), kept_)));
        }
        if (head_.size() < kept_)
            head_.append(piece.text.substr(0, kept_ - head_.size()));
        if (!piece.last)
            return true;
        parser_.finish();
        return on_line_(info_, std::string_view(head_));
    }

private:
    Parser parser_;
    size_t kept_;
    OnLine on_line_;
    RecordLine info_;
    std::string head_;
};

}  // namespace tavix::record_line
