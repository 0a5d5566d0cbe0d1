// LogSection: the view of one section or step record onto its task log.
#include "base.hpp"
#include "class_builder.hpp"
#include "execution_table.hpp"
#include "record_line.hpp"
#include "section_commands.hpp"
#include "stock_check.hpp"

namespace tavix::parser_base {

namespace {

using namespace nb::literals;

// os.path.join(directory, name) as a string. Every section of a task names the
// same log file, so the last result is reused: a large index then holds one
// path string per task log rather than one per section.
nb::object join_logfile(nb::handle directory, nb::handle name) {
    struct Last {
        nb::object directory, name, path;
    };
    static Last *last = new Last();
    nb::object text = shared().os_fspath(directory);
    if (!PyUnicode_CheckExact(text.ptr()) || !PyUnicode_CheckExact(name.ptr()))
        return nb::str(shared().os_path_join(directory, name));
    if (last->path.is_valid() && PyUnicode_Compare(text.ptr(), last->directory.ptr()) == 0 &&
        PyUnicode_Compare(name.ptr(), last->name.ptr()) == 0)
        return last->path;
    nb::object path;
    Py_ssize_t length = PyUnicode_GetLength(text.ptr());
    if (PyUnicode_Tailmatch(name.ptr(), nb::str("/").ptr(), 0, 1, -1) == 1 || length == 0)
        path = nb::borrow(name);
    else if (PyUnicode_Tailmatch(text.ptr(), nb::str("/").ptr(), 0, length, 1) == 1)
        path = checked(PyUnicode_Concat(text.ptr(), name.ptr()));
    else
        path = checked(PyUnicode_Concat(
            checked(PyUnicode_Concat(text.ptr(), nb::str("/").ptr())).ptr(), name.ptr()));
    last->directory = text;
    last->name = nb::borrow(name);
    last->path = path;
    return path;
}

void section_init(nb::handle self, nb::handle archive, nb::handle section, nb::handle host) {
    nb::setattr(self, "data", section);
    nb::setattr(self, "archive", archive);
    nb::setattr(self, "log_start", checked(PyNumber_Long(get_item(section, "log_start").ptr())));
    nb::setattr(self, "log_size", checked(PyNumber_Long(get_item(section, "log_size").ptr())));
    nb::setattr(self, "logfile", join_logfile(archive.attr("dir"), get_item(section, "log_file")));
    nb::setattr(self, "host", host);
}

// The UTF-8 bytes of an exact str, or nothing: other objects (and text with
// lone surrogates) are split by their own methods, as the rules are written.
std::optional<std::string_view> plain_text(nb::handle text) {
    return PyUnicode_CheckExact(text.ptr()) ? utf8_view(text) : std::nullopt;
}

// The line is taken as given (callers hand over stripped lines), so its
// fields are the pieces between its ": " separators.
record_line::RecordLine parsed(std::string_view line, std::string_view host) {
    return record_line::parse(line, host, 0, record_line::Ends::kept);
}

// The host occurs in the line, and the line has more than four fields.
bool has_line_prefix(nb::handle self, nb::handle line) {
    nb::object host = self.attr("host");
    std::optional<std::string_view> text = plain_text(line), name;
    if (text)
        name = plain_text(host);
    if (name)
        return parsed(*text, *name).has_record_prefix(name->size());
    int found = PySequence_Contains(line.ptr(), host.ptr());
    if (found < 0)
        throw nb::python_error();
    if (!found)
        return false;
    return nb::len(line.attr("split")(": ")) > 4;
}

// The time stamp's text between its first "T" and the next, or None.
nb::object get_time(nb::handle self, nb::handle line) {
    if (std::optional<std::string_view> text = plain_text(line)) {
        int64_t from = 0, to = 0;
        if (!parsed(*text, "").time_range(from, to))
            return nb::none();
        return checked(PyUnicode_DecodeUTF8(text->data() + from, Py_ssize_t(to - from), nullptr));
    }
    try {
        nb::object stamp = line.attr("split")(": ")[2];
        return stamp.attr("split")("T")[1];
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception))
            throw;
        return nb::none();
    }
}

// all_executions() and get_execution() read the section's commands however
// they are held: the execution objects are made only for the commands asked
// for while the table holds them.
nb::list all_executions(nb::handle self) {
    return nb::borrow<nb::list>(SectionCommands::stock_pieces(self).whole(CancelFlag()));
}

nb::object get_execution(nb::handle self, nb::handle execution_uuid) {
    return SectionCommands::stock_pieces(self).find(execution_uuid);
}

nb::object section_read_logs(nb::handle self, nb::handle offset, nb::handle limit) {
    nb::object size = self.attr("log_size");
    int open_ended = PyObject_RichCompareBool(size.ptr(), nb::int_(0).ptr(), Py_LE);
    if (open_ended < 0)
        throw nb::python_error();
    if (open_ended)
        nb::setattr(self, "log_size", shared().os_stat(self.attr("logfile")).attr("st_size"));
    return self.attr("archive").attr("read_bytes")(self.attr("logfile"), self.attr("log_start"),
                                                   self.attr("log_size"), "offset"_a = offset,
                                                   "limit"_a = limit);
}

nb::object section_hash(nb::handle self) { return checked(PyLong_FromVoidPtr(self.ptr())); }

}  // namespace

bool stock_child_execute(nb::handle section) {
    static PyObject *name = PyUnicode_InternFromString("child_execute");
    return stock::class_uses_stock(Py_TYPE(section.ptr()), name, shared().child_execute.ptr());
}

void define_log_section(nb::module_ &module) {
    nb::object user_dict = nb::module_::import_("collections").attr("UserDict");
    // One process-wide table of scan results: 128 sections within a budget
    // in bytes, least recently used dropped first; it holds each section it keeps.
    nb::object cached_scan = shared().scan_cache = define_scan_cache(module);
    nb::object child_execute = shared().child_execute = nb::module_::import_("builtins").attr("property")(
        cached_scan, nb::none(), nb::none(),
        "Executions of device commands in the section, by execute_id.");
    shared().log_section =
        ClassBuilder(module, "LogSection", {user_dict})
            .doc("A section or step record (shared, not copied) with its byte range of the "
                 "task log.")
            .method("__init__", &section_init, "archive"_a.none(), "section"_a.none(), "host"_a.none())
            .method("_has_line_prefix", &has_line_prefix, "line"_a.none())
            .method("_get_time", &get_time, "line"_a.none())
            .attr("child_execute", child_execute)
            .method("all_executions", &all_executions)
            .method("get_execution", &get_execution, "execution_uuid"_a.none())
            .method("read_logs", &section_read_logs, "offset"_a.none() = 0, "limit"_a.none() = 0)
            .method("__hash__", &section_hash)
            .build();
    nb::handle methods = reinterpret_cast<PyTypeObject *>(shared().log_section.ptr())->tp_dict;
    shared().stock_all_executions = nb::borrow(PyDict_GetItemString(methods.ptr(), "all_executions"));
    shared().stock_get_execution = nb::borrow(PyDict_GetItemString(methods.ptr(), "get_execution"));
    module.attr("scan_cache") = cached_scan;
    module.def("executions_unless_cancelled",
               static_cast<nb::object (*)(nb::handle, nb::handle)>(&executions_unless_cancelled), "section"_a, "cancel"_a.none(),
               "The section's kept scan (an ExecutionTable, or a dictionary of executions when pieces "
               "of the scan were replaced) while its child_execute is the stock one, else its "
               "child_execute; a scan it starts in this thread stops with RuntimeError once `cancel`, "
               "a flag the viewer server makes, is set.");
}

}  // namespace tavix::parser_base
