// The execution scan: finds the device commands run during a section by
// walking its part of the task log with the line reader.
//
// The section's lines are those a size hint of `log_size` bytes reads from
// `log_start` (every line that starts at or before the section's end, so the
// first line after the section is included and can close a command still
// open). Line indices count from the section's first line, as the archive's
// `read_lines` counts them.
//
// Only lines that can change the outcome are looked at: while no command is
// open, lines holding "+++"; while one is open, lines holding the host name
// (only record lines of the host close it); while a ping block waits for its
// target, every line. The lines in between are counted, never kept.
//
// While the stock pieces are in place (the module's Pattern with its own
// patterns, its LogExecute with the stock __init__ and _format_type, the
// interpreter's uuid.uuid4, a host name that is text), the walk runs without
// the interpreter and fills an ExecutionTable. Any piece replaced is used as
// the interpreter would use it, building the execution objects as the walk
// goes, with the same results.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>
#include <unordered_map>

#include <cancel_flag.hpp>

#include "banners.hpp"
#include "block_text.hpp"
#include "base.hpp"
#include "execution_table.hpp"
#include "log_lines.hpp"
#include "path_guard.hpp"
#include "py_helpers.hpp"
#include "record_line.hpp"

namespace tavix::parser_base {

namespace {

using namespace tavix::log_lines;
using lines::LinePiece;
using lines::LineRange;
using lines::LineReader;
using record_line::NO_POSITION;
using record_line::RecordLine;

// Ctrl-C and the viewer's cancel flag are looked at after every this many
// bytes walked: a few milliseconds of a dense scan.
constexpr int64_t CHECK_EVERY = int64_t(1) << 20;

// The flag of the scan this thread runs for the viewer server, if any: see
// executions_unless_cancelled.
thread_local const std::atomic<bool> *scan_cancel = nullptr;

// Thrown with a Python error pending, to be raised once the walk is left.
struct Stopped {};

// With the interpreter lock held: false, with the error set, once Ctrl-C was
// pressed or the viewer no longer waits for the scan.
bool keep_going() {
    if (PyErr_CheckSignals() < 0)
        return false;
    if (scan_cancel && scan_cancel->load(std::memory_order_relaxed)) {
        PyErr_SetString(PyExc_RuntimeError, "scan stopped: no request waits for it any more");
        return false;
    }
    return true;
}

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
    bool all_stock() const { return stock_banners && stock_target && stock_execute && stock_uuid; }
};

// A byte position or size; too large or not a whole number: the interpreter's error.
int64_t whole_number(nb::handle value) {
    long long number = PyLong_AsLongLong(value.ptr());
    if (number == -1 && PyErr_Occurred())
        throw nb::python_error();
    return number;
}

// What the walk asks of a builder and tells it.
//   is_open(), awaits_target(): the state of the command being read;
//   record(line): the record-line test;
//   open(line, index), target(line), close(line, index): a banner, a ping
//   target, the line that closes the command;
//   pause(): between blocks, to look at Ctrl-C and the cancel flag.
// `Unlocked` is held around reading: the interpreter lock is let go there
// by builders that hold it.

// Walks the section's lines and hands the ones that may matter to the builder.
template <class Builder>
class Walk {
public:
    Walk(const lines::FileDescriptor &file, const LineRange &range, std::string_view host, bool host_unmatchable,
         size_t block)
        : file_(file), reader_(file, range, block), parser_(host), host_(host),
          host_unmatchable_(host_unmatchable), block_(block) {}

    // With `closing_only`, walks only until the command open at the start
    // is closed (the walk of the next stretch opens what follows).
    void run(Builder &builder, bool closing_only = false) {
        int64_t checked_at = reader_.position();
        for (;;) {
            if (closing_only && !builder.is_open())
                break;
            if (reader_.position() - checked_at >= CHECK_EVERY) {
                checked_at = reader_.position();
                builder.pause();
            }
            bool open = builder.is_open();
            if (open && host_unmatchable_ && !builder.awaits_target())
                break;  // nothing can close it: it would be dropped
            bool every_line = open && (builder.awaits_target() || builder.host_unusable() || host_.empty());
            if (!every_line) {
                std::string_view needle = open ? host_ : std::string_view("+++");
                bool found, more = true;
                {
                    typename Builder::Unlocked unlocked;
                    found = reader_.skip_to(needle, size_t(CHECK_EVERY));
                    if (!found)
                        more = reader_.more();
                }
                check_read();
                if (!found) {
                    if (!more)
                        break;
                    continue;
                }
            }
            int64_t index = reader_.line();
            if (!read_line())
                break;
            // A record line closes the open command, then may open the next;
            // a ping block's other lines may give its target.
            if (builder.is_open()) {
                if (builder.record(line_)) {
                    builder.close(line_, index);
                    if (closing_only)
                        break;
                } else {
                    if (builder.awaits_target())
                        builder.target(line_);
                    continue;
                }
            }
            if (line_.has_plus3 && builder.record(line_))
                builder.open(line_, index);
        }
        check_read();
    }

    // Bytes [from, to) of the log: from the line at hand when it holds them.
    std::string_view bytes(int64_t from, int64_t to, std::string &storage) const {
        if (from >= whole_at_ && to <= whole_at_ + int64_t(whole_.size()))
            return whole_.substr(size_t(from - whole_at_), size_t(to - from));
        bool read;
        {
            typename Builder::Unlocked unlocked;
            read = read_range(file_, from, to, storage);
        }
        if (!read)
            throw std::system_error(errno, std::generic_category());
        return storage;
    }

    const lines::FileDescriptor &file() const { return file_; }
    // Lines passed so far: all of the range's once it is walked.
    int64_t lines_read() const { return reader_.line(); }
    ~Walk() { shared().last_scan_bytes_read = reader_.counters().bytes_read; }

private:
    void check_read() const {
        if (reader_.error())
            throw std::system_error(reader_.error(), std::generic_category());
    }

    // Reads the next line into line_; false at the end of the range.
    bool read_line() {
        LinePiece piece;
        bool got;
        {
            typename Builder::Unlocked unlocked;
            got = reader_.next(piece);
        }
        check_read();
        if (!got)
            return false;
        parser_.begin(line_, piece.line_start);
        whole_ = {};
        whole_at_ = -1;
        if (piece.first && piece.last) {
            parser_.feed(piece.text, piece.offset, false);
            parser_.finish();
            whole_ = piece.text;
            whole_at_ = piece.offset;
            return true;
        }
        typename Builder::Unlocked unlocked;
        if (piece.first) {
            parser_.feed(piece.text, piece.offset, true);
            while (!piece.last && reader_.next(piece))
                parser_.feed(piece.text, piece.offset, !piece.last);
        } else {
            // Found inside a line longer than a block, whose first pieces
            // are gone: it is read again from its start.
            LineReader head(file_, LineRange::starting_in(piece.line_start, piece.line_start + 1), block_);
            LinePiece part;
            while (head.next(part)) {
                parser_.feed(part.text, part.offset, !part.last);
                if (part.last)
                    break;
            }
            if (head.error())
                throw std::system_error(head.error(), std::generic_category());
            while (!piece.last && reader_.next(piece)) {
            }
        }
        check_read();
        parser_.finish();
        return true;
    }

    const lines::FileDescriptor &file_;
    LineReader reader_;
    record_line::Parser parser_;
    RecordLine line_;
    std::string_view host_;
    bool host_unmatchable_;
    size_t block_;
    std::string_view whole_;  // the line at hand, when it came in one piece
    int64_t whole_at_ = -1;
};

// The stripped line's message as the scan matches it: after the tags field's
// "]: ", or from its third character when there is none.
int64_t message_begin(const RecordLine &line, const ByteReader &read) {
    if (int64_t tags_end = line.message_after_tags(); tags_end != NO_POSITION)
        return tags_end + 3;
    int64_t at = line.stripped_begin;
    std::string storage;
    for (int character = 0; character < 2 && at < line.stripped_end; ++character) {
        std::string_view head = read(at, std::min(line.stripped_end, at + 4), storage);
        at += int64_t(lines::utf8_sequence(reinterpret_cast<const unsigned char *>(head.data()), head.size()));
    }
    return std::min(at, line.stripped_end);
}

// The section's facts every builder needs.
struct SectionFacts {
    explicit SectionFacts(nb::handle section) {
        archive = section.attr("archive");
        logfile = section.attr("logfile");
        log_start_object = section.attr("log_start");
        log_size_object = section.attr("log_size");
        host_object = section.attr("host");
        parent_id = get_item(section.attr("data"), "section_id");
        log_start = whole_number(log_start_object);
        log_size = whole_number(log_size_object);
        if (!PyUnicode_Check(host_object.ptr())) {
            host_unusable = true;
        } else {
            Py_ssize_t size = 0;
            const char *utf8 = PyUnicode_AsUTF8AndSize(host_object.ptr(), &size);
            if (!utf8) {
                // Unencodable (lone surrogates): it can occur in no decoded line.
                PyErr_Clear();
                host_unmatchable = true;
            } else {
                host.assign(utf8, size_t(size));
                host_unmatchable = host.find('\n') != std::string::npos;
            }
        }
    }
    nb::object archive, logfile, log_start_object, log_size_object, host_object, parent_id;
    int64_t log_start = 0, log_size = 0;
    std::string host;
    bool host_unusable = false;  // not a string: the first record-line test raises
    bool host_unmatchable = false;
};

// The section's key of execute ids, made at its first scan. Two threads
// scanning at once share it, so they agree on every id. With uuid.uuid4
// replaced: its ids handed out before, by banner line.
struct IdSource {
    IdSource(nb::handle section, bool stock_uuid) {
        nb::object attributes = checked(PyObject_GenericGetDict(section.ptr(), nullptr));
        const char *name = stock_uuid ? "_execute_key" : "_execute_ids";
        nb::object fresh;
        if (stock_uuid) {
            unsigned char bytes[16];
            random_16(bytes);
            fresh = checked(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bytes), 16));
        } else {
            fresh = nb::dict();
        }
        nb::object kept = nb::borrow(PyDict_SetDefault(attributes.ptr(), nb::str(name).ptr(), fresh.ptr()));
        if (!kept.is_valid())
            throw nb::python_error();
        bool usable = stock_uuid ? PyBytes_CheckExact(kept.ptr()) && PyBytes_GET_SIZE(kept.ptr()) == 16
                                 : PyDict_Check(kept.ptr());
        if (!usable) {
            kept = fresh;
            nb::setattr(section, name, kept);
        }
        if (stock_uuid)
            std::memcpy(key, PyBytes_AS_STRING(kept.ptr()), 16);
        else
            ids = kept;
    }
    uint64_t key[2] = {0, 0};
    nb::object ids;
};

// ------------------------------------------------------------- the table --

// The commands of a stretch of the log, numbered from its first line.
struct Found {
    std::vector<ExecutionRow> rows;
    TextPool texts;
    int64_t lines = 0;  // in the stretch
};

// How the threads of one scan stop together: the first to stop (Ctrl-C or
// the viewer's cancel flag, seen by the calling thread; a read error) tells
// the others.
struct Stopping {
    std::atomic<bool> stop{false};
    const std::atomic<bool> *cancel = nullptr;
};

// Thrown by the scan's other threads when the scan stops: no Python error.
struct Halted {};

// Fills rows without the interpreter.
class TableBuilder {
public:
    struct Unlocked {
        Unlocked() {}  // the walk runs with the lock let go already
    };

    // `caller`: runs in the thread that asked for the scan, which alone
    // looks at Ctrl-C.
    TableBuilder(Found &found, const SectionFacts &facts, Stopping &stopping, bool caller)
        : found_(found), facts_(facts), stopping_(stopping), caller_(caller) {}
    void attach(Walk<TableBuilder> &walk) {
        walk_ = &walk;
        read_ = [this](int64_t from, int64_t to, std::string &storage) { return walk_->bytes(from, to, storage); };
    }

    bool is_open() const { return open_.has_value(); }
    bool awaits_target() const { return open_ && open_->kind == uint8_t(BannerKind::ping) && !open_->titled; }
    bool host_unusable() const { return false; }

    void pause() {
        if (stopping_.stop.load(std::memory_order_relaxed))
            throw Halted{};
        if (!caller_) {
            if (stopping_.cancel && stopping_.cancel->load(std::memory_order_relaxed))
                throw Halted{};
            return;
        }
        nb::gil_scoped_acquire locked;
        if (!keep_going()) {
            stopping_.stop = true;
            throw Stopped{};
        }
    }

    bool record(const RecordLine &line) const {
        return !facts_.host_unmatchable && line.has_record_prefix(facts_.host.size());
    }

    void open(const RecordLine &line, int64_t index) {
        std::optional<Banner> banner = match_banner(read_, message_begin(line, read_), line.stripped_end);
        if (!banner)
            return;
        std::string storage;
        ExecutionRow row{};
        row.start_at = line.start;
        row.start_line = index;
        row.start_time = time_of(line);
        row.device = pooled(read_(banner->device_begin, banner->device_end, storage), recent_devices_);
        row.kind = uint8_t(banner->kind);
        row.titled = banner->titled;
        row.title_begin = banner->title_begin;
        row.title_end = banner->title_end;
        open_ = row;
    }

    void target(const RecordLine &line) {
        if (line.blank())
            return;
        if (auto address = match_ping_target(read_, line.stripped_begin, line.stripped_end)) {
            open_->title_begin = address->first;
            open_->title_end = address->second;
            open_->titled = true;
        }
    }

    void close(const RecordLine &line, int64_t index) {
        open_->end_at = line.start;
        open_->end_line = index;
        open_->stop_time = time_of(line);
        found_.rows.push_back(*open_);
        open_.reset();
    }

private:
    uint32_t time_of(const RecordLine &line) {
        int64_t from, to;
        if (!line.time_range(from, to))
            return TextPool::NONE;
        std::string storage;
        return pooled(read_(from, to, storage), recent_times_);
    }

    // Neighbouring commands mostly share their time and take turns among a
    // few devices: the texts last pooled are compared before the pool's
    // table is searched.
    template <size_t N>
    uint32_t pooled(std::string_view text, std::array<uint32_t, N> &recent) {
        for (uint32_t id : recent)
            if (id != TextPool::NONE && found_.texts[id] == text)
                return id;
        uint32_t id = found_.texts.add(text);
        std::move_backward(recent.begin(), recent.end() - 1, recent.end());
        recent[0] = id;
        return id;
    }

    Found &found_;
    const SectionFacts &facts_;
    Stopping &stopping_;
    bool caller_;
    std::array<uint32_t, 1> recent_times_{TextPool::NONE};
    std::array<uint32_t, 4> recent_devices_{TextPool::NONE, TextPool::NONE, TextPool::NONE, TextPool::NONE};
    Walk<TableBuilder> *walk_ = nullptr;
    ByteReader read_;
    std::optional<ExecutionRow> open_;
};

// ------------------------------------------------------------ the objects --

// Builds the execution objects as the interpreter would, with whichever
// pieces are in place; holds the interpreter lock but while reading.
class ObjectBuilder {
public:
    using Unlocked = nb::gil_scoped_release;

    ObjectBuilder(const Pieces &pieces, const SectionFacts &facts, const IdSource &ids)
        : pieces_(pieces), facts_(facts), ids_(ids) {}
    void attach(Walk<ObjectBuilder> &walk) {
        walk_ = &walk;
        read_ = [this](int64_t from, int64_t to, std::string &storage) { return walk_->bytes(from, to, storage); };
    }

    bool is_open() const { return open_.has_value(); }
    bool awaits_target() const { return open_ && open_->ping && !open_->titled; }
    bool host_unusable() const { return facts_.host_unusable; }

    void pause() {
        // Most of a dense scan holds the interpreter lock: let the event
        // loop (and its signal handlers) have it in between.
        { nb::gil_scoped_release yield_lock; }
        if (!keep_going())
            throw Stopped{};
    }

    bool record(const RecordLine &line) const {
        if (facts_.host_unusable) {
            PyErr_Format(PyExc_TypeError, "'in <string>' requires string as left operand, not %.200s",
                         Py_TYPE(facts_.host_object.ptr())->tp_name);
            throw nb::python_error();
        }
        return !facts_.host_unmatchable && line.has_record_prefix(facts_.host.size());
    }

    void open(const RecordLine &line, int64_t index) {
        const Names &name = names();
        std::optional<Banner> banner;
        nb::object groups;
        int64_t message_at = message_begin(line, read_);
        if (pieces_.stock_banners) {
            banner = match_banner(read_, message_at, line.stripped_end);
            if (!banner)
                return;
        } else {
            groups = match_groups(message_at, line);
            if (groups.is_none())
                return;
        }

        nb::object start_line = nb::int_(index);
        nb::object execute_id = new_execute_id(start_line, index);
        Attributes &attributes = attributes_;
        attributes.clear();
        attributes.emplace_back(name.start_line, start_line);
        attributes.emplace_back(name.start_time, time_of(line));
        attributes.emplace_back(name.logfile, facts_.logfile);
        attributes.emplace_back(name.parent_id, facts_.parent_id);
        attributes.emplace_back(name.execute_id, execute_id);
        attributes.emplace_back(name.section_log_start, facts_.log_start_object);
        attributes.emplace_back(name.section_log_size, facts_.log_size_object);
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
            execute = new_execute(facts_.archive, attributes);
            // Until the result is handed out, only this scan can reach the
            // new executions, so the collector has nothing to find among
            // them; left in its young generations they would be traversed
            // again and again as the section's result grows.
            PyObject_GC_UnTrack(execute.ptr());
        } else {
            execute = call_execute(pieces_.execute_class, facts_.archive, attributes);
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
        open_ = OpenExecution{execute, execute_id, index, line.start, titled, ping};
    }

    void target(const RecordLine &line) {
        nb::object title;
        if (pieces_.stock_target) {
            if (line.blank())
                return;
            auto address = match_ping_target(read_, line.stripped_begin, line.stripped_end);
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

    void close(const RecordLine &line, int64_t index) {
        const Names &name = names();
        nb::handle execute = open_->execute;
        set_attr(execute, name.end_line, nb::int_(index));
        set_attr(execute, name.stop_time, time_of(line));
        size_t logs_bytes = 0;
        if (!open_->titled) {
            std::string storage;
            nb::object logs;
            if (whole_block(open_->start_line, index)) {
                std::string_view block = read_(open_->start_at, line.start, storage);
                logs = decode(block.data(), block_end(block));
            } else {
                bool read;
                {
                    nb::gil_scoped_release unlocked;
                    read = read_lines(walk_->file(), open_->start_at, size_t(BLOCK_LINES), line.start, storage);
                }
                if (!read)
                    throw std::system_error(errno, std::generic_category());
                storage += BLOCK_CUT;
                logs = decode(storage);
            }
            logs_bytes = sizeof(PyASCIIObject) + size_t(PyUnicode_GET_LENGTH(logs.ptr())) *
                                                      PyUnicode_KIND(logs.ptr());
            set_attr(execute, name.logs, logs);
        }
        if (PyDict_SetItem(result_.ptr(), open_->execute_id.ptr(), execute.ptr()) < 0)
            throw nb::python_error();
        result_bytes_ += BYTES_PER_EXECUTE + logs_bytes;
        open_.reset();
    }

    nb::dict result() const { return result_; }
    size_t result_bytes() const { return result_bytes_; }

    // Executions are left untracked by the collector while the scan builds
    // them; every way out of the scan, an error or Ctrl-C included, gives
    // them back to it.
    void track_executions_again() {
        Py_ssize_t at = 0;
        PyObject *key, *execute;
        while (PyDict_Next(result_.ptr(), &at, &key, &execute))
            if (!PyObject_GC_IsTracked(execute))
                PyObject_GC_Track(execute);
        if (open_ && !PyObject_GC_IsTracked(open_->execute.ptr()))
            PyObject_GC_Track(open_->execute.ptr());
    }

private:
    struct OpenExecution {
        nb::object execute;
        nb::object execute_id;
        int64_t start_line;
        int64_t start_at;  // byte position of the banner line
        bool titled;
        bool ping;
    };

    nb::object text(int64_t from, int64_t to) const {
        std::string storage;
        std::string_view view = read_(from, to, storage);
        return decode(view.data(), view.size());
    }

    // The text of [from, to), one object for equal short texts.
    nb::object shared_text(int64_t from, int64_t to) {
        std::string storage;
        return short_texts_(read_(from, to, storage));
    }

    // Neighbouring banners mostly share their time: one text object for a
    // run of equal ones.
    nb::object time_of(const RecordLine &line) {
        int64_t from, to;
        if (!line.time_range(from, to))
            return nb::none();
        std::string storage;
        std::string_view view = read_(from, to, storage);
        if (!last_time_.is_valid() || view != last_time_bytes_) {
            last_time_ = decode(view.data(), view.size());
            last_time_bytes_.assign(view);
        }
        return last_time_;
    }

    // The named groups of the banner pattern that matches the message, as a
    // dictionary in the patterns' order, or None.
    nb::object match_groups(int64_t message_at, const RecordLine &line) const {
        nb::object message = text(message_at, std::max(message_at, line.stripped_end));
        nb::object match = pieces_.pattern_config_ping.attr("match")(message);
        if (!truthy(match))
            match = pieces_.pattern_command.attr("match")(message);
        if (!truthy(match))
            return nb::none();
        return match.attr("groupdict")();
    }

    nb::object new_execute_id(nb::handle start_line, int64_t index) const {
        if (!ids_.ids.is_valid()) {
            unsigned char bytes[16];
            execute_id_bytes(ids_.key, index, bytes);
            return tavix::uuid4_text_of(bytes);
        }
        nb::object execute_id = nb::borrow(PyDict_GetItemWithError(ids_.ids.ptr(), start_line.ptr()));
        if (execute_id.is_valid())
            return execute_id;
        if (PyErr_Occurred())
            throw nb::python_error();
        execute_id = as_text(pieces_.uuid4());
        // The first of two threads scanning the section at once wins.
        PyObject *kept = PyDict_SetDefault(ids_.ids.ptr(), start_line.ptr(), execute_id.ptr());
        if (!kept)
            throw nb::python_error();
        return nb::borrow(kept);
    }

    const Pieces &pieces_;
    const SectionFacts &facts_;
    const IdSource &ids_;
    Walk<ObjectBuilder> *walk_ = nullptr;
    ByteReader read_;
    std::string last_time_bytes_;
    nb::object last_time_;
    ShortTexts short_texts_;
    Attributes attributes_;  // of the execution being opened, kept for its capacity
    nb::dict result_;
    size_t result_bytes_ = 0;
    std::optional<OpenExecution> open_;
};

// ---------------------------------------------------------------- the scan --

// The log of the section, opened as the scan reads it: inside an open
// archive's extraction directory, a regular file or a clear error.
std::string opened_log(const SectionFacts &facts, std::optional<lines::FileDescriptor> &file) {
    if (facts.log_start < 0) {
        PyErr_Format(PyExc_ValueError, "negative seek position %lld", (long long)facts.log_start);
        throw nb::python_error();
    }
    nb::object path = checked(PyOS_FSPath(facts.logfile.ptr()));
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &encoded))
        throw nb::python_error();
    nb::object path_bytes = nb::steal(encoded);
    std::string name(PyBytes_AS_STRING(path_bytes.ptr()), size_t(PyBytes_GET_SIZE(path_bytes.ptr())));
    // Log names come from the archive's own results: an open archive's logs
    // must lie inside its extraction directory.
    nb::object dir = nb::getattr(facts.archive, "dir", nb::none());
    if (!dir.is_none())
        ensure_inside(fs_path(dir), name.c_str());
    file.emplace(name.c_str());
    int error = !file->ok() ? file->error() : file->is_directory() ? EISDIR : 0;
    if (error) {
        errno = error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, facts.logfile.ptr());
        throw nb::python_error();
    }
    file->advise_sequential();
    return name;
}

[[noreturn]] void raise_read_error(const std::system_error &error, const SectionFacts &facts) {
    errno = error.code().value();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, facts.logfile.ptr());
    throw nb::python_error();
}

// The stretches' rows as one table: line numbers counted from the section's
// first line, texts pooled once.
void join_stretches(ExecutionTable &table, std::vector<Found> &found) {
    size_t total = 0;
    for (const Found &stretch : found)
        total += stretch.rows.size();
    if (found.empty())
        return;
    table.texts = std::move(found[0].texts);
    if (found.size() == 1 && found[0].rows.capacity() == total) {
        table.rows = std::move(found[0].rows);
        return;
    }
    table.rows.reserve(total);
    int64_t lines_before = 0;
    for (size_t k = 0; k < found.size(); ++k) {
        std::vector<uint32_t> ids(k == 0 ? 0 : found[k].texts.size());
        for (size_t id = 0; id < ids.size(); ++id)
            ids[id] = table.texts.add(found[k].texts[uint32_t(id)]);
        auto pooled = [&](uint32_t id) { return k == 0 || id == TextPool::NONE ? id : ids[id]; };
        for (ExecutionRow row : found[k].rows) {
            row.start_line += lines_before;
            row.end_line += lines_before;
            row.device = pooled(row.device);
            row.start_time = pooled(row.start_time);
            row.stop_time = pooled(row.stop_time);
            table.rows.push_back(row);
        }
        std::vector<ExecutionRow>().swap(found[k].rows);
        lines_before += found[k].lines;
    }
}


// The start of the first line that starts after `position` and before
// `limit`, or -1; looked for over a few blocks only (a section of one long
// line is walked in one stretch).
int64_t next_line_start(const lines::FileDescriptor &file, int64_t position, int64_t limit) {
    constexpr int64_t LOOK_AHEAD = int64_t(1) << 20;
    limit = std::min(limit, position + LOOK_AHEAD);
    LineRange ahead = LineRange::starting_in(position, limit);
    ahead.finish_last_line = false;
    LineReader reader(file, ahead, size_t(1) << 16);
    LinePiece piece;
    while (reader.next(piece))
        if (piece.text.back() == '\n' && piece.offset + int64_t(piece.text.size()) < limit)
            return piece.offset + int64_t(piece.text.size());
    if (reader.error())
        throw std::system_error(reader.error(), std::generic_category());
    return -1;
}

// The ranges of the stretches: whole lines, in order, covering `range`.
std::vector<LineRange> stretches_of(const lines::FileDescriptor &file, const LineRange &range) {
    int64_t end = std::min(range.end, file.size());
    int64_t span = end - range.begin;
    const Shared &state = shared();
    auto count = unsigned(std::min<int64_t>(state.scan_threads, span / int64_t(state.scan_stretch)));
    std::vector<LineRange> stretches{range};
    for (unsigned k = 1; k < count; ++k) {
        int64_t at = next_line_start(file, range.begin + span * k / count - 1, end);
        if (at <= stretches.back().begin)
            continue;
        stretches.back().end = at;
        stretches.back().finish_last_line = false;
        LineRange next = range;
        next.begin = at;
        stretches.push_back(next);
    }
    return stretches;
}

// Walks one stretch; a command still open at its end is followed into the
// rest of the section until the line that closes it.
void scan_stretch(const lines::FileDescriptor &file, const LineRange &stretch, const LineRange &whole,
                  const SectionFacts &facts, Found &found, Stopping &stopping, bool caller) {
    TableBuilder builder(found, facts, stopping, caller);
    {
        Walk<TableBuilder> walk(file, stretch, facts.host, facts.host_unmatchable, shared().scan_block);
        builder.attach(walk);
        walk.run(builder);
        found.lines = walk.lines_read();
    }
    if (builder.is_open() && stretch.end < whole.end) {
        LineRange rest = whole;
        rest.begin = stretch.end;
        rest.line = found.lines;
        Walk<TableBuilder> walk(file, rest, facts.host, facts.host_unmatchable, shared().scan_block);
        builder.attach(walk);
        walk.run(builder, true);
    }
}

nb::object scan_to_table(nb::handle section, const SectionFacts &facts) {
    IdSource ids(section, true);
    std::optional<lines::FileDescriptor> file;  // NOLINT
    auto table = std::make_unique<ExecutionTable>();
    table->path = opened_log(facts, file);
    table->remember_file(*file);
    std::memcpy(table->id_key, ids.key, sizeof ids.key);
    table->section = SectionAttributes{facts.archive, facts.logfile, facts.parent_id, facts.log_start_object,
                                       facts.log_size_object};
    LineRange whole = LineRange::size_hint(facts.log_start, facts.log_size);
    Stopping stopping;
    stopping.cancel = scan_cancel;
    std::vector<Found> found;
    std::vector<std::exception_ptr> failed;
    {
        nb::gil_scoped_release unlocked;
        std::vector<LineRange> stretches;
        try {
            stretches = stretches_of(*file, whole);
        } catch (...) {
            failed.push_back(std::current_exception());
        }
        found.resize(stretches.size());
        failed.resize(stretches.size() + failed.size());
        auto scan = [&](size_t k) {
            try {
                scan_stretch(*file, stretches[k], whole, facts, found[k], stopping, k == 0);
            } catch (...) {
                failed[k] = std::current_exception();
                stopping.stop = true;
            }
        };
        std::vector<std::thread> threads;
        for (size_t k = 1; k < stretches.size(); ++k)
            threads.emplace_back(scan, k);
        if (!stretches.empty())
            scan(0);
        for (std::thread &thread : threads)
            thread.join();
    }
    for (const std::exception_ptr &failure : failed) {
        if (!failure)
            continue;
        try {
            std::rethrow_exception(failure);
        } catch (const std::system_error &error) {
            raise_read_error(error, facts);
        } catch (const Stopped &) {
            throw nb::python_error();
        } catch (const Halted &) {
        }
    }
    for (const std::exception_ptr &failure : failed) {
        if (failure) {
            // Stopped by the cancel flag, seen first by another thread.
            if (keep_going())
                PyErr_SetString(PyExc_RuntimeError, "scan stopped: no request waits for it any more");
            throw nb::python_error();
        }
    }
    join_stretches(*table, found);
    return table_object(table.release());
}

nb::object scan_to_objects(nb::handle section, const SectionFacts &facts, const Pieces &pieces, size_t *bytes) {
    IdSource ids(section, pieces.stock_uuid);
    std::optional<lines::FileDescriptor> file;
    opened_log(facts, file);
    ObjectBuilder builder(pieces, facts, ids);
    struct TrackAgain {
        ObjectBuilder &builder;
        ~TrackAgain() { builder.track_executions_again(); }
    } track_again{builder};
    try {
        Walk<ObjectBuilder> walk(*file, LineRange::size_hint(facts.log_start, facts.log_size), facts.host,
                                 facts.host_unmatchable, shared().scan_block);
        builder.attach(walk);
        walk.run(builder);
    } catch (const Stopped &) {
        throw nb::python_error();
    } catch (const std::system_error &error) {
        raise_read_error(error, facts);
    }
    *bytes += builder.result_bytes() + sizeof(PyDictObject);
    return builder.result();
}

}  // namespace

nb::object scan_executions(nb::handle section, size_t *bytes) {
    Pieces pieces;
    SectionFacts facts(section);
    if (pieces.all_stock() && !facts.host_unusable)
        return scan_to_table(section, facts);
    return scan_to_objects(section, facts, pieces, bytes);
}

nb::object executions_unless_cancelled(nb::handle section, nb::handle cancel) {
    return executions_unless_cancelled(section, cancel_flag_of(cancel));
}

nb::object executions_unless_cancelled(nb::handle section, const CancelFlag &flag) {
    struct Watched {
        explicit Watched(const std::atomic<bool> *flag) : saved(scan_cancel) { scan_cancel = flag; }
        ~Watched() { scan_cancel = saved; }
        const std::atomic<bool> *saved;
    } watched(flag.get());
    if (stock_child_execute(section))
        return scanned_executions(section);
    return section.attr("child_execute");
}

}  // namespace tavix::parser_base
