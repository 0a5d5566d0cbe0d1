#include "execution_walk.hpp"

namespace tavix::parser_base::scan {

thread_local const std::atomic<bool> *scan_cancel = nullptr;

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

// A byte position or size; too large or not a whole number: the interpreter's error.
int64_t whole_number(nb::handle value) {
    long long number = PyLong_AsLongLong(value.ptr());
    if (number == -1 && PyErr_Occurred())
        throw nb::python_error();
    return number;
}

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

}  // namespace tavix::parser_base::scan
