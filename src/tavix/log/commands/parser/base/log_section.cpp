// LogSection: the view of one section or step record onto its task log.
#include "base.hpp"
#include "class_builder.hpp"
#include "execution_table.hpp"
#include "record_line.hpp"

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

// all_executions() and get_execution() of a section whose child_execute is
// the stock one read its table: the execution objects are made only for the
// commands asked for.
nb::list all_executions(nb::handle self) {
    if (stock_child_execute(self)) {
        nb::object scanned = scanned_executions(self);
        if (is_table(scanned))
            return table_of(scanned).json_list();
    }
    nb::list result;
    nb::object executions = self.attr("child_execute");
    for (nb::handle execute : executions.attr("values")())
        result.append(execute.attr("to_json")());
    return result;
}

nb::object get_execution(nb::handle self, nb::handle execution_uuid) {
    if (stock_child_execute(self)) {
        nb::object scanned = scanned_executions(self);
        if (is_table(scanned)) {
            ExecutionTable &table = table_of(scanned);
            std::optional<size_t> row = table.row_of(execution_uuid);
            return row ? table.execute(*row) : nb::none();
        }
    }
    return self.attr("child_execute").attr("get")(execution_uuid);
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
    return _PyType_Lookup(Py_TYPE(section.ptr()), name) == shared().child_execute.ptr();
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
    module.def("executions_unless_cancelled", &executions_unless_cancelled, "section"_a, "cancel"_a.none(),
               "The section's kept scan (an ExecutionTable, or a dictionary of executions when pieces "
               "of the scan were replaced) while its child_execute is the stock one, else its "
               "child_execute; a scan it starts in this thread stops with RuntimeError once `cancel`, "
               "a flag the viewer server makes, is set.");
}

}  // namespace tavix::parser_base
