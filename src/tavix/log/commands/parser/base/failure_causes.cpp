// Cause lines of failures: one pass over a byte range of a task log, stopping
// at the first error.
#include <nanobind/nanobind.h>

#include <cerrno>
#include <limits>
#include <system_error>

#include "base.hpp"
#include "failures.hpp"
#include "path_guard.hpp"
#include "record_line.hpp"

#include <algorithm>

namespace tavix::failures {

Cause find_cause(const lines::FileDescriptor &file, int64_t begin, int64_t end, std::string_view host,
                 size_t block) {
    Cause cause;
    auto judge = [&](const record_line::RecordLine &line, std::string_view head) {
        if (!line.has_fields() || line.severity > 4 || !line.mentions_host(host.size()))
            return true;
        cause.found = true;
        cause.severity = line.severity;
        cause.offset = line.start;
        // The message as far as the line's kept head holds it.
        int64_t from = line.message_start() - line.start, to = line.stripped_end - line.start;
        to = std::min<int64_t>(to, int64_t(head.size()));
        cause.message.assign(from < to ? head.substr(size_t(from), size_t(to - from)) : std::string_view());
        return line.severity > 3;
    };
    record_line::RecordLineSink sink(host, 4, MESSAGE_KEPT, judge);
    lines::LineReader reader(file, lines::LineRange::starting_in(begin, end), block);
    reader.feed(sink);
    if (reader.error())
        throw std::system_error(reader.error(), std::generic_category());
    return cause;
}

}  // namespace tavix::failures

namespace tavix::parser_base {

namespace {

// (start, size) as the results give them; a size of 0 or less runs to the
// end of the file.
std::pair<int64_t, int64_t> byte_range(nb::handle start, nb::handle size) {
    long long from = PyLong_AsLongLong(nb::int_(start).ptr());
    if (from == -1 && PyErr_Occurred())
        throw nb::python_error();
    long long length = PyLong_AsLongLong(nb::int_(size).ptr());
    if (length == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (from < 0) {
        PyErr_Format(PyExc_ValueError, "negative log position %lld", from);
        throw nb::python_error();
    }
    int64_t limit = std::numeric_limits<int64_t>::max();
    return {from, length > 0 && length < limit - from ? from + length : limit};
}

nb::list failure_causes(nb::handle logfile, nb::handle host, nb::handle ranges) {
    std::string path = fs_path(logfile);
    std::string host_text = utf8_text(host);
    std::vector<std::pair<int64_t, int64_t>> wanted;
    for (nb::handle range : ranges) {
        nb::object pair = nb::steal(PySequence_Tuple(range.ptr()));
        if (!pair.is_valid())
            throw nb::python_error();
        if (nb::len(pair) != 2)
            throw nb::value_error("a range is (start, size)");
        wanted.push_back(byte_range(pair[0], pair[1]));
    }
    nb::list answer;
    lines::FileDescriptor file(path.c_str());
    try {
        if (!file.ok())
            throw std::system_error(file.error(), std::generic_category());
        if (file.is_directory())
            throw std::system_error(EISDIR, std::generic_category());
        for (auto [begin, end] : wanted) {
            failures::Cause cause;
            {
                nb::gil_scoped_release unlocked;
                cause = failures::find_cause(file, begin, end, host_text, shared().scan_block);
            }
            if (!cause.found)
                answer.append(nb::none());
            else
                answer.append(nb::make_tuple(cause.offset, cause.severity, decode(cause.message)));
        }
    } catch (std::system_error &error) {
        errno = error.code().value();
        raise_errno(path);
    }
    return answer;
}

}  // namespace

void define_failure_causes(nb::module_ &module) {
    module.def("failure_causes", &failure_causes, nb::arg("logfile"), nb::arg("host").none(),
               nb::arg("ranges"),
               "The cause line of each (start, size) byte range of a task log: the first "
               "record line of the host (any host when None) with a severity of 3 or less, else "
               "the last one of severity 4. Each is (offset of the line in the file, "
               "severity, message after the tags field), or None when there is none.");
}

}  // namespace tavix::parser_base
