// `tavix logs compare BASE NEW [--json]`: what changed from one run to another.
#include "class_builder.hpp"
#include "common.hpp"
#include "terminal_output.hpp"

namespace tavix::logs {

namespace {

constexpr const char *DESCRIPTION =
    "\nCompares two runs: the sections newly failing, fixed and still failing, those\n"
    "only one run has, and the failure categories of both. Sections are matched by\n"
    "their paths: the script's name, then the section names down the tree (an unnamed\n"
    "section by its type; the 2nd, 3rd... of the same path get \"#2\", \"#3\"...).\n\n"
    "With --json: {\"base\", \"new\", \"same_suite\", \"newly_failing\", \"fixed\",\n"
    "\"still_failing\", \"only_in_base\", \"only_in_new\", \"categories\"}.\n\n"
    "Examples:\n"
    "    $ tavix logs compare -1 -0\n"
    "    $ tavix logs compare last-night.zip tonight.zip --json\n";

// Longest list shown on a terminal; --json gives them all.
constexpr size_t SHOWN = 50;

void compare_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    super_of(global("CompareSubcommand"), self).attr("__init__")(*args, **kwargs);
    add_run_pair_arguments(self);
}

nb::str run_line(const char *label, nb::handle header, nb::handle file) {
    return nb::str("{} {} (suite {}, job {}, started {})")
        .format(label, nb::str(file.attr("name")), header["suite_name"], header["request_id"], header["start_time"]);
}

// A side's result; "-" where the run has no such section.
nb::object result_text(nb::handle result) { return result.is_none() ? nb::str("-") : nb::str(nb::str("{}").format(result)); }

void show_sections(nb::handle answer, const char *key, const char *title, const char *colour) {
    nb::object entries = answer[key];
    size_t count = nb::len(entries);
    show_text(nb::str("{} ({})").format(title, count), colour);
    size_t i = 0;
    for (nb::handle entry : entries) {
        if (i++ == SHOWN) {
            show(nb::str("  ... and {} more (see --json)").format(count - SHOWN));
            break;
        }
        nb::object path = nb::module_::import_("tavix.log.commands.parser.base").attr("path_text")(entry["path"]);
        show_text(nb::str("  {:<8} -> {:<8}  {}").format(result_text(entry["base_result"]), result_text(entry["result"]), path));
    }
}

void show_summary(nb::handle answer, nb::handle base, nb::handle changed) {
    show_text(run_line("Base:", answer["base"], base.attr("file")));
    show_text(run_line("New: ", answer["new"], changed.attr("file")));
    if (!truthy(answer["same_suite"]))
        show_text(nb::str("The runs are of different suites: sections are matched by path all the same."), "YELLOW");
    show_sections(answer, "newly_failing", "Newly failing", "RED");
    show_sections(answer, "fixed", "Fixed", "GREEN");
    show_sections(answer, "still_failing", "Still failing", "YELLOW");
    show_sections(answer, "only_in_base", "Only in base", "CYAN");
    show_sections(answer, "only_in_new", "Only in new", "CYAN");
    nb::object categories = answer["categories"];
    show(nb::str("Failure categories ({})").format(nb::len(categories)));
    size_t i = 0;
    for (nb::handle category : categories) {
        if (i++ == SHOWN)
            break;
        show_text(nb::str("  {:>5} -> {:<5} {:<6} {}").format(category["base_count"], category["count"], category["change"],
                                                       category["example"]));
    }
}

void compare_run(nb::handle self, nb::handle args) {
    nb::object base_module = nb::module_::import_("tavix.log.commands.parser.base");
    with_run_pair(args, [&](nb::handle base, nb::handle changed) {
        nb::object answer = base_module.attr("compare_runs")(base.attr("results"), changed.attr("results"));
        if (truthy(args.attr("json")))
            show(json_text(answer));
        else
            show_summary(answer, base, changed);
    });
}

}  // namespace

nb::object define_compare_subcommand(nb::module_ &m, nb::handle subcommand_base) {
    return define_subcommand(m, "CompareSubcommand", subcommand_base,
                             {"compare", "what changed from one run to another",
                              "{prog} BASE NEW [--json]", DESCRIPTION},
                             &compare_init, &compare_run);
}

}  // namespace tavix::logs
