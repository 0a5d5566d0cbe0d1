// What the viewer shows of record lines without parsing them in the browser:
// the severity of each record line that starts in a page, and the next
// record line at or above a severity. Both read through the line reader and
// the record-line parser, without the interpreter lock.
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <vector>

#include <header_span.hpp>
#include <line_reader.hpp>
#include <path_guard.hpp>
#include <py_helpers.hpp>
#include <record_line.hpp>

#include "archive.hpp"

namespace tavix::archive {

namespace {

// The section's end in the file: log_size <= 0 runs to the end of the file.
int64_t section_end(int64_t log_start, int64_t log_size) {
    return log_size > 0 && log_size < std::numeric_limits<int64_t>::max() - log_start
               ? log_start + log_size
               : lines::TO_FILE_END;
}

void check_positions(int64_t log_start, int64_t offset) {
    if (log_start < 0 || offset < 0)
        throw nb::value_error("log_start and offset must not be negative");
}

// Whether byte `position` of the file starts a line.
bool starts_line(const lines::FileDescriptor &file, int64_t position, int64_t section_start) {
    if (position <= section_start)
        return true;
    char before = 0;
    return file.read_at(&before, 1, position - 1) == 1 && before == '\n';
}

struct Opened {
    std::string path;
    lines::FileDescriptor file;
    explicit Opened(std::string name) : path(std::move(name)), file(path.c_str()) {
        if (!file.ok()) {
            errno = file.error();
            raise_errno(path);
        }
    }
};

// A record line of a page: where it starts, its severity and, when asked,
// its header's bytes and span.
struct PageRecord {
    int64_t offset;
    int severity;
    bool spanned;
    std::string head;
    record_line::HeaderSpan span;
};

// [[offset in the section, severity], ...] of the record lines that start in
// the page [offset, offset + limit) of the section; with `spans`, each entry
// adds the header span. Only a line's header is needed, so the page's last
// line is read no further than a header can reach.
nb::list line_severities(nb::handle self, nb::handle logfile, int64_t log_start, int64_t log_size,
                         int64_t offset, int64_t limit, bool spans) {
    check_positions(log_start, offset);
    if (limit <= 0)
        throw nb::value_error("limit must be greater than 0");
    Opened opened(checked_log_path(self, logfile));
    std::vector<PageRecord> found;
    int error = 0;
    {
        nb::gil_scoped_release unlocked;
        int64_t begin = log_start + offset;
        int64_t page_end = std::min(section_end(log_start, log_size), begin + std::min<int64_t>(limit, lines::TO_FILE_END - begin));
        lines::LineRange range;
        range.begin = begin;
        range.end = page_end < lines::TO_FILE_END - int64_t(record_line::HEADER_LIMIT) - 8
                        ? page_end + int64_t(record_line::HEADER_LIMIT) + 8
                        : lines::TO_FILE_END;
        range.finish_last_line = false;
        bool skip_first = !starts_line(opened.file, begin, log_start);
        auto take = [&](const record_line::RecordLine &line, std::string_view head) {
            if (line.start >= page_end)
                return false;
            if (skip_first) {
                skip_first = false;
            } else if (line.has_fields()) {
                PageRecord record{line.start - log_start, line.severity, false, {}, {}};
                record.spanned = spans && record_line::header_span(line, head.size(), record.span);
                if (record.spanned)
                    record.head.assign(head.substr(0, record.span.message_from));
                found.push_back(std::move(record));
            }
            return true;
        };
        // With spans, the line's first bytes are kept: its header unless
        // that is longer than a header can be.
        record_line::RecordLineSink sink("", 1000, spans ? record_line::HEADER_LIMIT + 8 : 0, take);
        lines::LineReader reader(opened.file, range, size_t(1) << 16);
        reader.feed(sink);
        error = reader.error();
    }
    if (error) {
        errno = error;
        raise_errno(opened.path);
    }
    nb::list answer;
    for (const PageRecord &record : found) {
        if (!spans) {
            answer.append(nb::make_tuple(record.offset, record.severity));
            continue;
        }
        nb::list entry;
        entry.append(record.offset);
        if (!record.spanned) {
            entry.append(record.severity);  // a header too long to show apart
        } else {
            for (nb::handle value : record_line::header_span_units(record.head, record.span))
                entry.append(value);
        }
        answer.append(entry);
    }
    return answer;
}

// The first record line at or after `offset` in the section whose severity
// is `severity` or more severe (a number no greater), within `max_bytes`:
// {"offset", "severity", "text"} of it, or None, and "scanned_to".
nb::dict next_record_line(nb::handle self, nb::handle logfile, int64_t log_start, int64_t log_size,
                          int64_t offset, int severity, int64_t max_bytes) {
    check_positions(log_start, offset);
    Opened opened(checked_log_path(self, logfile));
    int64_t hit = -1, scanned_to = -1;
    int hit_severity = 0;
    std::string text;
    int error = 0;
    {
        nb::gil_scoped_release unlocked;
        int64_t begin = log_start + offset;
        lines::LineRange range = lines::LineRange::starting_in(begin, section_end(log_start, log_size));
        bool skip_first = !starts_line(opened.file, begin, log_start);
        int64_t budget_end = max_bytes > 0 && max_bytes < lines::TO_FILE_END - begin ? begin + max_bytes
                                                                                   : lines::TO_FILE_END;
        auto take = [&](const record_line::RecordLine &line, std::string_view head) {
            scanned_to = line.end;
            if (skip_first) {
                skip_first = false;
            } else if (line.has_fields() && line.severity <= severity) {
                hit = line.start;
                hit_severity = line.severity;
                text.assign(head.substr(0, std::min<size_t>(head.size(), size_t(line.stripped_end - line.start))));
                return false;
            }
            return line.end < budget_end;
        };
        record_line::RecordLineSink sink("", 1000, size_t(16) << 10, take);
        lines::LineReader reader(opened.file, range, size_t(1) << 20);
        bool ended = reader.feed(sink);
        if (ended || hit >= 0)
            scanned_to = -1;  // nothing to go on with
        error = reader.error();
    }
    if (error) {
        errno = error;
        raise_errno(opened.path);
    }
    nb::dict answer;
    if (hit >= 0) {
        nb::dict line;
        line["offset"] = hit - log_start;
        line["severity"] = hit_severity;
        line["text"] = decode_text(text.data(), text.size());
        answer["line"] = line;
    } else {
        answer["line"] = nb::none();
    }
    answer["scanned_to"] = scanned_to < 0 ? nb::object(nb::none()) : nb::object(nb::int_(scanned_to - log_start));
    return answer;
}

}  // namespace

void add_record_line_methods(ClassBuilder &archive) {
    archive
        .method("line_severities", &line_severities, nb::arg("logfile"), nb::arg("log_start") = 0,
                nb::arg("log_size") = -1, nb::arg("offset") = 0, nb::arg("limit") = 20480, nb::kw_only(),
                nb::arg("spans") = false,
                "The severity of each record line that starts in the page [offset,\n"
                "offset + limit) of a log section, as a list of (offset of the line in the\n"
                "section, severity). A line the page starts inside of is left out.\n"
                "spans=True gives lists [offset, severity, stamp start, stamp end, message\n"
                "start] instead, positions in UTF-16 code units from the line's start (the\n"
                "header: up to the message start); a header too long to show apart gives\n"
                "[offset, severity].")
        .method("next_record_line", &next_record_line, nb::arg("logfile"), nb::arg("log_start") = 0,
                nb::arg("log_size") = -1, nb::kw_only(), nb::arg("offset") = 0, nb::arg("severity") = 3,
                nb::arg("max_bytes") = int64_t(256) << 20,
                "The first record line starting at or after `offset` in a log section\n"
                "whose severity is `severity` or lower (more severe): {\"line\": {\"offset\",\n"
                "\"severity\", \"text\"} or None, \"scanned_to\": where to go on from when\n"
                "`max_bytes` ran out first, else None}. A line the offset falls inside of\n"
                "is passed over.");
}

}  // namespace tavix::archive
