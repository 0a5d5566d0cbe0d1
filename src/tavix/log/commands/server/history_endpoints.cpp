// The history of the opened run's failures across the earlier runs of its
// suite, read from the run index in a worker thread.
#include "coroutine.hpp"
#include "server.hpp"

namespace tavix::server {

namespace {

constexpr const char *kHistoryFailed = "HISTORY_RETRIEVE_FAILED";
constexpr const char *kHistoryMessage = "Exception encountered when reading the run history: ";

// The server's `history` (a ViewerHistory), or None when it serves without an index.
nb::object history_of(nb::handle self) {
    nb::object history = optional_attr(self, "history");
    return history.is_valid() ? history : nb::none();
}

}  // namespace

nb::object run_history(nb::handle self, nb::handle request) {
    nb::object source = history_of(self);
    if (source.is_none())
        return error_answer(self, "NO_INDEX");
    nb::object server = nb::borrow(self);
    // Asked again at each request: the marks in it change while the run is
    // open (the history keeps what does not change).
    return built_off_loop(self, [source, server](const CancelFlag &flag) {
        return answer_or_report(
            server, [&] { return bytes_answer(server, json_bytes(source.attr("run_history")(), flag)); },
            kHistoryMessage, kHistoryFailed);
    });
}

nb::object section_history(nb::handle self, nb::handle request) {
    nb::object source = history_of(self);
    if (source.is_none())
        return error_answer(self, "NO_INDEX");
    nb::object server = nb::borrow(self);
    nb::object section_id = request.attr(state->match_info)["section_uuid"];
    return off_loop(
        [source, section_id] { return nb::object(source.attr("section_history")(section_id)); },
        [server](nb::handle done) {
            return guarded([&] { return json_answer(server, done.attr("result")()); },
                           [&](const nb::python_error &e) {
                               // A step or an unknown id has no history of its own.
                               if (e.matches(PyExc_KeyError))
                                   return section_retrieve_failed(server, e, kNotThere);
                               debug_lines(nb::str(kHistoryMessage), &e);
                               return error_answer(server, kHistoryFailed);
                           });
        });
}

}  // namespace tavix::server
