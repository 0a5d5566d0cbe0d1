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

namespace tavix::failures {

Cause find_cause(const log_lines::LogFile &file, int64_t begin, int64_t end, std::string_view host,
                 size_t block) {
    Cause cause;
    record_line::RangeLines lines(file, begin, end, block);
    std::string_view line;
    int64_t offset;
    record_line::RecordFields fields;
    while (lines.next(line, offset)) {
        if (!record_line::read_fields(line, fields) || fields.severity > 4 ||
            !record_line::mentions_host(line, host))
            continue;
        cause.found = true;
        cause.severity = fields.severity;
        cause.offset = offset;
        cause.message.assign(fields.message);
        if (fields.severity <= 3)
            break;
    }
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
    log_lines::LogFile file(path.c_str());
    try {
        if (!file.ok())
            throw std::system_error(errno, std::generic_category());
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
