// What the subcommands that take two runs share.
#include "common.hpp"
#include "terminal_output.hpp"

namespace tavix::logs {

void add_run_pair_arguments(nb::handle self) {
    nb::object add = self.attr("parser").attr("add_argument");
    add("base", nb::arg("metavar") = "BASE",
        nb::arg("help") =
            "the run to compare against: an archive file, -<index> of 'tavix logs list', or\n"
            "'previous': the newest earlier run of NEW's suite in the run index (NEW must be\n"
            "recorded there: see 'tavix logs index')");
    add("new", nb::arg("metavar") = "NEW", nb::arg("help") = "the run to look at, given the same way");
    add("--json", nb::arg("action") = "store_true", nb::arg("help") = "print the answer as JSON");
}

bool is_previous(nb::handle choice) {
    return nb::isinstance<nb::str>(choice) && nb::str(choice).equal(state().history_baseline.attr("PREVIOUS"));
}

bool colour_output() { return is_terminal(state().sys.attr("stdout")); }

nb::object painted(const char *colour, nb::handle text, bool colour_on) {
    if (!colour_on)
        return nb::borrow(text);
    nb::object palette = nb::module_::import_("tavix.log.colour").attr("FgColour");
    return palette.attr(colour).attr("apply")(text);
}

void show(nb::handle text) { state().logger.attr("info")("%s", text); }

void show_text(nb::handle text, const char *colour) {
    nb::object shown = terminal_text(text);
    show(colour ? painted(colour, shown, colour_output()) : shown);
}

}  // namespace tavix::logs
