// The execution scan: finds the device commands run during a section by
// streaming through its part of the task log.
//
// The section's lines are those a size hint of `log_size` bytes reads from
// `log_start` (every line that starts at or before the section's end, so the
// first line after the section is included and can close a command still
// open). Line indices count from the section's first line, as the archive's
// `read_lines` counts them.
//
// Only lines that can change the outcome are looked at: while no command is
// open, lines holding "+++"; while one is open, lines holding the host name
// (only record lines of the host close it). The lines in between are counted,
// never kept, so memory stays bounded by the result whatever the section's size.
#include <Python.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>

#include "base.hpp"
#include "log_lines.hpp"
#include "path_guard.hpp"
#include "py_helpers.hpp"

namespace tavix::parser_base {

namespace {

using namespace tavix::log_lines;

constexpr int64_t END = -1;
constexpr int64_t PAUSE = -2;  // looked far without a match: time to check for Ctrl-C
constexpr size_t BUDGET = size_t(64) << 20;
constexpr size_t BLOCK_LINES = 10;  // lines kept as the text of a block without a title

struct OpenExecution {
    nb::object execute;
    nb::object execute_id;
    int64_t start_line;
    int64_t start_at;  // byte position of the banner line
    bool titled;
    bool ping;
};

// A byte position or size; too large or not a whole number: the interpreter's error.
int64_t whole_number(nb::handle value) {
    long long number = PyLong_AsLongLong(value.ptr());
    if (number == -1 && PyErr_Occurred())
        throw nb::python_error();
    return number;
}

class ExecutionScan {
public:
    explicit ExecutionScan(nb::handle section);
    nb::object run();

private:
    int64_t find(std::string_view needle);
    void pass(const char *data, size_t n, size_t lines, int64_t at);
    void process(const LineInfo &line);
    bool record_line(const LineInfo &line) const;
    void close(const LineInfo &line);
    void ping_target(const LineInfo &line);
    void try_open(const LineInfo &line);
    std::string_view bytes(int64_t from, int64_t to, std::string &storage) const;
    nb::object text(int64_t from, int64_t to) const;
    nb::object time_of(const LineInfo &line) const;

    nb::object archive_, logfile_, log_start_object_, log_size_object_, parent_id_, host_object_;
    nb::object ids_;     // execute ids handed out before, by banner line
    nb::dict result_;
    int64_t log_start_ = 0, log_size_ = 0;
    std::string host_;
    bool host_unusable_ = false;  // not a string: the first record-line test raises
    bool host_unmatchable_ = false;
    std::optional<LogFile> file_;
    std::optional<Window> window_;
    int64_t position_ = 0, line_start_ = 0, line_index_ = 0;
    std::optional<OpenExecution> open_;
};

ExecutionScan::ExecutionScan(nb::handle section) {
    archive_ = section.attr("archive");
    logfile_ = section.attr("logfile");
    log_start_object_ = section.attr("log_start");
    log_size_object_ = section.attr("log_size");
    host_object_ = section.attr("host");
    parent_id_ = get_item(section.attr("data"), "section_id");
    log_start_ = whole_number(log_start_object_);
    log_size_ = whole_number(log_size_object_);

    if (!find_attr(section, "_execute_ids", ids_) || !PyDict_Check(ids_.ptr())) {
        ids_ = nb::dict();
        nb::setattr(section, "_execute_ids", ids_);
    }

    if (!PyUnicode_Check(host_object_.ptr())) {
        host_unusable_ = true;
    } else {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(host_object_.ptr(), &size);
        if (!utf8) {
            // Unencodable (lone surrogates): it can occur in no decoded line.
            PyErr_Clear();
            host_unmatchable_ = true;
        } else {
            host_.assign(utf8, size_t(size));
            host_unmatchable_ = host_.find('\n') != std::string::npos;
        }
    }
}

// Counts the `lines` line ends in [data, data + n), which starts at byte `at`.
void ExecutionScan::pass(const char *data, size_t n, size_t lines, int64_t at) {
    if (!lines)
        return;
    line_index_ += int64_t(lines);
    auto last = static_cast<const char *>(memrchr(data, '\n', n));
    line_start_ = at + (last - data) + 1;
}

// Moves to the next occurrence of `needle`, counting the lines passed.
int64_t ExecutionScan::find(std::string_view needle) {
    size_t budget = BUDGET;
    for (;;) {
        std::string_view view = window_->at(position_, needle.size());
        if (view.size() < needle.size()) {
            pass(view.data(), view.size(), count_newlines(view.data(), view.size()), position_);
            return END;
        }
        size_t newlines = 0;
        size_t hit = find_counting(view.data(), view.size(), needle, newlines);
        if (hit != std::string_view::npos) {
            pass(view.data(), hit, newlines, position_);
            position_ += int64_t(hit);
            return position_;
        }
        size_t n = view.size() - (needle.size() - 1);
        if (window_->at_end()) {
            newlines += count_newlines(view.data() + n, view.size() - n);
            n = view.size();
        }
        pass(view.data(), n, newlines, position_);
        position_ += int64_t(n);
        if (window_->at_end())
            return END;
        if (budget <= n)
            return PAUSE;
        budget -= n;
    }
}

// Bytes [from, to) of the log: from the window when it still holds them.
std::string_view ExecutionScan::bytes(int64_t from, int64_t to, std::string &storage) const {
    std::string_view view;
    if (window_->buffered(from, to, view))
        return view;
    if (!file_->read_range(from, to, storage))
        throw std::system_error(errno, std::generic_category());
    return storage;
}

nb::object ExecutionScan::text(int64_t from, int64_t to) const {
    std::string storage;
    std::string_view view = bytes(from, to, storage);
    return decode(view.data(), view.size());
}

nb::object ExecutionScan::time_of(const LineInfo &line) const {
    int64_t from, to;
    if (!line.time_range(from, to))
        return nb::none();
    return text(from, to);
}

bool ExecutionScan::record_line(const LineInfo &line) const {
    if (host_unusable_) {
        PyErr_Format(PyExc_TypeError, "'in <string>' requires string as left operand, not %.200s",
                     Py_TYPE(host_object_.ptr())->tp_name);
        throw nb::python_error();
    }
    return !host_unmatchable_ && line.has_record_prefix(host_.size());
}

void ExecutionScan::process(const LineInfo &line) {
    if (open_) {
        if (record_line(line)) {
            close(line);
        } else {
            if (open_->ping && !open_->titled)
                ping_target(line);
            return;
        }
    }
    if (line.has_plus3 && record_line(line))
        try_open(line);
}

void ExecutionScan::close(const LineInfo &line) {
    nb::handle execute = open_->execute;
    set_attr(execute, names().end_line, nb::int_(line_index_));
    set_attr(execute, names().stop_time, time_of(line));
    if (!open_->titled) {
        std::string storage;
        nb::object logs;
        if (line_index_ - open_->start_line <= int64_t(BLOCK_LINES)) {
            std::string_view block = bytes(open_->start_at, line.start, storage);
            size_t keep = block.size();
            while (size_t width = space_before(reinterpret_cast<const unsigned char *>(block.data()), keep))
                keep -= width;
            logs = decode(block.data(), keep);
        } else {
            if (!file_->read_lines(open_->start_at, BLOCK_LINES, line.start, storage))
                throw std::system_error(errno, std::generic_category());
            storage += "(truncate)";
            logs = decode(storage);
        }
        set_attr(execute, names().logs, logs);
    }
    result_[open_->execute_id] = execute;
    ids_[nb::int_(open_->start_line)] = open_->execute_id;
    open_.reset();
}

void ExecutionScan::ping_target(const LineInfo &line) {
    static constexpr std::string_view target = "Target IP address: ";
    if (line.head.compare(0, target.size(), target) != 0)
        return;
    nb::object match = shared().pattern_ping_ip.attr("match")(text(line.stripped_begin, line.stripped_end));
    if (match.is_none())
        return;
    set_attr(open_->execute, names().title, match.attr("group")("ip"));
    open_->titled = true;
}

void ExecutionScan::try_open(const LineInfo &line) {
    // Both banner patterns start with "+++ " right after the tags field, or
    // from the line's third character when there is no tags field.
    nb::object message;
    if (int64_t tags_end = line.message_after_tags(); tags_end != NO_POSITION) {
        int64_t from = tags_end + 3;
        std::string storage;
        if (bytes(from, std::min(from + 4, line.stripped_end), storage) != "+++ ")
            return;
        message = text(from, line.stripped_end);
    } else {
        nb::object head = decode(line.head);
        if (PyUnicode_Tailmatch(head.ptr(), nb::str("+++ ").ptr(), 2, PY_SSIZE_T_MAX, -1) != 1)
            return;
        nb::object whole = text(line.stripped_begin, line.stripped_end);
        message = checked(PyUnicode_Substring(whole.ptr(), 2, PY_SSIZE_T_MAX));
    }
    Shared &state = shared();
    nb::object match = state.pattern_config_ping.attr("match")(message);
    if (match.is_none())
        match = state.pattern_command.attr("match")(message);
    if (match.is_none())
        return;

    nb::object start_line = nb::int_(line_index_);
    nb::object execute_id = nb::borrow(PyDict_GetItemWithError(ids_.ptr(), start_line.ptr()));
    if (!execute_id.is_valid()) {
        if (PyErr_Occurred())
            throw nb::python_error();
        execute_id = tavix::uuid4_text();
    }
    // The groups of both patterns: device, execute_type, the kind's own
    // group, then the title for a command banner.
    nb::tuple groups = nb::cast<nb::tuple>(match.attr("groups")());
    bool titled = groups.size() > 3;
    nb::object execute = new_execute(archive_, {
        {names().start_line, start_line},
        {names().start_time, time_of(line)},
        {names().logfile, logfile_},
        {names().parent_id, parent_id_},
        {names().execute_id, execute_id},
        {names().section_log_start, log_start_object_},
        {names().section_log_size, log_size_object_},
        {names().device, groups[0]},
        {names().execute_type, groups[1]},
        {titled ? names().title : nullptr, titled ? groups[3] : nb::handle()},
    });
    nb::handle kind = groups[1];
    bool ping = PyUnicode_Check(kind.ptr()) && PyUnicode_CompareWithASCIIString(kind.ptr(), "ping") == 0;
    open_ = OpenExecution{execute, execute_id, line_index_, line.start, titled, ping};
}

nb::object ExecutionScan::run() {
    if (log_start_ < 0) {
        PyErr_Format(PyExc_ValueError, "negative seek position %lld", (long long)log_start_);
        throw nb::python_error();
    }
    nb::object path = checked(PyOS_FSPath(logfile_.ptr()));
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &encoded))
        throw nb::python_error();
    nb::object path_bytes = nb::steal(encoded);
    // Log names come from the archive's own results: an open archive's logs
    // must lie inside its extraction directory.
    nb::object dir = nb::getattr(archive_, "dir", nb::none());
    if (!dir.is_none())
        ensure_inside(fs_path(dir), PyBytes_AS_STRING(path_bytes.ptr()));
    try {
        file_.emplace(PyBytes_AS_STRING(path_bytes.ptr()));
        if (!file_->ok())
            throw std::system_error(errno, std::generic_category());
        if (file_->is_directory())
            throw std::system_error(EISDIR, std::generic_category());

        int64_t region_end = std::numeric_limits<int64_t>::max();
        if (log_size_ > 0) {
            int64_t limit = log_size_ > region_end - log_start_ ? region_end : log_start_ + log_size_;
            nb::gil_scoped_release unlocked;
            region_end = end_of_line_at(*file_, limit);
        }
        window_.emplace(*file_, region_end, shared().scan_block);
        position_ = line_start_ = log_start_;
        int64_t signals_checked_at = position_;

        for (;;) {
            // A scan of gigabytes answers Ctrl-C between its blocks.
            if (position_ - signals_checked_at >= int64_t(BUDGET)) {
                signals_checked_at = position_;
                if (PyErr_CheckSignals() < 0)
                    throw nb::python_error();
            }
            if (open_ && host_unmatchable_ && !(open_->ping && !open_->titled))
                break;  // nothing can close it: it would be dropped
            bool every_line = open_ && ((open_->ping && !open_->titled) || host_unusable_ || host_.empty());
            if (!every_line) {
                int64_t found;
                {
                    nb::gil_scoped_release unlocked;
                    found = find(open_ ? std::string_view(host_) : std::string_view("+++"));
                }
                if (found == PAUSE)
                    continue;
                if (found == END)
                    break;
            }
            LineInfo line;
            {
                nb::gil_scoped_release unlocked;
                line = analyse_line(*window_, line_start_, host_);
            }
            if (line.end == line.start)
                break;  // the end of the file
            process(line);
            if (!line.ends_with_newline)
                break;
            position_ = line_start_ = line.end;
            ++line_index_;
        }
    } catch (std::system_error &error) {
        errno = error.code().value();
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, logfile_.ptr());
        throw nb::python_error();
    }
    return result_;
}

}  // namespace

nb::object scan_executions(nb::handle section) { return ExecutionScan(section).run(); }

}  // namespace tavix::parser_base
