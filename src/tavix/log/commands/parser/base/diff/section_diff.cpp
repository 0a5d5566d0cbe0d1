// diff_sections: one section's log against the same section of another run,
// after masking, as unified-diff hunks. The logs are read, hashed and
// compared without the interpreter lock; only the hunks' lines are read as
// text, and an answer holds at most ANSWER_TEXT_CAP bytes and ANSWER_LINE_CAP
// lines of them. A diff's memory is bounded by its budget, not by the
// sections' sizes: sections too large to hold are streamed to find where
// they part, and only what lies between is held.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cerrno>
#include <functional>
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
constexpr size_t DEFAULT_MEMORY = size_t(256) << 20;

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

// What an exact diff holds per line of either side: its hash and start
// (twice over while their vectors grow), its edit mark and its two diagonals
// in the comparison.
constexpr size_t EXACT_BYTES_PER_LINE = 2 * (8 + 8) + 1 + 8;

bool held(const SectionLines &lines, size_t index) {
    return index >= lines.first && index - lines.first < lines.size();
}

// Where two sections part: the lines they share at their start and at their
// end, and how many lines each has. Found a line at a time, in O(1) memory.
struct Survey {
    size_t base_size = 0, new_size = 0, prefix = 0, suffix = 0;
    int64_t base_at = 0, new_at = 0;  // where line `prefix` starts
};

class Differ {
public:
    Differ(const SideRange &base, const SideRange &changed, size_t context, size_t memory, const Halt &halt)
        : base_(base), new_(changed), context_(context), memory_(memory), halt_(halt) {}

    void run(Outcome &out) {
        lines::FileDescriptor base_file(base_.path.c_str()), new_file(new_.path.c_str());
        if (!open_ok(base_file, base_.path, out) || !open_ok(new_file, new_.path, out))
            return;
        // Sections that fit the memory are compared as they are read; larger
        // ones only where they differ.
        size_t half = memory_ / EXACT_BYTES_PER_LINE / 2;
        if (!read(base_file, base_, half, a_, out) || !read(new_file, new_, half, b_, out) || stopped(out))
            return;
        size_t base_size = a_.size(), new_size = b_.size();
        Change only{};  // set when the part that differs is given as replaced as a whole
        if (a_.complete && b_.complete) {
            out.masked = a_.masked | b_.masked;
            edits_ = diff_lines(a_.hashes, b_.hashes, halt_);
        } else {
            a_ = SectionLines(), b_ = SectionLines();  // gives their memory back
            Survey survey;
            try {
                if (!survey_of(base_file, new_file, survey, out.masked))
                    return void(stopped(out));
                base_size = survey.base_size, new_size = survey.new_size;
                if (!windows(base_file, new_file, survey, only))
                    return void(stopped(out));
            } catch (const std::system_error &e) {
                out.error = e.code().value();
                out.failed_path = base_.path + " / " + new_.path;
                return;
            }
        }
        if (stopped(out))
            return;
        out.approximate = edits_.approximate;
        EditChanges edit_changes(edits_, a_.first, b_.first);
        bool whole = only.base_begin != only.base_end || only.new_begin != only.new_end, given = false;
        std::function<bool(Change &)> changes;
        if (whole)
            changes = [&only, &given](Change &change) { return !given && (change = only, given = true); };
        else
            changes = [&edit_changes](Change &change) { return edit_changes.next(change); };
        Hunks hunks(changes, context_, base_size, new_size);
        try {
            Hunk hunk;
            while (hunks.next(hunk)) {
                ++out.hunk_total;
                if (full() || skipped_)
                    out.truncated = true;
                else
                    out.hunks.push_back(lines_of(hunk, base_file, new_file));
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

    bool read(const lines::FileDescriptor &file, const SideRange &side, size_t max_lines, SectionLines &lines,
              Outcome &out) const {
        try {
            lines = read_section_lines(file, side.begin, side.end, shared().scan_block, halt_.cancel, max_lines);
            return true;
        } catch (const std::system_error &e) {
            out.error = e.code().value();
            out.failed_path = side.path;
            return false;
        }
    }

    // False once no one waits for the answer; checked every 64Ki lines.
    bool going(size_t count) const { return (count & 0xFFFF) || !halt_.cancelled(); }

    bool survey_of(const lines::FileDescriptor &base_file, const lines::FileDescriptor &new_file, Survey &survey,
                   unsigned &masked) const {
        size_t block = shared().scan_block, &n = survey.base_size, &m = survey.new_size, &p = survey.prefix;
        // The hashes of each side's last lines past the shared start: where
        // the ends part, when that is among them, needs no second reading.
        size_t ring = std::max<size_t>(memory_ / EXACT_BYTES_PER_LINE / 2, 1);
        std::vector<uint64_t> base_ring(ring), new_ring(ring);
        uint64_t ha, hb;
        int64_t sa, sb;
        {
            LineStream a(base_file, base_.begin, base_.end, block, masked), b(new_file, new_.begin, new_.end, block, masked);
            bool more_a = a.next(ha, sa), more_b = b.next(hb, sb);
            for (; more_a && more_b && ha == hb; ++p) {
                if (!going(p))
                    return false;
                more_a = a.next(ha, sa), more_b = b.next(hb, sb);
            }
            survey.base_at = more_a ? sa : a.position();
            survey.new_at = more_b ? sb : b.position();
            for (n = p; more_a && going(n); more_a = a.next(ha, sa))
                base_ring[(n++ - p) % ring] = ha;
            for (m = p; more_b && going(m); more_b = b.next(hb, sb))
                new_ring[(m++ - p) % ring] = hb;
            if (halt_.cancelled())
                return false;
        }
        // The ends, lined up from the last lines back.
        size_t count = std::min(n, m) - p, k = 0;
        for (; k < std::min(count, ring); ++k)
            if (base_ring[(n - p - 1 - k) % ring] != new_ring[(m - p - 1 - k) % ring]) {
                survey.suffix = k;
                return true;
            }
        if (k == count) {
            survey.suffix = count;
            return true;
        }
        base_ring = {}, new_ring = {};
        // Base line i + n - m against new line i, from the first that both
        // have past the shared start.
        size_t new_from = m - count, base_from = n - count;
        LineStream a(base_file, skip_lines(base_file, survey.base_at, base_.end, block, base_from - p), base_.end,
                     block, masked);
        LineStream b(new_file, skip_lines(new_file, survey.new_at, new_.end, block, new_from - p), new_.end,
                     block, masked);
        size_t after_last_difference = 0;
        for (k = 0; k < count; ++k) {
            if (!going(k))
                return false;
            // A log that shrank since it was counted shares no end.
            if (!a.next(ha, sa) || !b.next(hb, sb)) {
                after_last_difference = count;
                break;
            }
            if (ha != hb)
                after_last_difference = k + 1;
        }
        survey.suffix = count - after_last_difference;
        return true;
    }

    // Reads the lines the answer needs around where the sections differ:
    // all of them when they fit the memory, diffed; otherwise the first lines
    // of the part that differs, given as replaced as a whole in `only`.
    bool windows(const lines::FileDescriptor &base_file, const lines::FileDescriptor &new_file,
                 const Survey &survey, Change &only) {
        size_t p = survey.prefix, s = survey.suffix;
        size_t base_part = survey.base_size - s - p, new_part = survey.new_size - s - p;
        if (!base_part && !new_part)
            return true;
        size_t lead = std::min(context_, p), tail = std::min(context_, s), block = shared().scan_block;
        size_t base_lines = lead + base_part + tail, new_lines = lead + new_part + tail;
        bool fits = base_lines + new_lines <= memory_ / EXACT_BYTES_PER_LINE;
        if (!fits) {
            // The answer shows at most this many lines from the hunk's start.
            base_lines = std::min(base_lines, ANSWER_LINE_CAP + 1);
            new_lines = std::min(new_lines, ANSWER_LINE_CAP + 1);
        }
        int64_t base_from = skip_lines(base_file, base_.begin, base_.end, block, p - lead);
        int64_t new_from = skip_lines(new_file, new_.begin, new_.end, block, p - lead);
        a_ = read_section_lines(base_file, base_from, base_.end, block, halt_.cancel, base_lines, base_lines);
        b_ = read_section_lines(new_file, new_from, new_.end, block, halt_.cancel, new_lines, new_lines);
        a_.first = b_.first = p - lead;
        if (halt_.cancelled())
            return false;
        if (fits) {
            edits_ = diff_lines(a_.hashes, b_.hashes, halt_);
            return true;
        }
        edits_.deleted.assign(a_.size(), 0);
        edits_.inserted.assign(b_.size(), 0);
        std::fill(edits_.deleted.begin() + std::ptrdiff_t(std::min(lead, a_.size())), edits_.deleted.end(), 1);
        std::fill(edits_.inserted.begin() + std::ptrdiff_t(std::min(lead, b_.size())), edits_.inserted.end(), 1);
        // Only one side changing is as few edits as can be.
        edits_.approximate = base_part && new_part;
        only = {p, p + base_part, p, p + new_part};
        return true;
    }

    bool full() const { return text_ > ANSWER_TEXT_CAP || line_count_ >= ANSWER_LINE_CAP; }

    void add(OutHunk &out, char op, size_t base_line, size_t new_line, const lines::FileDescriptor &file,
             const SectionLines &lines, size_t index) {
        ++line_count_;
        OutLine line{op, int64_t(base_line), int64_t(new_line), -1, -1, {}, false};
        line.text = line_text(file, lines, index, LINE_TEXT_CAP, line.cut);
        if (base_line)
            line.base_offset = a_.starts[base_line - 1 - a_.first] - base_.begin;
        if (new_line)
            line.new_offset = b_.starts[new_line - 1 - b_.first] - new_.begin;
        text_ += line.text.size();
        out.lines.push_back(std::move(line));
    }

    OutHunk lines_of(const Hunk &hunk, const lines::FileDescriptor &base_file, const lines::FileDescriptor &new_file) {
        OutHunk out;
        out.base_count = hunk.base_end - hunk.base_begin;
        out.new_count = hunk.new_end - hunk.new_begin;
        // A side without lines starts at the line before it, as unified diffs write it.
        out.base_start = out.base_count ? hunk.base_begin + 1 : hunk.base_begin;
        out.new_start = out.new_count ? hunk.new_begin + 1 : hunk.new_begin;
        size_t i = hunk.base_begin, j = hunk.new_begin;
        while (i < hunk.base_end || j < hunk.new_end) {
            bool base_left = i < hunk.base_end, new_left = j < hunk.new_end;
            // Past the answer's caps, or past the lines read for it.
            if (full() || (base_left && !held(a_, i)) || (new_left && !held(b_, j))) {
                skipped_ = true;
                break;
            }
            if (base_left && edits_.deleted[i - a_.first]) {
                add(out, '-', i + 1, 0, base_file, a_, i);
                ++i;
            } else if (new_left && edits_.inserted[j - b_.first]) {
                add(out, '+', 0, j + 1, new_file, b_, j);
                ++j;
            } else {
                // Context lines show the new run's text.
                add(out, ' ', i + 1, j + 1, new_file, b_, j);
                ++i, ++j;
            }
        }
        return out;
    }

    const SideRange &base_, &new_;
    size_t context_, memory_;
    const Halt &halt_;
    SectionLines a_, b_;  // the lines read: all, or the windows the answer needs
    LineEdits edits_;     // of the lines read
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
                       double budget, bool offsets, bool headers, nb::handle cancel, size_t memory) {
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
        Differ(base, changed, size_t(context), memory, halt).run(out);
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
               nb::arg("cancel").none() = nb::none(), nb::arg("memory") = DEFAULT_MEMORY,
               "The diff of new_section's log against base_section's (two LogSection objects,\n"
               "usually of two runs): {\"path\", \"identical\", \"approximate\", \"masked\", \"hunks\"}.\n\n"
               "Lines are compared after masking what differs from run to run anyway (see\n"
               "mask_line); the diff is minimal in lines unless it takes longer than `budget`\n"
               "seconds or more than `memory` bytes (256 MiB by default, whatever the sections'\n"
               "sizes), when the rest is given as replaced and \"approximate\" is true. Each hunk\n"
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
