// Failures at a glance: the failing sections and steps of the run grouped by
// the cause their logs give.
#include "server.hpp"

namespace tavix::server {

namespace {

bool flag(nb::handle request, const char *name) {
    nb::object value = request.attr(state->query).attr(state->get)(name);
    if (value.is_none())
        return false;
    nb::object text = nb::str(value).attr("lower")();
    for (const char *yes : {"1", "true", "yes"})
        if (PyUnicode_CompareWithASCIIString(text.ptr(), yes) == 0)
            return true;
    return false;
}

// The answer without the cause positions, which only the front end asks for.
nb::dict without_causes(nb::handle answer) {
    nb::list categories;
    for (nb::handle category : answer["categories"]) {
        nb::dict copy;
        for (auto [key, value] : nb::borrow<nb::dict>(category))
            if (!nb::str(key).equal(nb::str("causes")))
                copy[key] = value;
        categories.append(copy);
    }
    nb::dict plain;
    plain["categories"] = categories;
    plain["unexplained"] = answer["unexplained"];
    if (nb::borrow<nb::dict>(answer).contains("unreadable"))
        plain["unreadable"] = answer["unreadable"];
    return plain;
}

}  // namespace

nb::object categories(nb::handle self, nb::handle request) {
    bool causes = flag(request, "causes");
    nb::object server = nb::borrow(self);
    return computed_once(
        self, nb::str("categories"),
        [server] {
            nb::object parser = server.attr(state->archive).attr(state->results);
            nb::object answer = state->failure_categories(parser, nb::arg("causes") = true);
            CancelFlag stopping = stopping_flag(server);
            return nb::object(nb::make_tuple(json_bytes(without_causes(answer), stopping), json_bytes(answer, stopping)));
        },
        [server, causes](nb::handle done) {
            return answer_or_report(
                server, [&] { return bytes_answer(server, done.attr("result")()[causes ? 1 : 0]); },
                "Exception encountered when finding the failure categories: ",
                "CATEGORIES_RETRIEVE_FAILED");
        });
}

}  // namespace tavix::server
