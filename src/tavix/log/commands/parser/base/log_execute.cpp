// LogExecute: one device command found in a section's log.
#include "base.hpp"
#include "class_builder.hpp"

namespace tavix::parser_base {

namespace {

using namespace nb::literals;

void execute_init(nb::handle self, nb::handle archive, nb::kwargs kwargs) {
    nb::setattr(self, "archive", archive);
    for (auto [name, value] : kwargs)
        if (PyObject_SetAttr(self.ptr(), name.ptr(), value.ptr()) < 0)
            throw nb::python_error();
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
