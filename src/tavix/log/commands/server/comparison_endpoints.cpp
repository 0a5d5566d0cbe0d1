// The run compared with a baseline run: what changed (compare) and one
// section's log against the same section of the baseline (section_diff).
// Both work off the event loop; sections are matched by their paths.
#include <cancel_flag.hpp>

#include "coroutine.hpp"
#include "diff_memory.hpp"
#include "server.hpp"

namespace tavix::server {

namespace {

constexpr long long kMaxContext = 1000;

nb::object parser_base() { return nb::module_::import_("tavix.log.commands.parser.base"); }

// The baseline archive, or None when the server has none.
nb::object baseline_of(nb::handle self) {
    nb::object baseline = optional_attr(self, "baseline");
    return baseline.is_valid() ? baseline : nb::none();
}

// (new section id -> path, base path text -> base section id), made once.
nb::object matched_paths(nb::handle self, std::function<nb::object(nb::handle)> finish) {
    nb::object server = nb::borrow(self);
    return computed_once(
        self, nb::str("matched_paths"),
        [server] {
            nb::object base = parser_base();
            nb::object new_paths = base.attr("section_paths")(server.attr(state->archive).attr(state->results));
            nb::object base_paths = base.attr("section_paths")(baseline_of(server).attr(state->results));
            nb::dict base_ids;
            for (auto [id, names] : nb::borrow<nb::dict>(base_paths))
                base_ids[base.attr("path_text")(names)] = id;
            return nb::object(nb::make_tuple(new_paths, base_ids));
        },
        std::move(finish));
}

// finish(server, baseline section) with the baseline's section of the same
// path as the request's section; the errors of the diff route otherwise.
template <typename Finish>
nb::object with_baseline_section(nb::handle self, nb::handle request, Finish finish) {
    nb::object baseline = baseline_of(self);
    if (baseline.is_none())
        return error_answer(self, "NO_BASELINE");
    nb::object section;
    nb::object failed = guarded([&] { section = known_section(self, request); return nb::object(); },
                                [&](const nb::python_error &e) { return section_retrieve_failed(self, e); });
    if (failed.is_valid())
        return failed;
    nb::object server = nb::borrow(self);
    nb::object id = request.attr(state->match_info)["section_uuid"];
    return matched_paths(self, [server, baseline, section, id, finish](nb::handle done) -> nb::object {
        nb::object paths = done.attr("result")();
        nb::object names = paths[0].attr("get")(id);
        nb::object base_id = names.is_none() ? nb::none() : paths[1].attr("get")(parser_base().attr("path_text")(names));
        if (base_id.is_none())
            return error_answer(server, "NOT_IN_BASELINE", kNotThere);
        return finish(server, section, baseline.attr(state->results).attr(state->get_section)(base_id), names);
    });
}

// Adds to each section entry the id of that section in the served run (null
// for one the baseline has only), so the front end can open it.
void add_ids(nb::handle answer, nb::handle new_paths) {
    nb::object path_text = parser_base().attr("path_text");
    nb::dict ids;
    for (auto [id, names] : nb::borrow<nb::dict>(new_paths))
        ids[path_text(names)] = id;
    for (const char *key : {"newly_failing", "fixed", "still_failing", "only_in_base", "only_in_new"})
        for (nb::handle entry : answer[key])
            entry["id"] = ids.attr("get")(path_text(entry["path"]));
}

}  // namespace

nb::object compare(nb::handle self, nb::handle request) {
    if (baseline_of(self).is_none())
        return error_answer(self, "NO_BASELINE");
    nb::object server = nb::borrow(self);
    return computed_once(
        self, nb::str("compare"),
        [server] {
            nb::object base = parser_base();
            nb::object new_parser = server.attr(state->archive).attr(state->results);
            nb::object answer = base.attr("compare_runs")(baseline_of(server).attr(state->results), new_parser);
            add_ids(answer, base.attr("section_paths")(new_parser));
            return nb::object(json_bytes(answer, stopping_flag(server)));
        },
        [server](nb::handle done) {
            return answer_or_report(server, [&] { return bytes_answer(server, done.attr("result")()); },
                                    "Exception encountered when comparing with the baseline: ", "COMPARE_FAILED");
        });
}

nb::object section_diff(nb::handle self, nb::handle request) {
    long long context;
    try {
        context = int_param(request.attr("query"), "context", 3, 0, kMaxContext);
    } catch (const InvalidQuery &) {
        return baseline_of(self).is_none() ? error_answer(self, "NO_BASELINE") : invalid_query(self);
    }
    // Set when the client goes away: the diff then stops within a block of
    // reading or a step of the comparison.
    CancelFlag flag = std::make_shared<std::atomic<bool>>(false);
    nb::object cancel = cancel_capsule(flag);
    nb::object answer = with_baseline_section(
        self, request,
        [context, cancel](nb::handle server_handle, nb::handle section_handle, nb::handle base_handle, nb::handle names_handle) {
            nb::object server = nb::borrow(server_handle), section = nb::borrow(section_handle),
                       base_section = nb::borrow(base_handle), names = nb::borrow(names_handle);
            return off_loop(
                [base_section, section, names, context, cancel] {
                    DiffMemory memory;
                    nb::object diff = parser_base().attr("diff_sections")(
                        base_section, section, nb::arg("path") = names, nb::arg("context") = context,
                        nb::arg("offsets") = true, nb::arg("headers") = true, nb::arg("cancel") = cancel,
                        nb::arg("memory") = memory.bytes());
                    return nb::object(json_bytes(diff, cancel_flag_of(cancel)));
                },
                [server](nb::handle diffed) {
                    return answer_or_report(server, [&] { return bytes_answer(server, diffed.attr("result")()); },
                                            "Exception encountered when comparing the section with the baseline: ",
                                            "SECTION_DIFF_FAILED");
                });
        });
    // An error answered at once is no future: there is nothing to cancel.
    if (nb::hasattr(answer, "add_done_callback"))
        watch_answer(self, answer, flag);
    return answer;
}

nb::object baseline_section_log(nb::handle self, nb::handle request) {
    nb::object held = nb::borrow(request);
    return with_baseline_section(self, request, [held](nb::handle server, nb::handle, nb::handle base_section, nb::handle) {
        return section_log_page(server, held, base_section);
    });
}

}  // namespace tavix::server
