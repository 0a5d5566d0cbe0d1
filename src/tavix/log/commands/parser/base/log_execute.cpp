// LogExecute: one device command found in a section's log.
#include "base.hpp"
#include "class_builder.hpp"
#include "stock_check.hpp"

#include <structmember.h>

#include <stdexcept>
#include <vector>

namespace tavix::parser_base {

namespace {

using namespace nb::literals;

void execute_init(nb::handle self, nb::handle archive, nb::kwargs kwargs) {
    set_attr(self, names().archive, archive);
    for (auto [name, value] : kwargs)
        set_attr(self, name.ptr(), value);
    self.attr("_format_type")();
}

// The banner's verbs, reduced to the kinds the browser shows: the kind for
// `verb`, or null when it stays as it is.
PyObject *normalised_kind(nb::handle verb) {
    static nb::dict *kinds = [] {
        auto table = new nb::dict();
        (*table)["executing"] = "execute";
        (*table)["configure"] = "config";
        return table;
    }();
    PyObject *normal = PyDict_GetItemWithError(kinds->ptr(), verb.ptr());
    if (!normal && PyErr_Occurred())
        throw nb::python_error();
    return normal;
}

void format_type(nb::handle self) {
    nb::object kind;
    if (!find_attr(self, "execute_type", kind))
        return;
    if (PyObject *normal = normalised_kind(kind))
        set_attr(self, names().execute_type, normal);
}

}  // namespace

const Names &names() {
    static const Names *interned = [] {
        auto name = [](const char *text) { return PyUnicode_InternFromString(text); };
        return new Names{name("archive"),          name("start_line"),      name("start_time"),
                         name("logfile"),          name("parent_id"),       name("execute_id"),
                         name("section_log_start"), name("section_log_size"), name("device"),
                         name("execute_type"),     name("title"),           name("end_line"),
                         name("stop_time"),        name("logs"),            name("to_json")};
    }();
    return *interned;
}

static PyObject *empty_tuple() {
    static PyObject *empty = PyTuple_New(0);
    return empty;
}

bool is_stock_execute_class(nb::handle execute_class) {
    Shared &state = shared();
    if (!execute_class.is(state.log_execute))
        return false;
    static stock::ClassVerdict verdict;
    auto type = reinterpret_cast<PyTypeObject *>(execute_class.ptr());
    return verdict.of(type, [&] {
        static PyObject *init = PyUnicode_InternFromString("__init__"),
                        *format = PyUnicode_InternFromString("_format_type");
        return stock::class_uses_stock(type, init, state.execute_init.ptr()) &&
               stock::class_uses_stock(type, format, state.execute_format_type.ptr()) &&
               type->tp_setattro == PyObject_GenericSetAttr;
    });
}

bool stock_to_json() {
    static stock::ClassVerdict verdict;
    auto type = reinterpret_cast<PyTypeObject *>(shared().log_execute.ptr());
    return verdict.of(type, [&] {
        return stock::class_uses_stock(type, names().to_json, shared().execute_to_json.ptr());
    });
}

namespace {

// Where the class's slots lie in an instance, and the descriptors that give
// them: the attributes every execution has are stored there directly while
// those descriptors are in place.
struct SlotLayout {
    std::vector<std::pair<PyObject *, nb::object>> descriptors;  // name (interned), descriptor
    std::vector<Py_ssize_t> offsets;
};

SlotLayout &slot_layout() {
    static SlotLayout *layout = new SlotLayout();
    return *layout;
}

// The offset of the slot `name` in an instance, or -1.
Py_ssize_t slot_offset(PyObject *name) {
    const SlotLayout &layout = slot_layout();
    for (size_t i = 0; i < layout.descriptors.size(); ++i)
        if (layout.descriptors[i].first == name)
            return layout.offsets[i];
    return -1;
}

// Whether every slot's descriptor is still the class's own (nobody replaced
// one with a property of their own).
bool slots_intact() {
    static stock::ClassVerdict verdict;
    auto type = reinterpret_cast<PyTypeObject *>(shared().log_execute.ptr());
    return verdict.of(type, [&] {
        for (auto &[name, descriptor] : slot_layout().descriptors)
            if (!stock::class_uses_stock(type, name, descriptor.ptr()))
                return false;
        return true;
    });
}

void store(nb::handle execute, PyObject *name, nb::handle value, bool direct) {
    Py_ssize_t offset = direct ? slot_offset(name) : -1;
    if (offset < 0) {
        set_attr(execute, name, value);
        return;
    }
    auto slot = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(execute.ptr()) + offset);
    PyObject *old = *slot;
    *slot = nb::handle(value).inc_ref().ptr();
    Py_XDECREF(old);
}

}  // namespace

nb::object new_execute(nb::handle archive, const Attributes &attributes) {
    auto type = reinterpret_cast<PyTypeObject *>(shared().log_execute.ptr());
    nb::object execute = checked(type->tp_new(type, empty_tuple(), nullptr));
    bool direct = slots_intact();
    store(execute, names().archive, archive, direct);
    // What _format_type would then do, done as the kind is set.
    nb::handle kind;
    for (auto &[name, value] : attributes) {
        // Names not interned (a replaced pattern's groups) take the general way.
        store(execute, name.ptr(), value, direct && PyUnicode_CHECK_INTERNED(name.ptr()));
        if (name.is(names().execute_type) || PyUnicode_Compare(name.ptr(), names().execute_type) == 0)
            kind = value;
    }
    if (kind.is_valid())
        if (PyObject *normal = normalised_kind(kind))
            store(execute, names().execute_type, normal, direct);
    return execute;
}

nb::object call_execute(nb::handle execute_class, nb::handle archive, const Attributes &attributes) {
    nb::dict keywords;
    for (auto &[name, value] : attributes)
        if (PyDict_SetItem(keywords.ptr(), name.ptr(), value.ptr()) < 0)
            throw nb::python_error();
    return checked(PyObject_Call(execute_class.ptr(), nb::make_tuple(archive).ptr(), keywords.ptr()));
}

nb::handle banner_verb(int kind) {
    static PyObject *const *verbs = [] {
        static PyObject *interned[] = {
            PyUnicode_InternFromString("executing"), PyUnicode_InternFromString("execute"),
            PyUnicode_InternFromString("configure"), PyUnicode_InternFromString("config"),
            PyUnicode_InternFromString("ping")};
        return interned;
    }();
    return verbs[kind];
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
    const Names &name = names();
    PyObject *slot_names[] = {name.archive,           name.start_line,        name.start_time, name.logfile,
                              name.parent_id,         name.execute_id,        name.section_log_start,
                              name.section_log_size,  name.device,            name.execute_type,
                              name.title,             name.end_line,          name.stop_time,
                              name.logs};
    // The attributes of every execution live in slots (one allocation, no
    // per-object key table, stored without a look-up by the scan); any other
    // keyword argument goes to the instance's dictionary as before.
    nb::list slots;
    for (PyObject *slot : slot_names)
        slots.append(nb::handle(slot));
    slots.append(nb::str("__dict__"));
    slots.append(nb::str("__weakref__"));
    shared().log_execute =
        ClassBuilder(module, "LogExecute", {object_type})
            .attr("__slots__", nb::tuple(slots))
            .doc("A device command run during a section: its device, kind, title, start "
                 "time and line range inside the section.")
            .method("__init__", &execute_init, nb::arg("archive").none(), nb::arg("kwargs"))
            .method("_format_type", &format_type)
            .method("to_json", &to_json)
            .method("read_logs", &execute_read_logs)
            .build();
    nb::handle methods = reinterpret_cast<PyTypeObject *>(shared().log_execute.ptr())->tp_dict;
    shared().execute_init = nb::borrow(PyDict_GetItemString(methods.ptr(), "__init__"));
    shared().execute_format_type = nb::borrow(PyDict_GetItemString(methods.ptr(), "_format_type"));
    shared().execute_to_json = nb::borrow(PyDict_GetItemString(methods.ptr(), "to_json"));
    SlotLayout &layout = slot_layout();
    for (PyObject *slot : slot_names) {
        PyObject *descriptor = PyDict_GetItemWithError(methods.ptr(), slot);
        if (!descriptor || Py_TYPE(descriptor) != &PyMemberDescr_Type)
            throw std::runtime_error("LogExecute: a slot has no member descriptor");
        layout.descriptors.emplace_back(slot, nb::borrow(descriptor));
        layout.offsets.push_back(reinterpret_cast<PyMemberDescrObject *>(descriptor)->d_member->offset);
    }
}

}  // namespace tavix::parser_base
