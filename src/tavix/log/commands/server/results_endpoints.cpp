// Endpoints that expose the parsed results model.
#include "server.hpp"

namespace tavix::server {

namespace {

nb::object parser_of(nb::handle self) { return self.attr(state->archive).attr(state->results); }

nb::object section_uuid(nb::handle request) {
    return request.attr(state->match_info)["section_uuid"];
}

}  // namespace

nb::object metadata(nb::handle self, nb::handle request) {
    return json_answer(self, parser_of(self).attr("meta"));
}

nb::object results(nb::handle self, nb::handle request) {
    // Every record of the run: written in a worker, the loop answering
    // others meanwhile.
    nb::object server = nb::borrow(self), scripts = parser_of(self).attr("scripts");
    return built_off_loop(self, [server, scripts](const CancelFlag &flag) { return json_answer(server, scripts, flag); });
}

nb::object summary(nb::handle self, nb::handle request) {
    return json_answer(self, parser_of(self).attr("summary"));
}

nb::object tasks(nb::handle self, nb::handle request) {
    return json_answer(self, parser_of(self).attr("get_task_names")());
}

nb::object known_section(nb::handle self, nb::handle request) {
    nb::object uuid = section_uuid(request);
    nb::object section = parser_of(self).attr(state->get_section)(uuid);
    // The parser answers an unknown id with None: that is the same failure
    // as a missing key, and gets the same answer.
    if (section.is_none()) {
        PyErr_SetObject(PyExc_KeyError, uuid.ptr());
        throw nb::python_error();
    }
    return section;
}

nb::object section_retrieve_failed(nb::handle self, const nb::python_error &e, int status) {
    if (!e.matches(PyExc_KeyError))
        throw e;
    debug_lines(nb::str("Exception encountered when retrieving section: "), &e);
    return error_answer(self, "SECTION_RETRIEVE_FAILED", status);
}

nb::object sections(nb::handle self, nb::handle request) {
    nb::object data;
    nb::object refused = guarded(
        [&] {
            data = known_section(self, request).attr(state->data);
            return nb::object();
        },
        [&](const nb::python_error &e) { return section_retrieve_failed(self, e); });
    if (refused.is_valid())
        return refused;
    // A section of many steps makes a record of megabytes: written in a worker.
    nb::object server = nb::borrow(self);
    return built_off_loop(self, [server, data](const CancelFlag &flag) { return json_answer(server, data, flag); });
}

nb::object archive_name(nb::handle self, nb::handle request) {
    nb::object file = self.attr(state->archive).attr("file");
    nb::dict body;
    body["archive_name"] = state->os_path_basename(state->os_fspath(file));
    return json_answer(self, body);
}

nb::object index(nb::handle self, nb::handle request) {
    return state->file_response(state->index_html,
                                nb::arg("headers") = default_header(self));
}

}  // namespace tavix::server
