// The compact tree: what the front end's test tree draws, and nothing more,
// so that a job of tens of thousands of sections loads in one small answer.
#include "server.hpp"

#include <functional>
#include <utility>

namespace tavix::server {

namespace {

// The record keys the tree reads, interned once.
struct Keys {
    nb::str id, parents, parent_id, section_name, section_type, result, run_time, sequence_number,
        steps, step_id, step_name;
};

const Keys &keys() {
    static const Keys *k = new Keys{interned("id"), interned("parents"), interned("parent_id"),
                                    interned("section_name"), interned("section_type"), interned("result"),
                                    interned("run_time"), interned("sequence_number"), interned("steps"),
                                    interned("step_id"), interned("step_name")};
    return *k;
}

// record.get(key): a borrowed value, None for a missing key.
PyObject *field(nb::handle record, nb::handle key) {
    PyObject *value = PyDict_GetItemWithError(record.ptr(), key.ptr());
    if (!value && PyErr_Occurred())
        throw nb::python_error();
    return value ? value : Py_None;
}

// "1.2 name" for a step with a step id, else its name.
nb::object step_label(nb::handle step) {
    const Keys &k = keys();
    nb::handle step_id = field(step, k.step_id);
    nb::handle name = field(step, k.step_name);
    if (!truthy(step_id))
        return nb::borrow(name);
    return nb::str("{} {}").format(step_id, name);
}

// Repeated texts (section types, results) travel once, in a table; rows hold
// their index in it.
struct TextTable {
    nb::list texts;
    nb::dict index;

    nb::object operator()(nb::handle text) {
        nb::object key = text.is_none() ? nb::object(nb::str("")) : nb::borrow(text);
        PyObject *found = PyDict_GetItemWithError(index.ptr(), key.ptr());
        if (found)
            return nb::borrow(found);
        if (PyErr_Occurred())
            throw nb::python_error();
        nb::object position = nb::int_(nb::len(texts));
        texts.append(key);
        index[key] = position;
        return position;
    }
};

// Appends [id, parent, name, type, result, run_time, sequence_number, step].
void append_row(nb::list &rows, std::initializer_list<nb::handle> items) {
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (!list)
        throw nb::python_error();
    nb::list row = nb::steal<nb::list>(list);
    Py_ssize_t i = 0;
    for (nb::handle item : items)
        PyList_SET_ITEM(row.ptr(), i++, nb::borrow(item).release().ptr());
    rows.append(row);
}

nb::object tree_body(nb::handle scripts, const CancelFlag &flag) {
    const Keys &k = keys();
    nb::list tasks, rows;
    TextTable types, outcomes;
    nb::object step_type = types(nb::str("step"));
    Py_ssize_t task_index = 0;
    for (nb::handle task : scripts) {
        Py_ssize_t first_row = nb::len(rows);
        nb::object sections = task.attr("get")("sections");
        nb::dict row_of;  // section id -> its row, for the parent links
        nb::object script;
        for (nb::handle section : sections) {
            if (!script.is_valid())
                script = nb::borrow(section);
            nb::handle id = field(section, k.id);
            nb::object parent = nb::int_(-1);
            if (truthy(field(section, k.parents))) {
                PyObject *parent_row = PyDict_GetItemWithError(row_of.ptr(), field(section, k.parent_id));
                if (parent_row)
                    parent = nb::borrow(parent_row);
                else if (PyErr_Occurred())
                    throw nb::python_error();
            }
            nb::object own_row = nb::int_(nb::len(rows));
            row_of[id] = own_row;
            nb::handle sequence_number = field(section, k.sequence_number);
            append_row(rows, {id, parent, field(section, k.section_name),
                              types(field(section, k.section_type)), outcomes(field(section, k.result)),
                              field(section, k.run_time), sequence_number, Py_None});
            nb::handle steps = field(section, k.steps);
            if (!PyList_Check(steps.ptr()))
                continue;  // the script record's "steps" is an empty string
            Py_ssize_t step_index = 0;
            for (nb::handle step : steps) {
                append_row(rows, {field(step, k.id), own_row, step_label(step), step_type,
                                  outcomes(field(step, k.result)), field(step, k.run_time),
                                  sequence_number, nb::int_(step_index++)});
            }
        }
        nb::object meta = task.attr("get")("meta");
        nb::object name = meta.is_none() ? nb::object(nb::none()) : meta.attr("get")("task_id");
        if (name.is_none() && !meta.is_none())
            name = meta.attr("get")("name");
        if (name.is_none())
            name = nb::str("task {}").format(task_index);
        nb::dict entry;
        entry["name"] = name;
        entry["result"] = script.is_valid() ? nb::borrow(field(script, k.result)) : nb::none();
        entry["run_time"] = script.is_valid() ? nb::borrow(field(script, k.run_time)) : nb::none();
        entry["rows"] = nb::int_(nb::len(rows) - first_row);
        tasks.append(entry);
        ++task_index;
    }
    nb::dict body;
    body["columns"] = nb::make_tuple("id", "parent", "name", "type", "result", "run_time",
                                     "sequence_number", "step");
    body["types"] = types.texts;
    body["results"] = outcomes.texts;
    body["tasks"] = tasks;
    body["rows"] = rows;
    return json_bytes(body, flag, true);
}

}  // namespace

namespace {

// The tree does not change while the archive is open: its body is made once,
// in a worker thread, and kept.
nb::object tree_once(nb::handle self, std::function<nb::object(nb::handle)> finish) {
    nb::object server = nb::borrow(self);
    return computed_once(
        self, nb::str("tree"),
        [server] {
            return tree_body(server.attr(state->archive).attr(state->results).attr("scripts"), stopping_flag(server));
        },
        std::move(finish));
}

}  // namespace

nb::object tree(nb::handle self, nb::handle request) {
    nb::object server = nb::borrow(self);
    return tree_once(self, [server](nb::handle done) {
        return state->response(nb::arg("body") = done.attr("result")(),
                               nb::arg("content_type") = "application/json",
                               nb::arg("headers") = default_header(server));
    });
}

nb::object warm_up(nb::handle self, nb::handle app) {
    // The tree is the first thing a browser asks for: it is made while the
    // browser starts. Startup does not wait for it, and a failure is left
    // for the tree request to meet again.
    tree_once(self, [](nb::handle done) -> nb::object {
        done.attr("exception")();
        return nb::none();
    });
    return nb::none();
}

}  // namespace tavix::server
