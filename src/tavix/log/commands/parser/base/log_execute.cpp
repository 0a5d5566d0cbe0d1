// LogExecute: one device command found in a section's log.
#include "base.hpp"
#include "class_builder.hpp"

namespace tavix::parser_base {

namespace {

using namespace nb::literals;

void execute_init(nb::handle self, nb::handle archive, nb::kwargs kwargs) {
    set_attr(self, names().archive, archive);
    for (auto [name, value] : kwargs)
        set_attr(self, name.ptr(), value);
    self.attr("_format_type")();
}

// The banner's verbs, reduced to the kinds the browser shows.
void format_type(nb::handle self) {
    static nb::dict *kinds = [] {
        auto table = new nb::dict();
        (*table)["executing"] = "execute";
        (*table)["configure"] = "config";
        return table;
    }();
    nb::object kind;
    if (!find_attr(self, "execute_type", kind))
        return;
    PyObject *normal = PyDict_GetItemWithError(kinds->ptr(), kind.ptr());
    if (normal)
        nb::setattr(self, "execute_type", normal);
    else if (PyErr_Occurred())
        throw nb::python_error();
}

}  // namespace

const Names &names() {
    static const Names *interned = [] {
        auto name = [](const char *text) { return PyUnicode_InternFromString(text); };
        return new Names{name("archive"),          name("start_line"),      name("start_time"),
                         name("logfile"),          name("parent_id"),       name("execute_id"),
                         name("section_log_start"), name("section_log_size"), name("device"),
                         name("execute_type"),     name("title"),           name("end_line"),
                         name("stop_time"),        name("logs")};
    }();
    return *interned;
}

nb::object new_execute(nb::handle archive,
                       std::initializer_list<std::pair<PyObject *, nb::handle>> attributes) {
    auto type = reinterpret_cast<PyTypeObject *>(shared().log_execute.ptr());
    nb::object execute = checked(type->tp_new(type, nb::tuple().ptr(), nullptr));
    set_attr(execute, names().archive, archive);
    for (auto &[name, value] : attributes)
        if (name)
            set_attr(execute, name, value);
    format_type(execute);
    return execute;
}

namespace {

nb::dict to_json(nb::handle self) {
    static const char *const keys[] = {"execute_id", "title", "execute_type",
                                       "device",     "start_time", "logs"};
    nb::dict result;
    for (const char *key : keys) {
        nb::object value;
        if (find_attr(self, key, value))
            result[key] = value;
    }
    return result;
}

nb::object execute_read_logs(nb::handle self) {
    return self.attr("archive").attr("read_lines")(
        self.attr("logfile"), self.attr("start_line"), self.attr("end_line"),
        "log_start"_a = self.attr("section_log_start"),
        "log_size"_a = self.attr("section_log_size"));
}

}  // namespace

void define_log_execute(nb::module_ &module) {
    nb::handle object_type(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
    shared().log_execute =
        ClassBuilder(module, "LogExecute", {object_type})
            .doc("A device command run during a section: its device, kind, title, start "
                 "time and line range inside the section.")
            .method("__init__", &execute_init, nb::arg("archive").none(), nb::arg("kwargs"))
            .method("_format_type", &format_type)
            .method("to_json", &to_json)
            .method("read_logs", &execute_read_logs)
            .build();
}

}  // namespace tavix::parser_base
