// `tavix logs diff BASE NEW --path PATH [--json] [--context N]`: one section's
// log against the same section of another run, with what differs from run to
// run anyway masked.
#include "class_builder.hpp"
#include "common.hpp"
#include "terminal_output.hpp"

namespace tavix::logs {

namespace {

constexpr const char *DESCRIPTION =
    "\nShows how one section's log differs from the same section of another run, as a\n"
    "unified diff. Lines are compared after masking what differs from run to run\n"
    "anyway: in the MorlanLog header the sequence number, time stamp, process and\n"
    "thread ids and names and part tags; anywhere UUIDs, hexadecimal addresses (0x...)\n"
    "and date-times. Everything else counts, numbers included. A diff that takes more\n"
    "than about 2 s, or more than 256 MiB of memory (millions of lines that differ),\n"
    "is given coarser and marked approximate: from its first difference to its last,\n"
    "the lines are given as replaced.\n\n"
    "PATH is the script's name, then the section names down the tree, joined by \"/\"\n"
    "(inside a name \"/\" is written \"\\/\" and \"\\\" is written \"\\\\\"); see\n"
    "'tavix logs compare' for the paths of two runs.\n\n"
    "With --json: {\"path\", \"identical\", \"approximate\", \"masked\", \"hunks\"}.\n\n"
    "Example:\n"
    "    $ tavix logs diff -1 -0 --path 'bgp.py/test_neighbours/verify'\n";

void diff_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    super_of(global("DiffSubcommand"), self).attr("__init__")(*args, **kwargs);
    add_run_pair_arguments(self);
    nb::object add = self.attr("parser").attr("add_argument");
    add("--path", nb::arg("required") = true, nb::arg("metavar") = "PATH",
        nb::arg("help") = "the section, as its names joined by \"/\"");
    add("--context", nb::arg("type") = nb::module_::import_("builtins").attr("int"), nb::arg("default") = 3,
        nb::arg("metavar") = "N", nb::arg("help") = "lines of context around each change (default 3)");
}

// The section of `run` at `path`; LookupError naming the run when it has none.
nb::object section_at(nb::handle run, nb::handle path, const char *role) {
    nb::object base_module = nb::module_::import_("tavix.log.commands.parser.base");
    nb::object wanted = base_module.attr("path_text")(path);
    nb::object parser = run.attr("results");
    for (auto [id, names] : nb::borrow<nb::dict>(base_module.attr("section_paths")(parser)))
        if (base_module.attr("path_text")(names).equal(wanted))
            return parser.attr("get_section")(id);
    raise(PyExc_LookupError, nb::str("the {} run {} has no section {}").format(role, nb::str(run.attr("file").attr("name")), wanted));
}

void show_diff(nb::handle answer, nb::handle base, nb::handle changed) {
    nb::object path = nb::module_::import_("tavix.log.commands.parser.base").attr("path_text")(answer["path"]);
    nb::object masked = nb::str(", ").attr("join")(answer["masked"]);
    if (truthy(answer["identical"])) {
        show_text(nb::str("{}: the logs are the same once masked ({})").format(path, truthy(masked) ? masked : nb::str("nothing")));
        return;
    }
    show_text(nb::str("--- {}\t{}").format(nb::str(base.attr("file").attr("name")), path), "BRIGHT_WHITE");
    show_text(nb::str("+++ {}\t{}").format(nb::str(changed.attr("file").attr("name")), path), "BRIGHT_WHITE");
    if (truthy(answer["approximate"]))
        show_text(nb::str("(approximate: the diff took too long or too much memory to be made minimal)"), "YELLOW");
    for (nb::handle hunk : answer["hunks"]) {
        show_text(nb::str("@@ -{},{} +{},{} @@").format(hunk["base_start"], hunk["base_count"],
                                                         hunk["new_start"], hunk["new_count"]), "CYAN");
        for (nb::handle line : hunk["lines"]) {
            nb::object op = line["op"];
            nb::object text = nb::str(op) + nb::str(line["text"]);
            const char *colour = op.equal(nb::str("-")) ? "RED" : op.equal(nb::str("+")) ? "GREEN" : nullptr;
            show_text(text, colour);
        }
    }
    if (truthy(answer.attr("get")("truncated", false)))
        show(nb::str("(only the first {} of {} hunks: the rest is over 8 MiB)").format(nb::len(nb::object(answer["hunks"])), answer["hunk_count"]));
}

void diff_run(nb::handle self, nb::handle args) {
    nb::object base_module = nb::module_::import_("tavix.log.commands.parser.base");
    nb::object names = base_module.attr("split_path")(args.attr("path"));
    long context = nb::cast<long>(args.attr("context"));
    if (context < 0)
        raise(PyExc_ValueError, nb::str("--context must be 0 or more"));
    with_run_pair(args, [&](nb::handle base, nb::handle changed) {
        nb::object base_section = section_at(base, names, "base");
        nb::object new_section = section_at(changed, names, "new");
        nb::object answer = base_module.attr("diff_sections")(base_section, new_section, nb::arg("path") = names,
                                                              nb::arg("context") = context);
        if (truthy(args.attr("json")))
            show(json_text(answer));
        else
            show_diff(answer, base, changed);
    });
}

}  // namespace

nb::object define_diff_subcommand(nb::module_ &m, nb::handle subcommand_base) {
    return define_subcommand(m, "DiffSubcommand", subcommand_base,
                             {"diff", "one section's log against the same section of another run",
                              "{prog} BASE NEW --path PATH [--json] [--context N]", DESCRIPTION},
                             &diff_init, &diff_run);
}

}  // namespace tavix::logs
