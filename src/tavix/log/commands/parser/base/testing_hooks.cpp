// Hooks for tests of the line reader and the record-line parser: they expose
// the pieces a LineReader hands out and the fields the parser finds, so that
// tests compare them with literal implementations on random input.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <cancel_flag.hpp>

#include "base.hpp"
#include "execution_table.hpp"
#include "line_reader.hpp"
#include "path_guard.hpp"
#include "record_line.hpp"

namespace tavix::parser_base {

namespace {

// Every piece of the lines of a range: (offset, line_start, line, first, last,
// bytes); with a needle, only those of the lines the reader skips to.
nb::list read_pieces(nb::handle logfile, int64_t begin, int64_t end, bool finish_last_line,
                     int64_t line_start, size_t block, std::optional<std::string> needle) {
    std::string path = fs_path(logfile);
    lines::FileDescriptor file(path.c_str());
    if (!file.ok()) {
        errno = file.error();
        raise_errno(path);
    }
    lines::LineRange range;
    range.begin = begin;
    range.end = end < 0 ? lines::TO_FILE_END : end;
    range.finish_last_line = finish_last_line;
    range.line_start = line_start;
    lines::LineReader reader(file, range, block);
    nb::list pieces;
    lines::LinePiece piece;
    bool skip = needle.has_value();
    while ((!skip || reader.skip_to(*needle)) && reader.next(piece)) {
        skip = needle && piece.last;
        pieces.append(nb::make_tuple(piece.offset, piece.line_start, piece.line, piece.first, piece.last,
                                     nb::bytes(piece.text.data(), piece.text.size())));
    }
    if (reader.error()) {
        errno = reader.error();
        raise_errno(path);
    }
    return pieces;
}

// The fields of one line fed in pieces of `piece` bytes (0: whole).
nb::dict parse_record_line(nb::bytes line, nb::bytes host, size_t piece, bool fields_only,
                           int host_up_to_severity) {
    std::string_view text(line.c_str(), line.size()), wanted(host.c_str(), host.size());
    record_line::RecordLine info;
    record_line::Parser parser(wanted, fields_only ? record_line::Gather::fields : record_line::Gather::everything,
                              int(host_up_to_severity));
    parser.begin(info, 0);
    size_t at = 0;
    do {
        size_t n = piece ? std::min(piece, text.size() - at) : text.size() - at;
        // Pieces never split a character, as the readers cut them (their
        // blocks hold four bytes at least).
        if (at + n < text.size()) {
            n = std::max(n, std::min<size_t>(4, text.size() - at));
            if (size_t whole = lines::whole_characters(text.data() + at, n))
                n = whole;
        }
        parser.feed(text.substr(at, n), int64_t(at), at + n < text.size());
        at += n;
    } while (at < text.size());
    parser.finish();
    nb::dict answer;
    if (!fields_only)
        answer["record"] = info.has_record_prefix(wanted.size());
    // With only the fields gathered, the host is looked for in lines with fields.
    if (!fields_only || (info.has_fields() && info.severity <= host_up_to_severity))
        answer["mentions_host"] = info.mentions_host(wanted.size());
    answer["severity"] = info.has_fields() ? nb::object(nb::int_(info.severity)) : nb::none();
    if (info.has_fields()) {
        answer["fields"] = nb::make_tuple(nb::bytes(info.field(0).data(), info.field(0).size()),
                                          nb::bytes(info.field(1).data(), info.field(1).size()),
                                          nb::bytes(info.field(2).data(), info.field(2).size()),
                                          nb::bytes(info.field(3).data(), info.field(3).size()));
        answer["message_start"] = info.message_start();
    }
    return answer;
}

}  // namespace

void define_testing_hooks(nb::module_ &module) {
    module.def(
        "_utf8_sequence",
        [](nb::bytes data) {
            auto bytes = reinterpret_cast<const unsigned char *>(data.c_str());
            bool whole = false;
            size_t length = data.size() ? lines::utf8_sequence(bytes, data.size(), whole) : 0;
            return nb::make_tuple(length, data.size() && whole, lines::whole_characters(data.c_str(), data.size()),
                                  lines::character_boundary(data.c_str(), data.size(), data.size() / 2));
        },
        nb::arg("data"),
        "Test hook: (bytes of the first character as the decoder takes them, whether they are well formed, "
        "the end of the last whole character, a cut at the middle moved past the character it splits).");
    module.def(
        "_command_paths",
        [] {
            const CommandPaths &paths = command_paths();
            nb::dict counts;
            counts["table"] = paths.table;
            counts["objects"] = paths.objects;
            counts["override"] = paths.override;
            counts["judged"] = paths.judged;
            return counts;
        },
        "Test hook: how often the section commands were answered from a table, from execution objects and "
        "from a section's replaced methods, and how many executions were judged by their JSON forms.");
    module.def("_read_line_pieces", &read_pieces, nb::arg("logfile"), nb::arg("begin"), nb::arg("end"),
               nb::arg("finish_last_line"), nb::arg("line_start"), nb::arg("block"),
               nb::arg("needle").none() = nb::none(),
               "Test hook: the pieces the line reader hands out for a range, as (offset, line start, "
               "line number, first, last, bytes).");
    module.def("_parse_record_line", &parse_record_line, nb::arg("line"), nb::arg("host"), nb::arg("piece") = 0,
               nb::arg("fields_only") = false, nb::arg("host_up_to_severity") = 1000,
               "Test hook: what the record-line parser finds in `line`, fed in pieces of `piece` bytes "
               "(gathering only the fields, and the host of lines of `host_up_to_severity` or "
               "lower, with `fields_only`).");
    module.def("_cancel_flag_for_tests", [] {
        CancelFlag flag = std::make_shared<std::atomic<bool>>(false);
        nb::object set = nb::cpp_function([flag] { flag->store(true, std::memory_order_relaxed); });
        return nb::make_tuple(cancel_capsule(flag), set);
    }, "Test hook: (capsule, set): a cancel flag as the viewer server makes them, and its setter.");
    module.def("_set_scan_stretches", [](size_t stretch, unsigned threads) {
        Shared &state = shared();
        auto previous = nb::make_tuple(state.scan_stretch, state.scan_threads);
        state.scan_stretch = stretch ? stretch : size_t(32) << 20;
        state.scan_threads = threads ? threads : Shared::default_scan_threads();
        return previous;
    }, nb::arg("stretch"), nb::arg("threads"),
       "Test hook: scans split sections into stretches of `stretch` bytes, at most `threads` of "
       "them (0, 0: the defaults); returns the previous setting.");
    module.def("_last_scan_bytes_read", [] { return shared().last_scan_bytes_read.load(); },
               "Test hook: the bytes of the log the latest execution scan to end had read.");
    module.def("_force_scalar_newlines", [](bool scalar) {
        bool previous = lines::force_scalar_newlines;
        lines::force_scalar_newlines = scalar;
        return previous;
    }, nb::arg("scalar"), "Test hook: makes the newline finder take its scalar branch; returns the previous setting.");
}

}  // namespace tavix::parser_base
