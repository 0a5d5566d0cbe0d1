#include "matcher.hpp"

#include <cstring>

namespace tavix::search {

namespace {

std::unique_ptr<Node> parse(const std::string &query, bool regex, bool ignore_case) {
    if (query.empty())
        throw QueryError("the query is empty");
    return regex ? parse_regex(query, ignore_case) : parse_literal(query, ignore_case);
}

// The start of the line holding text[at] (the nearest "\n" before it is
// close, and memrchr looks from `at` backwards).
size_t line_start_before(const unsigned char *text, size_t at) {
    const void *newline = at > 0 ? memrchr(text, '\n', at) : nullptr;
    return newline ? size_t(static_cast<const unsigned char *>(newline) - text) + 1 : 0;
}

}  // namespace

Matcher::Matcher(const std::string &query, bool regex, bool ignore_case)
    : program_(compile(*parse(query, regex, ignore_case))), dfa_(program_), pike_(program_) {
    if (!regex) {
        never_ = query.find('\n') != std::string::npos;
        literal_ = std::make_unique<LiteralFinder>(query, ignore_case);
    }
}

// Looked for once per region and again only past the one found, so a region
// with many hits is not scanned once per hit.
size_t Matcher::other_length_variant_at(const unsigned char *text, size_t from, size_t size,
                                        const Region &region) {
    if (region.serial == variant_region_ && from >= variant_from_ && from <= variant_at_)
        return variant_at_;
    variant_region_ = region.serial;
    variant_from_ = from;
    variant_at_ = size;
    const ByteChoice &leads = literal_->other_length_leads();
    const auto &spellings = literal_->other_lengths();
    for (size_t at = from; at < size;) {
        if (leads.count > 0)
            at += find_any(text + at, size - at, leads);
        if (at >= size)
            break;
        for (const std::string &spelling : spellings)
            if (spelling.size() <= size - at && std::memcmp(text + at, spelling.data(), spelling.size()) == 0) {
                variant_at_ = at;
                return variant_at_;
            }
        ++at;
    }
    return variant_at_;
}

// Bounds the line that starts at `line_start` and finds its first match with
// the exact matcher (anchored at `anchored_at` when that is not SIZE_MAX);
// past `deadline`, false with `stopped_at` set as PikeVM::find sets it.
bool Matcher::settle(const unsigned char *text, size_t line_start, size_t size, const Region &region,
                     size_t anchored_at, LineMatch &found, LazyDFA::Clock::time_point deadline,
                     size_t &stopped_at) {
    const void *newline = memchr(text + line_start, '\n', size - line_start);
    size_t end = newline ? size_t(static_cast<const unsigned char *>(newline) - text) : size;
    found.line_start = line_start;
    found.next_line = newline ? end + 1 : size;
    found.content_end = newline && end > line_start && text[end - 1] == '\r' ? end - 1 : end;

    Span span{text + line_start, found.content_end - line_start};
    span.starts_line = line_start > 0 || region.starts_line;
    span.ends_line = newline || region.ends_line;
    span.before = line_start > 0 ? text[line_start - 1] : region.before;
    size_t start, stop, stopped = SIZE_MAX;
    bool matched = anchored_at != SIZE_MAX
                       ? pike_.find(span, anchored_at - line_start, true, start, stop, deadline, stopped)
                       : pike_.find(span, 0, false, start, stop, deadline, stopped);
    if (!matched) {
        if (stopped != SIZE_MAX)
            stopped_at = line_start + stopped;
        return false;
    }
    found.match_start = line_start + start;
    found.match_end = line_start + stop;
    return true;
}

bool Matcher::next_line(const unsigned char *text, size_t from, size_t size, const Region &region,
                        LineMatch &found, LazyDFA::Clock::time_point deadline, size_t &stopped_at) {
    stopped_at = SIZE_MAX;
    if (never_)
        return false;
    while (from < size) {
        // The literal scan sees every spelling but those of another length;
        // where one of those comes first, the automaton takes over.
        size_t at = size;
        bool use_literal = literal_ != nullptr;
        if (use_literal) {
            at = literal_->find(text, from, size);
            // A match through such a variant may start a little before it.
            if (!literal_->other_lengths().empty()) {
                size_t variant = other_length_variant_at(text, from, size, region);
                use_literal = variant >= size || variant >= at + 4 * literal_->length();
            }
        }
        if (use_literal) {
            if (at >= size)
                return false;
            size_t line_start = line_start_before(text, at);
            if (literal_->exact()) {
                // Only the line end is left to check: a match may not take the
                // "\r" of a "\r\n".
                const void *newline = memchr(text + at, '\n', size - at);
                size_t end = newline ? size_t(static_cast<const unsigned char *>(newline) - text) : size;
                size_t content_end = newline && end > line_start && text[end - 1] == '\r' ? end - 1 : end;
                if (at + literal_->length() <= content_end) {
                    found = {line_start, content_end, newline ? end + 1 : size, at, at + literal_->length()};
                    return true;
                }
                from = newline ? end + 1 : size;
                continue;
            }
            if (settle(text, line_start, size, region, at, found, deadline, stopped_at))
                return true;
            if (stopped_at != SIZE_MAX)
                return false;
            from = at + 1;
            continue;
        }
        size_t end = dfa_.find_end(text, from, size, deadline, stopped_at);
        if (end == LazyDFA::kNoMatch)
            return false;
        size_t line_start = line_start_before(text, end);
        if (settle(text, line_start, size, region, SIZE_MAX, found, deadline, stopped_at))
            return true;
        if (stopped_at != SIZE_MAX)
            return false;
        from = found.next_line;
        if (from >= size)
            return false;
    }
    return false;
}

}  // namespace tavix::search
