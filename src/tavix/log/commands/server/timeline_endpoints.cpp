// The run on its time axis: when each section ran, and how many warnings and
// errors its task log holds over time.
#include <civil_time.hpp>

#include "server.hpp"

namespace tavix::server {

namespace {

// Seconds since 1970 of a results time text, or None.
nb::object seconds_of(nb::handle text) {
    if (!PyUnicode_Check(text.ptr()))
        return nb::none();
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) {
        // Lone surrogates: not a date; anything else is a real failure.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::none();
    }
    double seconds;
    if (!parse_date_time(std::string_view(data, size_t(size)), seconds))
        return nb::none();
    return nb::float_(seconds);
}

// record.get(key): directly for the plain dictionaries the parser makes.
nb::object field(nb::handle record, const char *key) {
    if (!PyDict_CheckExact(record.ptr()))
        return record.attr("get")(key);
    nb::str name(key);
    PyObject *value = PyDict_GetItemWithError(record.ptr(), name.ptr());
    if (!value && PyErr_Occurred())
        throw nb::python_error();
    return value ? nb::borrow(value) : nb::none();
}

// A byte position of the results ("1024" or 1024) as an integer, or None
// for a value that is not one; other failures (MemoryError) propagate.
nb::object whole_or_none(nb::handle value) {
    PyObject *number = PyNumber_Long(value.ptr());
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
            !PyErr_ExceptionMatches(PyExc_OverflowError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::none();
    }
    return nb::steal(number);
}

nb::object timeline_body(nb::handle parser) {
    nb::list tasks;
    for (nb::handle task : parser.attr("scripts")) {
        nb::list rows;
        for (nb::handle section : task.attr("get")("sections")) {
            nb::list row;
            row.append(field(section, "id"));
            row.append(seconds_of(field(section, "start_time")));
            row.append(seconds_of(field(section, "stop_time")));
            row.append(whole_or_none(field(section, "log_start")));
            row.append(whole_or_none(field(section, "log_size")));
            rows.append(row);
        }
        nb::dict entry;
        entry["sections"] = rows;
        tasks.append(entry);
    }
    nb::dict body;
    body["columns"] = nb::make_tuple("id", "start", "stop", "log_start", "log_size");
    body["tasks"] = tasks;
    return body;
}

// The task log of task `index` (its script record's) and the host.
std::pair<nb::object, nb::object> task_log(nb::handle self, long index) {
    nb::object parser = self.attr(state->archive).attr(state->results);
    nb::object scripts = parser.attr("scripts");
    if (index < 0 || index >= long(nb::len(scripts)))
        throw nb::index_error("no such task");
    nb::object script = scripts[index].attr("get")("sections")[0];
    nb::object section = parser.attr(state->get_section)(script["id"]);
    return {contained_path(self, script["log_file"]), section.attr("host")};
}

}  // namespace

nb::object timeline(nb::handle self, nb::handle request) {
    nb::object server = nb::borrow(self);
    return computed_once(
        self, nb::str("timeline"),
        [server] {
            nb::object body = timeline_body(server.attr(state->archive).attr(state->results));
            return nb::object(json_bytes(body, stopping_flag(server)));
        },
        [server](nb::handle done) {
            return answer_or_report(
                server, [&] { return bytes_answer(server, done.attr("result")()); },
                "Exception encountered when reading the section times: ", "TIMELINE_RETRIEVE_FAILED");
        });
}

nb::object timeline_histogram(nb::handle self, nb::handle request) {
    nb::object server = nb::borrow(self);
    const char *message = "Exception encountered when counting warnings and errors: ";
    const char *detail = "HISTOGRAM_RETRIEVE_FAILED";
    return answer_or_report(
        self,
        [&] {
            long index = nb::cast<long>(state->pyint(request.attr(state->match_info)["task"]));
            auto [path, host] = task_log(server, index);
            return computed_once(
                server, nb::make_tuple("histogram", index),
                [server, path, host] {
                    return nb::object(json_bytes(state->severity_histogram(path, host), stopping_flag(server)));
                },
                [server, message, detail](nb::handle done) {
                    return answer_or_report(
                        server, [&] { return bytes_answer(server, done.attr("result")()); }, message, detail);
                });
        },
        message, detail);
}

}  // namespace tavix::server
