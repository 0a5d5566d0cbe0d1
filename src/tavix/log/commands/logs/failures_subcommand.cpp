// `tavix logs failures`: the Failures tab at the terminal, the failing
// sections and steps grouped by the cause their logs give.
#include "class_builder.hpp"
#include "common.hpp"
#include "opened_archive.hpp"
#include "terminal_output.hpp"
#include "tree_nodes.hpp"

namespace tavix::logs {

namespace {

// Paths shown under each group; the rest are counted.
constexpr size_t kPathsShown = 3;

constexpr const char *DESCRIPTION =
    "\nThe failing sections and steps of a run grouped by the cause their logs\n"
    "give, largest group first, as the viewer's Failures tab shows them: the\n"
    "count, the counts by result, the cause line of the first node, and where\n"
    "the first nodes are. A failing node is a section or step that failed,\n"
    "errored, aborted or was blocked with nothing of those below it; its cause\n"
    "line is the first error record of its log (else its last warning).\n\n"
    "Each group shows the marks of the run index on it (their kinds and tickets):\n"
    "those on its cause, then how many of its nodes are marked by their paths\n"
    "(\"2 of 5 marked by path (test bug)\"), then how many are left \"to\n"
    "investigate\" (a node no mark applies to); the run is recorded there first.\n"
    "An index that cannot be used leaves the marks out, saying so once.\n\n"
    "--json prints the object the viewer's .../categories route answers, each\n"
    "category with \"paths\" (the sections' paths, parallel to \"sections\") and,\n"
    "left out without a usable index, \"marks\" (those on its cause),\n"
    "\"path_marks\" (those on its nodes' paths, each once), \"marked_by_path\" and\n"
    "\"to_investigate\" (counts of its nodes):\n"
    "{\"categories\": [{\"signature\", \"example\", \"count\", \"results\", \"sections\",\n"
    " \"paths\", \"marks\", \"path_marks\", \"marked_by_path\", \"to_investigate\"}],\n"
    " \"unexplained\": [ids]}.\n";

void failures_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    super_of(global("FailuresSubcommand"), self).attr("__init__")(*args, **kwargs);
    nb::object parser = self.attr("parser");
    add_archive_argument(parser);
    parser.attr("add_argument")("--json", nb::arg("action") = "store_true",
                                nb::arg("help") = "print the groups as one JSON object");
}

// Where a node of the categories is (a step's id is its section's id, "#",
// its own id): the names of the path leading to it. Made only for the nodes
// shown, a few a group.
class NodePaths {
public:
    explicit NodePaths(nb::handle parser) : nodes_(tree_nodes(parser)) {
        for (size_t i = 0; i < nodes_.size(); ++i)
            index_[nodes_[i].id] = i;
    }

    nb::object operator()(nb::handle id) const {
        nb::object step_id = nb::str(id).attr("rpartition")("#")[2];
        nb::object found = index_.attr("get")(step_id);
        if (found.is_none())
            return nb::borrow(id);
        return nb::str(" \u203a ").attr("join")(path_of(nodes_, nb::cast<size_t>(found)));
    }

private:
    std::vector<TreeNode> nodes_;
    nb::dict index_;
};

void print_groups(Output &out, nb::handle parser, nb::handle answer) {
    Paint bold = out.paint({"Style.BOLD"}), cause = out.paint({"FgColour.RED"}),
          where = out.paint({"FgColour.CYAN"});
    nb::list categories = answer["categories"];
    nb::list unexplained = answer["unexplained"];
    size_t failing = nb::len(unexplained);
    for (nb::handle category : categories)
        failing += nb::cast<size_t>(category["count"]);
    if (!failing) {
        out.add("No failing sections or steps.\n");
        return;
    }
    out.add(nb::str("{} failing sections and steps in {} groups ({} without a cause line)\n")
                .format(failing, nb::len(categories), nb::len(unexplained)));
    NodePaths paths(parser);
    auto show_paths = [&](nb::handle ids) {
        size_t count = nb::len(ids), shown = 0;
        for (nb::handle id : ids) {
            if (shown++ == kPathsShown)
                break;
            out.add(nb::str("      {}\n").format(where(out.shown(paths(id)))));
        }
        if (count > kPathsShown)
            out.add(nb::str("      \u2026 and {} more\n").format(count - kPathsShown));
    };
    for (nb::handle category : categories) {
        nb::list counts;
        for (auto [result, count] : nb::borrow<nb::dict>(category["results"]))
            counts.append(nb::str("{} {}").format(out.shown(result), count));
        // Aligned before it is painted: escape sequences take no columns.
        out.add(nb::str("\n{}  {}").format(bold(nb::str("{:>6}").format(category["count"])),
                                             nb::str(", ").attr("join")(counts)));
        if (truthy(category.attr("__contains__")("marks")))
            out.add(nb::str("  [{}]").format(out.shown(state().report_marks.attr("category_column")(category))));
        out.add("\n");
        out.add(nb::str("      {}\n").format(cause(out.shown(category["example"]))));
        show_paths(category["sections"]);
    }
    if (nb::len(unexplained)) {
        out.add(nb::str("\n{}  without a cause line in their logs\n")
                    .format(bold(nb::str("{:>6}").format(nb::len(unexplained)))));
        show_paths(unexplained);
    }
}

void failures_run(nb::handle self, nb::handle args) {
    bool json = truthy(args.attr("json"));
    quiet_on_closed_pipe([&] {
        with_chosen_archive(args, [&](nb::handle archive) {
            nb::object parser = archive.attr("results");
            nb::object answer = state().report_marks.attr("failures_with_marks")(
                archive,
                nb::module_::import_("tavix.log.commands.parser.base").attr("failure_categories")(parser),
                args.attr("index"));
            Output out;
            if (json)
                out.add(json_text(answer) + nb::str("\n"));
            else
                print_groups(out, parser, answer);
            out.flush();
        });
    });
}

}  // namespace

nb::object define_failures_subcommand(nb::module_ &m, nb::handle subcommand_base) {
    return define_subcommand(m, "FailuresSubcommand", subcommand_base,
                             {"failures", "show the failures of a run grouped by cause",
                              "{prog} [archive] [--json]", DESCRIPTION},
                             &failures_init, &failures_run);
}

}  // namespace tavix::logs
