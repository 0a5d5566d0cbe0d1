// diff_sections: one section's log against the same section of another run,
// after masking, as unified-diff hunks. The logs are read, hashed and
// compared without the interpreter lock; only the hunks' lines are read as
// text, and an answer holds at most ANSWER_TEXT_CAP bytes and ANSWER_LINE_CAP
// lines of them.
#include <nanobind/nanobind.h>

#include <cerrno>
#include <memory>
#include <system_error>

#include "../base.hpp"
#include "cancel_flag.hpp"
#include "header_span.hpp"
#include "hunks.hpp"
#include "masking.hpp"
#include "path_guard.hpp"
#include "section_lines.hpp"

namespace tavix::parser_base {

namespace {

using namespace line_diff;

constexpr size_t LINE_TEXT_CAP = size_t(16) << 10;
constexpr size_t ANSWER_TEXT_CAP = size_t(8) << 20;
constexpr size_t ANSWER_LINE_CAP = 50000;

// Where a section's log lies: its file (inside its archive's extraction
// directory) and its byte range.
struct SideRange {
    std::string path;
    int64_t begin = 0, end = 0;
};

SideRange side_range(nb::handle section) {
    SideRange side;
    side.path = contained_log_path(section);
    section_bounds(section, side.begin, side.end);
    return side;
}

struct OutLine {
    char op;
    int64_t base_line, new_line;      // from 1; 0 for none
    int64_t base_offset, new_offset;  // of the line within its section; -1 for none
    std::string text;
    bool cut;
};

struct OutHunk {
    size_t base_start, base_count, new_start, new_count;
    std::vector<OutLine> lines;
};

struct Outcome {
    std::vector<OutHunk> hunks;
    size_t hunk_total = 0;
    bool approximate = false, truncated = false;
    bool cancelled = false;  // no one waits for the answer any more
    unsigned masked = 0;
    // A failure: errno and the path it concerns.
    int error = 0;
    std::string failed_path;
};

class Differ {
public:
    Differ(const SideRange &base, const SideRange &changed, size_t context, const Halt &halt)
        : base_(base), new_(changed), context_(context), halt_(halt) {}

    void run(Outcome &out) {
        lines::FileDescriptor base_file(base_.path.c_str()), new_file(new_.path.c_str());
        if (!open_ok(base_file, base_.path, out) || !open_ok(new_file, new_.path, out))
            return;
        SectionLines a, b;
        if (!read(base_file, base_, a, out) || !read(new_file, new_, b, out) || stopped(out))
            return;
        out.masked = a.masked | b.masked;
        base_starts_ = a.starts.data();
        new_starts_ = b.starts.data();
        LineEdits edits = diff_lines(a.hashes, b.hashes, halt_);
        if (stopped(out))
            return;
        out.approximate = edits.approximate;
        std::vector<Hunk> hunks = hunks_of(changes_of(edits), context_, a.size(), b.size());
        out.hunk_total = hunks.size();
        try {
            for (const Hunk &hunk : hunks) {
                if (full()) {
                    out.truncated = true;
                    break;
                }
                out.hunks.push_back(lines_of(hunk, base_file, a, new_file, b));
            }
            // A hunk larger than what was left is cut short.
            out.truncated = out.truncated || skipped_;
        } catch (const std::system_error &e) {
            out.error = e.code().value();
            out.failed_path = base_.path + " / " + new_.path;
        }
    }

private:
    static bool open_ok(const lines::FileDescriptor &file, const std::string &path, Outcome &out) {
        if (file.ok() && !file.is_directory())
            return true;
        out.error = file.ok() ? EISDIR : file.error();
        out.failed_path = path;
        return false;
    }

    bool stopped(Outcome &out) const {
        out.cancelled = halt_.cancelled();
        return out.cancelled;
    }

    bool read(const lines::FileDescriptor &file, const SideRange &side, SectionLines &lines, Outcome &out) const {
        try {
            lines = read_section_lines(file, side.begin, side.end, shared().scan_block, halt_.cancel);
            return true;
        } catch (const std::system_error &e) {
            out.error = e.code().value();
            out.failed_path = side.path;
            return false;
        }
    }

    bool full() const { return text_ > ANSWER_TEXT_CAP || line_count_ >= ANSWER_LINE_CAP; }

    void add(OutHunk &out, char op, int64_t base_line, int64_t new_line, const lines::FileDescriptor &file,
             const SectionLines &lines, size_t index) {
        if (full()) {
            skipped_ = true;
            return;
        }
        ++line_count_;
        OutLine line{op, base_line, new_line, -1, -1, {}, false};
        line.text = line_text(file, lines, index, LINE_TEXT_CAP, line.cut);
        if (base_line)
            line.base_offset = base_starts_[size_t(base_line - 1)] - base_.begin;
        if (new_line)
            line.new_offset = new_starts_[size_t(new_line - 1)] - new_.begin;
        text_ += line.text.size();
        out.lines.push_back(std::move(line));
    }

    OutHunk lines_of(const Hunk &hunk, const lines::FileDescriptor &base_file, const SectionLines &a,
                     const lines::FileDescriptor &new_file, const SectionLines &b) {
        OutHunk out;
        out.base_count = hunk.base_end - hunk.base_begin;
        out.new_count = hunk.new_end - hunk.new_begin;
        // A side without lines starts at the line before it, as unified diffs write it.
        out.base_start = out.base_count ? hunk.base_begin + 1 : hunk.base_begin;
        out.new_start = out.new_count ? hunk.new_begin + 1 : hunk.new_begin;
        size_t i = hunk.base_begin, j = hunk.new_begin;
        auto same_until = [&](size_t base_stop) {
            for (; i < base_stop; ++i, ++j)
                add(out, ' ', int64_t(i + 1), int64_t(j + 1), new_file, b, j);
        };
        for (const Change &change : hunk.changes) {
            same_until(change.base_begin);
            for (; i < change.base_end; ++i)
                add(out, '-', int64_t(i + 1), 0, base_file, a, i);
            for (; j < change.new_end; ++j)
                add(out, '+', 0, int64_t(j + 1), new_file, b, j);
        }
        same_until(hunk.base_end);
        return out;
    }

    const SideRange &base_, &new_;
    const int64_t *base_starts_ = nullptr, *new_starts_ = nullptr;
    size_t context_;
    const Halt &halt_;
    size_t text_ = 0, line_count_ = 0;
    bool skipped_ = false;
};

nb::object line_number(int64_t number) { return number ? nb::object(nb::int_(number)) : nb::none(); }

nb::list masked_names(unsigned masked) {
    nb::list names;
    for (int bit = 0; bit < MASKED_KIND_COUNT; ++bit)
        if (masked & (1u << bit))
            names.append(masked_kind_name(bit));
    return names;
}

nb::dict diff_sections(nb::handle base_section, nb::handle new_section, nb::handle path, long context,
                       double budget, bool offsets, bool headers, nb::handle cancel) {
    if (context < 0) {
        PyErr_SetString(PyExc_ValueError, "context must be 0 or more");
        throw nb::python_error();
    }
    CancelFlag flag = cancel_flag_of(cancel);
    SideRange base = side_range(base_section), changed = side_range(new_section);
    Outcome out;
    {
        nb::gil_scoped_release unlocked;
        Halt halt{Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(std::max(budget, 0.0))),
                  flag.get()};
        Differ(base, changed, size_t(context), halt).run(out);
    }
    if (out.cancelled) {
        nb::object cancelled_error = nb::module_::import_("concurrent.futures").attr("CancelledError");
        PyErr_SetString(cancelled_error.ptr(), "the diff was cancelled");
        throw nb::python_error();
    }
    if (out.error) {
        errno = out.error;
        raise_errno(out.failed_path);
    }
    nb::str op_key("op"), text_key("text"), base_key("base_line"), new_key("new_line");
    nb::str ops[3] = {nb::str(" "), nb::str("-"), nb::str("+")};
    nb::list hunks;
    for (OutHunk &hunk : out.hunks) {
        nb::list lines;
        for (OutLine &line : hunk.lines) {
            nb::dict item;
            item[op_key] = ops[line.op == ' ' ? 0 : line.op == '-' ? 1 : 2];
            item[text_key] = decode(line.text);
            item[base_key] = line_number(line.base_line);
            item[new_key] = line_number(line.new_line);
            if (offsets) {
                item["base_offset"] = line.base_line ? nb::object(nb::int_(line.base_offset)) : nb::none();
                item["new_offset"] = line.new_line ? nb::object(nb::int_(line.new_offset)) : nb::none();
            }
            if (headers) {
                record_line::HeaderSpan span;
                bool spanned = record_line::header_span(record_line::parse(line.text, ""), line.text.size(), span);
                item["header"] = spanned ? nb::object(record_line::header_span_units(line.text, span)) : nb::none();
            }
            if (line.cut)
                item["truncated"] = true;
            lines.append(item);
            std::string().swap(line.text);
        }
        nb::dict body;
        body["base_start"] = hunk.base_start;
        body["base_count"] = hunk.base_count;
        body["new_start"] = hunk.new_start;
        body["new_count"] = hunk.new_count;
        body["lines"] = lines;
        hunks.append(body);
    }
    nb::dict answer;
    answer["path"] = path.is_none() ? nb::object(nb::list()) : nb::object(nb::list(path));
    answer["identical"] = out.hunk_total == 0;
    answer["approximate"] = out.approximate;
    answer["masked"] = masked_names(out.masked);
    answer["hunks"] = hunks;
    if (out.truncated) {
        answer["truncated"] = true;
        answer["hunk_count"] = out.hunk_total;
    }
    return answer;
}

nb::tuple mask_text(nb::handle text) {
    std::string line = utf8_text(text), out;
    unsigned masked = mask_line(line, out);
    return nb::make_tuple(decode(out), masked_names(masked));
}

}  // namespace

void define_section_diff(nb::module_ &module) {
    module.def("diff_sections", &diff_sections, nb::arg("base_section"), nb::arg("new_section"),
               nb::arg("path").none() = nb::none(), nb::arg("context") = 3, nb::arg("budget") = 2.0, nb::arg("offsets") = false,
               nb::arg("headers") = false,
               nb::arg("cancel").none() = nb::none(),
               "The diff of new_section's log against base_section's (two LogSection objects,\n"
               "usually of two runs): {\"path\", \"identical\", \"approximate\", \"masked\", \"hunks\"}.\n\n"
               "Lines are compared after masking what differs from run to run anyway (see\n"
               "mask_line); the diff is minimal in lines unless it takes longer than `budget`\n"
               "seconds, when the rest is given as replaced and \"approximate\" is true. Each hunk\n"
               "is {\"base_start\", \"base_count\", \"new_start\", \"new_count\", \"lines\"} with\n"
               "`context` lines around its changes; each line {\"op\": \" \", \"-\" or \"+\", \"text\"\n"
               "(the original line without its line end; the new run's for context lines),\n"
               "\"base_line\", \"new_line\"} (numbers from\n"
               "1 within the section, null on the side without it). A line's text is cut at 16 KiB\n"
               "(\"truncated\": true on the line); past 8 MiB of text or 50,000 lines the rest is\n"
               "left out, with \"truncated\": true and \"hunk_count\" on the answer. `path` is copied to\n"
               "the answer. offsets=True adds \"base_offset\" and \"new_offset\" to each line: where\n"
               "it starts within its section, in bytes (null on the side without it). headers=True\n"
               "adds \"header\": [severity, stamp start, stamp end, message start] of a record line\n"
               "(positions in UTF-16 code units of its text), null for other lines. `cancel`, a\n"
               "flag the viewer server makes, stops the diff with CancelledError once it is set.");
    module.def("mask_line", &mask_text, nb::arg("line"),
               "(masked, kinds): the line with the fields that differ from run to run anyway replaced\n"
               "by markers, and the kinds masked: \"sequence number\", \"timestamp\", \"process\",\n"
               "\"thread\" and \"part\" in a MorlanLog header, \"uuid\", \"hex address\" and \"date-time\"\n"
               "anywhere (ISO 8601 with \"T\" or a blank, or syslog's \"Dec  8 17:17:41\").");
}

}  // namespace tavix::parser_base
