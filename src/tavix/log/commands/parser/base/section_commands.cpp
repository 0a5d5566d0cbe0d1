#include "section_commands.hpp"

#include <nanobind/stl/optional.h>

#include <algorithm>

#include "command_filter.hpp"
#include "execution_table.hpp"
#include "lock_offer.hpp"
#include "stock_check.hpp"

namespace tavix::parser_base {

namespace {

using namespace nb::literals;

// Items judged or made JSON between looks at the cancel flag.
constexpr size_t BATCH = 1024;

// After each item: lets other threads (the viewer's event loop) have the
// lock now and then; raises once the request went away.
void between_items(LockOffer &offer, size_t done, const CancelFlag &cancel) {
    offer();
    if (done % BATCH == 0 && cancelled(cancel))
        raise_stopped();
}

bool is_section(nb::handle section) {
    int found = PyObject_IsInstance(section.ptr(), shared().log_section.ptr());
    if (found < 0)
        throw nb::python_error();
    return found;
}

bool stock_method(nb::handle section, PyObject *name, const nb::object &stock) {
    return stock::uses_stock(section.ptr(), name, stock.ptr());
}

// The page of `items` (execution objects, or JSON forms of a replaced
// all_executions()) that the filters keep, each judged by its JSON form.
nb::tuple objects_page(nb::handle items, size_t offset, size_t limit, nb::handle device, nb::handle text,
                       const CancelFlag &cancel) {
    CommandFilter filter(device, text);
    nb::object all = nb::steal(PySequence_List(items.ptr()));
    if (!all.is_valid())
        throw nb::python_error();
    nb::list matches;
    if (filter.empty()) {
        matches = nb::borrow<nb::list>(all);
    } else {
        Py_ssize_t count = PyList_GET_SIZE(all.ptr());
        LockOffer offer;
        for (Py_ssize_t i = 0; i < count; ++i) {
            between_items(offer, size_t(i) + 1, cancel);
            nb::handle item = PyList_GET_ITEM(all.ptr(), i);
            if (filter.matches(item) && PyList_Append(matches.ptr(), item.ptr()) < 0)
                throw nb::python_error();
        }
        command_paths().judged += size_t(count);
    }
    size_t total = size_t(PyList_GET_SIZE(matches.ptr())), spent = 0;
    nb::list page;
    for (size_t i = offset; i < total && i - offset < limit; ++i) {
        nb::handle item = PyList_GET_ITEM(matches.ptr(), Py_ssize_t(i));
        nb::object json = PyDict_Check(item.ptr()) ? nb::borrow(item) : nb::object(item.attr("to_json")());
        if (PyList_Append(page.ptr(), json.ptr()) < 0)
            throw nb::python_error();
        if ((spent += json_bytes(json)) >= PAGE_BUDGET.bytes)
            break;
    }
    return nb::make_tuple(total, page);
}

struct MethodNames {
    PyObject *all_executions, *get_execution;
};

const MethodNames &method_names() {
    static const MethodNames *interned = new MethodNames{PyUnicode_InternFromString("all_executions"),
                                                         PyUnicode_InternFromString("get_execution")};
    return *interned;
}

}  // namespace

SectionCommands::SectionCommands(nb::handle section, nb::object scanned)
    : section_(nb::borrow(section)), scanned_(std::move(scanned)) {
    bool section_view = is_section(section);
    const MethodNames &name = method_names();
    own_list_ = !section_view || !stock_method(section, name.all_executions, shared().stock_all_executions);
    own_find_ = !section_view || !stock_method(section, name.get_execution, shared().stock_get_execution);
}

SectionCommands::SectionCommands(nb::handle section, const CancelFlag &cancel)
    : SectionCommands(section, is_section(section) ? executions_unless_cancelled(section, cancel) : nb::none()) {}

std::optional<SectionCommands> SectionCommands::kept(nb::handle section) {
    if (!is_section(section))
        return SectionCommands(section, nb::none());
    if (!stock_child_execute(section))
        return std::nullopt;
    nb::object found = shared().scan_cache.attr("peek")(section);
    if (found.is_none())
        return std::nullopt;
    return SectionCommands(section, found);
}

SectionCommands SectionCommands::stock_pieces(nb::handle section) {
    SectionCommands commands(section, CancelFlag());
    commands.own_list_ = commands.own_find_ = false;
    return commands;
}

nb::object SectionCommands::mapping() const {
    if (!is_table(scanned_))
        return scanned_;
    return table_of(scanned_).whole();
}

nb::tuple SectionCommands::page(size_t offset, size_t limit, nb::handle device, nb::handle text,
                                const CancelFlag &cancel) {
    if (own_list_) {
        ++command_paths().override;
        return objects_page(section_.attr("all_executions")(), offset, limit, device, text, cancel);
    }
    nb::object executions = mapping();
    if (!executions.is_valid())
        return table_of(scanned_).page(offset, limit, device, text, cancel);
    ++command_paths().objects;
    return objects_page(executions.attr("values")(), offset, limit, device, text, cancel);
}

nb::object SectionCommands::whole(const CancelFlag &cancel) {
    if (own_list_) {
        ++command_paths().override;
        return section_.attr("all_executions")();
    }
    nb::object executions = mapping();
    if (!executions.is_valid()) {
        ++command_paths().table;
        return table_of(scanned_).json_list(nullptr, 0, SIZE_MAX, PageBudget(), &cancel);
    }
    ++command_paths().objects;
    nb::list all;
    size_t done = 0;
    LockOffer offer;
    for (nb::handle execute : executions.attr("values")()) {
        between_items(offer, ++done, cancel);
        nb::object json = execute.attr("to_json")();
        if (PyList_Append(all.ptr(), json.ptr()) < 0)
            throw nb::python_error();
    }
    return all;
}

nb::object SectionCommands::find(nb::handle execute_id) {
    if (own_find_) {
        ++command_paths().override;
        return section_.attr("get_execution")(execute_id);
    }
    nb::object executions = mapping();
    if (!executions.is_valid()) {
        ++command_paths().table;
        ExecutionTable &table = table_of(scanned_);
        std::optional<size_t> row = table.row_of(execute_id);
        return row ? table.execute(*row) : nb::none();
    }
    ++command_paths().objects;
    return executions.attr("get")(execute_id);
}

nb::object SectionCommands::log_range(nb::handle execute_id) {
    if (own_find_ || mapping().is_valid())
        return nb::none();
    ExecutionTable &table = table_of(scanned_);
    std::optional<size_t> row = table.row_of(execute_id);
    if (!row)
        return nb::none();
    const ExecutionRow &block = table.rows[*row];
    // An execution handed out may have been moved since: then its own lines count.
    nb::object execute = table.execute(*row);
    nb::object start, end;
    if (!find_attr(execute, "start_line", start) || !find_attr(execute, "end_line", end) ||
        !start.equal(nb::int_(block.start_line)) || !end.equal(nb::int_(block.end_line)))
        return nb::none();
    return nb::make_tuple(block.start_at, block.end_at, block.start_line, block.end_line);
}

void define_section_commands(nb::module_ &module) {
    nb::class_<SectionCommands>(module, "SectionCommands",
                                "The device commands of one section, whichever way they are held (the scan's "
                                "table, a dictionary of executions, or the section's own all_executions() and "
                                "get_execution() when those were replaced), with one filter rule: an execution "
                                "handed out, or every execution while LogExecute.to_json is not the stock one, "
                                "is judged by its JSON form.")
        .def("__init__",
             [](SectionCommands *self, nb::handle section, nb::handle cancel) {
                 new (self) SectionCommands(section, cancel_flag_of(cancel));
             },
             "section"_a.none(), "cancel"_a.none() = nb::none(),
             "The section's commands, scanned now unless the scan is kept; a scan begun here stops with "
             "RuntimeError once `cancel`, a flag the viewer server makes, is set.")
        .def_static("kept", &SectionCommands::kept, "section"_a.none(),
                    "The section's commands while no scan is needed for them (it is kept), else None.")
        .def("page",
             [](SectionCommands &self, size_t offset, size_t limit, nb::str device, nb::str text,
                nb::handle cancel) { return self.page(offset, limit, device, text, cancel_flag_of(cancel)); },
             "offset"_a, "limit"_a, "device"_a = "", "text"_a = "", "cancel"_a.none() = nb::none(),
             "(total, JSON forms): the commands of `device` (all when empty) whose title or block text holds "
             "`text` ignoring case (all when empty), from `offset`, at most `limit` of them, and fewer once "
             "their texts take 8 MiB.")
        .def("whole", [](SectionCommands &self, nb::handle cancel) { return self.whole(cancel_flag_of(cancel)); },
             "cancel"_a.none() = nb::none(), "The JSON form of every command, as all_executions() gives it.")
        .def("find", &SectionCommands::find, "execute_id"_a.none(),
             "The execution with that id, as get_execution() gives it, or None.")
        .def("log_range", &SectionCommands::log_range, "execute_id"_a.none(),
             "(start_at, end_at, start_line, end_line): the byte positions of the command's banner line and "
             "of the record line that closed it, and their line indices in the section, while the scan's "
             "table knows them and the execution still says so; else None.");
}

}  // namespace tavix::parser_base
