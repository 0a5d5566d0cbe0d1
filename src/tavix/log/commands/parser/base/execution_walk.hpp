// The walk of the execution scan and what its builders share: the section's
// facts, the pieces in place, the execute ids' key, Ctrl-C and the viewer's
// cancel flag. The walk hands the lines that may matter to a builder: the
// table builder (no interpreter) or the object builder (the pieces as the
// interpreter would use them).
#pragma once

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

namespace tavix::parser_base::scan {

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
extern thread_local const std::atomic<bool> *scan_cancel;

// Thrown with a Python error pending, to be raised once the walk is left.
struct Stopped {};
// With the interpreter lock held: false, with the error set, once Ctrl-C was
// pressed or the viewer no longer waits for the scan.
bool keep_going();

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
int64_t whole_number(nb::handle value);

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
int64_t message_begin(const RecordLine &line, const ByteReader &read);

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
    IdSource(nb::handle section, bool stock_uuid);
    uint64_t key[2] = {0, 0};
    nb::object ids;
};

// The log of the section, opened as the scan reads it: inside an open
// archive's extraction directory, a regular file or a clear error.
std::string opened_log(const SectionFacts &facts, std::optional<lines::FileDescriptor> &file);

[[noreturn]] void raise_read_error(const std::system_error &error, const SectionFacts &facts);

// The ranges of the stretches a section is scanned in side by side: whole
// lines, in order, covering `range`.
std::vector<LineRange> stretches_of(const lines::FileDescriptor &file, const LineRange &range);

// The scan into a table, without the interpreter, the stock pieces in place.
nb::object scan_to_table(nb::handle section, const SectionFacts &facts);
// The scan into a dictionary of execution objects, whichever pieces are in
// place; adds to `bytes` an estimate of the memory the dictionary holds.
nb::object scan_to_objects(nb::handle section, const SectionFacts &facts, const Pieces &pieces, size_t *bytes);

}  // namespace tavix::parser_base::scan
