// The compact tree: what the front end's test tree draws, and nothing more,
// so that a job of tens of thousands of sections loads in one small answer.
#include "server.hpp"

namespace tavix::server {

namespace {

// record.get(key), with None for a missing key.
nb::object field(nb::handle record, const char *key) {
    PyObject *value = PyDict_GetItemString(record.ptr(), key);  // borrowed
    return value ? nb::borrow(value) : nb::none();
}

// "1.2 name" for a step with a step id, else its name.
nb::object step_label(nb::handle step) {
    nb::object step_id = field(step, "step_id");
    nb::object name = field(step, "step_name");
    if (step_id.is_none() || !nb::cast<bool>(nb::bool_(step_id)))
        return name;
    return nb::str("{} {}").format(step_id, name);
}

nb::list row(nb::handle id, Py_ssize_t parent, nb::handle name, nb::handle type, nb::handle result,
             nb::handle run_time, nb::handle sequence_number, nb::handle step_index) {
    nb::list out;
    out.append(id);
    out.append(nb::int_(parent));
    out.append(name);
    out.append(type);
    out.append(result);
    out.append(run_time);
    out.append(sequence_number);
    out.append(step_index);
    return out;
}

// Repeated texts (section types, results) travel once, in a table; rows hold
// their index in it.
struct TextTable {
    nb::list texts;
    nb::dict index;

    nb::object operator()(nb::handle text) {
        nb::object key = text.is_none() ? nb::object(nb::str("")) : nb::borrow(text);
        nb::object found = index.attr("get")(key);
        if (!found.is_none())
            return found;
        nb::object position = nb::int_(nb::len(texts));
        texts.append(key);
        index[key] = position;
        return position;
    }
};

}  // namespace

nb::object tree(nb::handle self, nb::handle request) {
    nb::object scripts = self.attr(state->archive).attr(state->results).attr("scripts");
    nb::list tasks, rows;
    TextTable types, outcomes;
    nb::object step_type = types(nb::str("step"));
    Py_ssize_t task_index = 0;
    for (nb::handle task : scripts) {
        Py_ssize_t first_row = nb::len(rows);
        nb::object sections = task.attr("get")("sections");
        nb::dict row_of;  // section id -> row index, for the parent links
        nb::object script;
        for (nb::handle section : sections) {
            if (!script.is_valid())
                script = nb::borrow(section);
            nb::object id = field(section, "id");
            nb::object parents = field(section, "parents");
            Py_ssize_t parent = -1;
            if (!parents.is_none() && nb::len(parents) > 0) {
                nb::object parent_row = row_of.attr("get")(field(section, "parent_id"));
                if (!parent_row.is_none())
                    parent = nb::cast<Py_ssize_t>(parent_row);
            }
            Py_ssize_t own_row = nb::len(rows);
            row_of[id] = nb::int_(own_row);
            nb::object sequence_number = field(section, "sequence_number");
            rows.append(row(id, parent, field(section, "section_name"), types(field(section, "section_type")),
                            outcomes(field(section, "result")), field(section, "run_time"), sequence_number,
                            nb::none()));
            nb::object steps = field(section, "steps");
            if (!PyList_Check(steps.ptr()))
                continue;  // the script record's "steps" is an empty string
            Py_ssize_t step_index = 0;
            for (nb::handle step : steps) {
                rows.append(row(field(step, "id"), own_row, step_label(step), step_type,
                                outcomes(field(step, "result")), field(step, "run_time"), sequence_number,
                                nb::int_(step_index++)));
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
        entry["result"] = script.is_valid() ? field(script, "result") : nb::none();
        entry["run_time"] = script.is_valid() ? field(script, "run_time") : nb::none();
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
    return state->json_response(body, nb::arg("headers") = default_header(self),
                                nb::arg("dumps") = state->compact_dumps);
}

}  // namespace tavix::server
