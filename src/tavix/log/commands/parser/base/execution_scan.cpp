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
//
// While the stock pieces are in place (the module's Pattern with its own
// patterns, its LogExecute with the stock __init__ and _format_type, the
// interpreter's uuid.uuid4), banners are matched, ids made and executions
// built natively. Any piece replaced is used as the interpreter would use
// it, with the same results.
#include <Python.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include <cancel_flag.hpp>

#include "banners.hpp"
#include "base.hpp"
#include "log_lines.hpp"
#include "path_guard.hpp"
#include "py_helpers.hpp"

namespace tavix::parser_base {

namespace {

using namespace tavix::log_lines;
using lines::count_newlines;
using lines::find_counting;
using record_line::NO_POSITION;
using record_line::space_before;

constexpr int64_t END = -1;
constexpr int64_t PAUSE = -2;  // looked far without a match: time to check for Ctrl-C
constexpr int64_t FAR = -3;    // not in the bytes at hand
// Searches and lines within this many buffered bytes are done under the GIL:
// releasing and taking it again would cost more than they do.
constexpr size_t NEAR = size_t(1) << 14;
constexpr size_t BUDGET = size_t(64) << 20;
// Ctrl-C and the viewer's cancel flag are looked at, and the interpreter lock
// offered to other threads, after every this many bytes scanned: a few
// milliseconds of a dense scan.
constexpr int64_t CHECK_EVERY = int64_t(1) << 20;

// The flag of the scan this thread runs for the viewer server, if any: see
// executions_unless_cancelled.
thread_local const std::atomic<bool> *scan_cancel = nullptr;
constexpr size_t BLOCK_LINES = 10;  // lines kept as the text of a block without a title

struct OpenExecution {
    nb::object execute;
    nb::object execute_id;
    int64_t start_line;
    int64_t start_at;  // byte position of the banner line
    bool titled;
    bool ping;
};

// Which of the pieces the scan uses are the stock ones, looked up once per scan.
struct Pieces {
    nb::object pattern_command, pattern_config_ping, pattern_ping_ip, execute_class, uuid4;
    bool stock_banners, stock_target, stock_execute, stock_uuid;

    Pieces() {
        Shared &state = shared();
        nb::handle globals = PyModule_GetDict(state.module.ptr());
        auto global = [&](const char *name) {
            nb::str key(name);
            PyObject *value = PyDict_GetItemWithError(globals.ptr(), key.ptr());
            if (!value && PyErr_Occurred())
                throw nb::python_error();
            if (!value) {
                PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
                throw nb::python_error();
            }
            return nb::borrow(value);
        };
        nb::object pattern = global("Pattern");
        pattern_command = pattern.attr("pattern_command");
        pattern_config_ping = pattern.attr("pattern_config_ping");
        pattern_ping_ip = pattern.attr("pattern_ping_ip");
        execute_class = global("LogExecute");
        stock_banners = pattern_command.is(state.pattern_command) &&
                        pattern_config_ping.is(state.pattern_config_ping);
        stock_target = pattern_ping_ip.is(state.pattern_ping_ip);
        stock_execute = is_stock_execute_class(execute_class);
        uuid4 = state.uuid_module.attr("uuid4");
        stock_uuid = uuid4.is(state.uuid4);
    }
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
    int64_t find_near(std::string_view needle);
    bool line_at_hand() const;
    void pass(const char *data, size_t n, size_t lines, int64_t at);
    void process(const RecordLine &line);
    bool record_line(const RecordLine &line) const;
    void close(const RecordLine &line);
    void ping_target(const RecordLine &line);
    void try_open(const RecordLine &line);
    nb::object match_groups(const RecordLine &line) const;
    nb::object new_execute_id(nb::handle start_line) const;
    void track_executions_again();
    std::string_view bytes(int64_t from, int64_t to, std::string &storage) const;
    nb::object cached_text(int64_t from, int64_t to, std::string &last_bytes, nb::object &last) const;
    nb::object shared_text(int64_t from, int64_t to) const;
    nb::object text(int64_t from, int64_t to) const;
    nb::object time_of(const RecordLine &line) const;

    Pieces pieces_;
    ByteReader reader_;
    nb::object archive_, logfile_, log_start_object_, log_size_object_, parent_id_, host_object_;
    // Neighbouring banners mostly share their time: one text object for a run
    // of equal ones. Devices and short titles repeat across the section: one
    // text object for each of the most recent few hundred.
    mutable std::string last_time_bytes_;
    mutable nb::object last_time_;
    mutable std::unordered_map<std::string, nb::object> names_;
    Attributes attributes_;  // of the execution being opened, kept for its capacity
    nb::object ids_;     // execute ids handed out before, by banner line
    nb::dict result_;
    int64_t log_start_ = 0, log_size_ = 0;
    std::string host_;
    bool host_unusable_ = false;  // not a string: the first record-line test raises
    bool host_unmatchable_ = false;
    std::optional<FileDescriptor> file_;
    std::optional<Window> window_;
    int64_t position_ = 0, line_start_ = 0, line_index_ = 0;
    std::optional<OpenExecution> open_;
};

ExecutionScan::ExecutionScan(nb::handle section)
    : reader_([this](int64_t from, int64_t to, std::string &storage) { return bytes(from, to, storage); }) {
    archive_ = section.attr("archive");
    logfile_ = section.attr("logfile");
    log_start_object_ = section.attr("log_start");
    log_size_object_ = section.attr("log_size");
    host_object_ = section.attr("host");
    parent_id_ = get_item(section.attr("data"), "section_id");
    log_start_ = whole_number(log_start_object_);
    log_size_ = whole_number(log_size_object_);

    // Ids handed out by earlier scans of this section, by banner line. Two
    // threads scanning at once share one table, so they agree on every id.
    nb::object attributes = checked(PyObject_GenericGetDict(section.ptr(), nullptr));
    nb::object fresh = nb::dict();
    ids_ = nb::borrow(PyDict_SetDefault(attributes.ptr(), nb::str("_execute_ids").ptr(), fresh.ptr()));
    if (!ids_.is_valid())
        throw nb::python_error();
    if (!PyDict_Check(ids_.ptr())) {
        ids_ = fresh;
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
    auto last = lines::find_last_newline(data, n);
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

// find() within the next NEAR buffered bytes, without reading; FAR (having
// moved past what it searched) when the needle is not there.
int64_t ExecutionScan::find_near(std::string_view needle) {
    std::string_view view = window_->held(position_);
    if (view.size() > NEAR)
        view = view.substr(0, NEAR);
    if (view.size() < needle.size())
        return FAR;
    size_t newlines = 0;
    size_t hit = find_counting(view.data(), view.size(), needle, newlines);
    size_t n = hit != std::string_view::npos ? hit : view.size() - (needle.size() - 1);
    pass(view.data(), n, newlines, position_);
    position_ += int64_t(n);
    return hit != std::string_view::npos ? position_ : FAR;
}

// Whether the line at line_start_ ends within the next NEAR buffered bytes.
bool ExecutionScan::line_at_hand() const {
    std::string_view view = window_->held(line_start_);
    return lines::find_newline(view.data(), std::min(view.size(), NEAR)) != nullptr;
}

// Bytes [from, to) of the log: from the window when it still holds them.
std::string_view ExecutionScan::bytes(int64_t from, int64_t to, std::string &storage) const {
    std::string_view view;
    if (window_->buffered(from, to, view))
        return view;
    bool read;
    {
        nb::gil_scoped_release unlocked;
        read = read_range(*file_, from, to, storage);
    }
    if (!read)
        throw std::system_error(errno, std::generic_category());
    return storage;
}

// The text of [from, to), one object for equal short texts.
nb::object ExecutionScan::shared_text(int64_t from, int64_t to) const {
    constexpr size_t LONGEST = 64, KEPT = 512;
    if (to - from > int64_t(LONGEST))
        return text(from, to);
    std::string storage;
    std::string key(bytes(from, to, storage));
    auto found = names_.find(key);
    if (found != names_.end())
        return found->second;
    if (names_.size() >= KEPT)
        names_.clear();
    nb::object value = decode(key);
    names_.emplace(std::move(key), value);
    return value;
}

// The text of [from, to), the same object as last time when the bytes are.
nb::object ExecutionScan::cached_text(int64_t from, int64_t to, std::string &last_bytes,
                                      nb::object &last) const {
    std::string storage;
    std::string_view view = bytes(from, to, storage);
    if (!last.is_valid() || view != last_bytes) {
        last = decode(view.data(), view.size());
        last_bytes.assign(view);
    }
    return last;
}

nb::object ExecutionScan::text(int64_t from, int64_t to) const {
    std::string storage;
    std::string_view view = bytes(from, to, storage);
    return decode(view.data(), view.size());
}

nb::object ExecutionScan::time_of(const RecordLine &line) const {
    int64_t from, to;
    if (!line.time_range(from, to))
        return nb::none();
    return cached_text(from, to, last_time_bytes_, last_time_);
}

bool ExecutionScan::record_line(const RecordLine &line) const {
    if (host_unusable_) {
        PyErr_Format(PyExc_TypeError, "'in <string>' requires string as left operand, not %.200s",
                     Py_TYPE(host_object_.ptr())->tp_name);
        throw nb::python_error();
    }
    return !host_unmatchable_ && line.has_record_prefix(host_.size());
}

void ExecutionScan::process(const RecordLine &line) {
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

void ExecutionScan::close(const RecordLine &line) {
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
            std::string_view held;
            if (window_->buffered(open_->start_at, line.start, held)) {
                size_t end = 0;
                for (size_t count = 0; count < BLOCK_LINES; ++count)
                    end = held.find('\n', end) + 1;
                storage.assign(held.substr(0, end));
            } else {
                bool read;
                {
                    nb::gil_scoped_release unlocked;
                    read = read_lines(*file_, open_->start_at, BLOCK_LINES, line.start, storage);
                }
                if (!read)
                    throw std::system_error(errno, std::generic_category());
            }
            storage += "(truncate)";
            logs = decode(storage);
        }
        set_attr(execute, names().logs, logs);
    }
    if (PyDict_SetItem(result_.ptr(), open_->execute_id.ptr(), execute.ptr()) < 0)
        throw nb::python_error();
    open_.reset();
}

void ExecutionScan::ping_target(const RecordLine &line) {
    nb::object title;
    if (pieces_.stock_target) {
        if (line.blank())
            return;
        auto address = match_ping_target(reader_, line.stripped_begin, line.stripped_end);
        if (!address)
            return;
        title = shared_text(address->first, address->second);
    } else {
        nb::object stripped = line.blank() ? nb::str() : text(line.stripped_begin, line.stripped_end);
        nb::object match = pieces_.pattern_ping_ip.attr("match")(stripped);
        if (!truthy(match))
            return;
        title = match.attr("group")("ip");
    }
    set_attr(open_->execute, names().title, title);
    open_->titled = true;
}

// The named groups of the banner pattern that matches the message after the
// tags field, as a dictionary in the patterns' order, or None.
nb::object ExecutionScan::match_groups(const RecordLine &line) const {
    nb::object message;
    if (int64_t tags_end = line.message_after_tags(); tags_end != NO_POSITION) {
        message = text(tags_end + 3, line.stripped_end);
    } else {
        nb::object whole = text(line.stripped_begin, line.stripped_end);
        message = checked(PyUnicode_Substring(whole.ptr(), 2, PY_SSIZE_T_MAX));
    }
    nb::object match = pieces_.pattern_config_ping.attr("match")(message);
    if (!truthy(match))
        match = pieces_.pattern_command.attr("match")(message);
    if (!truthy(match))
        return nb::none();
    return match.attr("groupdict")();
}

nb::object ExecutionScan::new_execute_id(nb::handle start_line) const {
    nb::object execute_id = nb::borrow(PyDict_GetItemWithError(ids_.ptr(), start_line.ptr()));
    if (execute_id.is_valid())
        return execute_id;
    if (PyErr_Occurred())
        throw nb::python_error();
    execute_id = pieces_.stock_uuid ? nb::object(tavix::uuid4_text())
                                    : nb::object(as_text(pieces_.uuid4()));
    // The first of two threads scanning the section at once wins.
    PyObject *kept = PyDict_SetDefault(ids_.ptr(), start_line.ptr(), execute_id.ptr());
    if (!kept)
        throw nb::python_error();
    return nb::borrow(kept);
}

void ExecutionScan::try_open(const RecordLine &line) {
    const Names &name = names();
    std::optional<Banner> banner;
    nb::object groups;
    int64_t tags_end = line.message_after_tags();
    if (pieces_.stock_banners && tags_end != NO_POSITION) {
        banner = match_banner(reader_, tags_end + 3, line.stripped_end);
        if (!banner)
            return;
    } else {
        // Replaced patterns, or the rare line without a tags field (its
        // message starts at a character, not a byte, position).
        if (pieces_.stock_banners) {
            nb::object head = decode(line.header.substr(0, std::min<size_t>(line.header.size(), 64)));
            if (PyUnicode_Tailmatch(head.ptr(), nb::str("+++ ").ptr(), 2, PY_SSIZE_T_MAX, -1) != 1)
                return;
        }
        groups = match_groups(line);
        if (groups.is_none())
            return;
    }

    nb::object start_line = nb::int_(line_index_);
    nb::object execute_id = new_execute_id(start_line);
    Attributes &attributes = attributes_;
    attributes.clear();
    attributes.emplace_back(name.start_line, start_line);
    attributes.emplace_back(name.start_time, time_of(line));
    attributes.emplace_back(name.logfile, logfile_);
    attributes.emplace_back(name.parent_id, parent_id_);
    attributes.emplace_back(name.execute_id, execute_id);
    attributes.emplace_back(name.section_log_start, log_start_object_);
    attributes.emplace_back(name.section_log_size, log_size_object_);
    if (banner) {
        attributes.emplace_back(name.device, shared_text(banner->device_begin, banner->device_end));
        attributes.emplace_back(name.execute_type, nb::borrow(banner_verb(int(banner->kind))));
        if (banner->titled)
            attributes.emplace_back(name.title, shared_text(banner->title_begin, banner->title_end));
    } else {
        for (auto [key, value] : nb::cast<nb::dict>(groups))
            attributes.emplace_back(key, nb::borrow(value));
    }

    nb::object execute;
    if (pieces_.stock_execute) {
        execute = new_execute(archive_, attributes);
        // Until the result is handed out, only this scan can reach the new
        // executions, so the collector has nothing to find among them; left
        // in its young generations they would be traversed again and again
        // as the section's result grows. They are tracked again at the end.
        PyObject_GC_UnTrack(execute.ptr());
    } else {
        execute = call_execute(pieces_.execute_class, archive_, attributes);
    }
    attributes.clear();
    bool titled, ping;
    if (banner && pieces_.stock_execute) {
        titled = banner->titled;
        ping = banner->kind == BannerKind::ping;
    } else {
        nb::object kind;
        titled = find_attr(execute, "title", kind);
        ping = find_attr(execute, "execute_type", kind) && PyUnicode_Check(kind.ptr()) &&
               PyUnicode_CompareWithASCIIString(kind.ptr(), "ping") == 0;
    }
    open_ = OpenExecution{execute, execute_id, line_index_, line.start, titled, ping};
}

nb::object ExecutionScan::run() {
    struct TrackAgain {
        ExecutionScan &scan;
        ~TrackAgain() { scan.track_executions_again(); }
    } track_again{*this};
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
            throw std::system_error(file_->error(), std::generic_category());
        file_->advise_sequential();
        if (file_->is_directory())
            throw std::system_error(EISDIR, std::generic_category());

        int64_t region_end = std::numeric_limits<int64_t>::max();
        if (log_size_ > 0) {
            int64_t limit = log_size_ > region_end - log_start_ ? region_end : log_start_ + log_size_;
            nb::gil_scoped_release unlocked;
            region_end = end_of_line_at(*file_, limit);
        }
        window_.emplace(*file_, region_end, shared().scan_block);
        record_line::Parser parser(host_);
        position_ = line_start_ = log_start_;
        int64_t signals_checked_at = position_;

        for (;;) {
            // A scan of gigabytes answers Ctrl-C between its blocks.
            if (position_ - signals_checked_at >= CHECK_EVERY) {
                signals_checked_at = position_;
                // Most of a dense scan holds the interpreter lock: let the
                // event loop (and its signal handlers) have it in between.
                { nb::gil_scoped_release yield_lock; }
                if (PyErr_CheckSignals() < 0)
                    throw nb::python_error();
                if (scan_cancel && scan_cancel->load(std::memory_order_relaxed)) {
                    PyErr_SetString(PyExc_RuntimeError, "scan stopped: no request waits for it any more");
                    throw nb::python_error();
                }
            }
            if (open_ && host_unmatchable_ && !(open_->ping && !open_->titled))
                break;  // nothing can close it: it would be dropped
            bool every_line = open_ && ((open_->ping && !open_->titled) || host_unusable_ || host_.empty());
            if (!every_line) {
                std::string_view needle = open_ ? std::string_view(host_) : std::string_view("+++");
                int64_t found = find_near(needle);
                if (found == FAR) {
                    nb::gil_scoped_release unlocked;
                    found = find(needle);
                }
                if (found == PAUSE)
                    continue;
                if (found == END)
                    break;
            }
            RecordLine line;
            if (line_at_hand()) {
                line = analyse_line(*window_, line_start_, parser);
            } else {
                nb::gil_scoped_release unlocked;
                line = analyse_line(*window_, line_start_, parser);
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

// Executions are left untracked by the collector while the scan builds
// them; every way out of the scan, an error or Ctrl-C included, gives them
// back to it.
void ExecutionScan::track_executions_again() {
    Py_ssize_t at = 0;
    PyObject *key, *execute;
    while (PyDict_Next(result_.ptr(), &at, &key, &execute))
        if (!PyObject_GC_IsTracked(execute))
            PyObject_GC_Track(execute);
    if (open_ && !PyObject_GC_IsTracked(open_->execute.ptr()))
        PyObject_GC_Track(open_->execute.ptr());
}

}  // namespace

nb::object scan_executions(nb::handle section) { return ExecutionScan(section).run(); }

nb::object executions_unless_cancelled(nb::handle section, nb::handle cancel) {
    CancelFlag flag = cancel_flag_of(cancel);
    struct Watched {
        explicit Watched(const std::atomic<bool> *flag) : saved(scan_cancel) { scan_cancel = flag; }
        ~Watched() { scan_cancel = saved; }
        const std::atomic<bool> *saved;
    } watched(flag.get());
    return section.attr("child_execute");
}

}  // namespace tavix::parser_base
