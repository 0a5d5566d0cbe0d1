// `tavix logs search`: every line of the task logs that holds a text, as
// grep shows it, through the archive's searcher. Lines count as the job
// search route counts them: one per line, for the deepest section or step
// holding its first match; lines outside every section are not shown.
#include <algorithm>
#include <climits>
#include <map>

#include "class_builder.hpp"
#include "innermost_ranges.hpp"
#include "opened_archive.hpp"
#include "py_helpers.hpp"
#include "terminal_output.hpp"
#include "terminal_text.hpp"
#include "tree_nodes.hpp"
#include "xml_text.hpp"

namespace tavix::logs {

namespace {

// Hits asked of the searcher at a time, and how long one call may search
// before it hands back (Ctrl-C is answered between calls).
constexpr size_t kHitsPerCall = 10000;
constexpr double kSecondsPerCall = 0.5;

constexpr const char *DESCRIPTION =
    "\nPrints every line of the run's task logs that holds TEXT, grep-style:\n"
    "the path of the section or step holding it, the line number in its task\n"
    "log and the line, the match highlighted on a terminal. Each line is shown\n"
    "once, for the deepest section or step holding its first match, as the\n"
    "viewer's job search counts it. Case is ignored (with Unicode folding)\n"
    "unless --case.\n\n"
    "--json prints JSON Lines, one hit a line: {\"path\": [names...], \"log_file\",\n"
    "\"line\" (1-based, in the task log), \"column\" (1-based, in characters),\n"
    "\"text\"}; a line longer than 16 KiB is cut there.\n\n"
    "Regular expressions (-E) are matched in linear time; backreferences and\n"
    "lookaround are refused, and \\d, \\w, \\s, \\b are the ASCII ones.\n\n"
    "--runs SUITE searches every run of that suite in the run index (--runs all:\n"
    "of every suite) instead of one archive, newest run first, each through the\n"
    "search index 'tavix logs index' made of it: the suite and request id of its\n"
    "run stand before each hit, and --json adds \"request_id\" and \"suite_name\"\n"
    "to each line. --since DATE keeps the runs started then or later (an ISO date\n"
    "or date and time, in UTC). A run whose search index is missing or damaged is\n"
    "searched the slow way, streamed from its zip, and its index rebuilt: said on\n"
    "standard error, or as a line {\"notice\": ...} with --json.\n";

void search_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    super_of(global("SearchSubcommand"), self).attr("__init__")(*args, **kwargs);
    nb::object parser = self.attr("parser");
    nb::object add = parser.attr("add_argument");
    // [archive] TEXT: argparse fills a leading optional positional first, so
    // the two are sorted out in run (one word is the text).
    add("words", nb::arg("nargs") = "+", nb::arg("metavar") = "[archive] TEXT",
        nb::arg("help") = "the archive (a zip file or -INDEX of 'tavix logs list'; default:\n"
                          "the newest), then the text to look for");
    add("-E", "--regex", nb::arg("action") = "store_true",
        nb::arg("help") = "TEXT is a regular expression");
    add("--case", nb::arg("action") = "store_true", nb::arg("help") = "match case exactly");
    add("--json", nb::arg("action") = "store_true", nb::arg("help") = "print JSON Lines");
    add("--runs", nb::arg("metavar") = "SUITE|all", nb::arg("default") = nb::none(),
        nb::arg("help") = "search every run of the suite in the run index (all: of every suite)");
    add("--since", nb::arg("metavar") = "DATE", nb::arg("default") = nb::none(),
        nb::arg("type") = nb::module_::import_("tavix.log.commands.history.run_search.moments").attr("moment_option"),
        nb::arg("help") = "with --runs: the runs started at DATE or later (ISO date or date and time, UTC)");
}

// Ends the command with "tavix: error: <message>" and status 2.
[[noreturn]] void usage_error(nb::handle message) {
    nb::object command_error = nb::module_::import_("tavix.cli.base").attr("CommandError");
    PyErr_SetObject(command_error.ptr(), command_error(message, nb::arg("status") = 2).ptr());
    throw nb::python_error();
}

// The pattern checked before the archive is opened: a typo costs no extraction.
void check_pattern(nb::handle text, bool regex, bool case_sensitive) {
    nb::object check = nb::getattr(global("Archive"), "check_query", nb::none());
    if (check.is_none())
        return;
    try {
        check(text, nb::arg("regex") = regex, nb::arg("case") = case_sensitive);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_ValueError))
            throw;
        nb::str message(error.value());
        nb::str prefix("invalid query: ");
        if (truthy(message.attr("startswith")(prefix)))
            message = nb::str(message[nb::slice(nb::int_(nb::len(prefix)), nb::none(), nb::none())]);
        usage_error(nb::str("invalid pattern: {}").format(message));
    }
}

struct LogRanges {
    nb::object logfile;            // as the archive reads it
    std::vector<Range> ranges;     // of the nodes in this log
};

std::string_view utf8_view(nb::handle text) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8)
        throw nb::python_error();
    return std::string_view(utf8, size_t(size));
}

// The byte offset `characters` code points after `from` (clipped).
size_t byte_offset(std::string_view utf8, size_t from, size_t characters) {
    size_t at = from;
    for (; at < utf8.size() && characters; --characters)
        for (++at; at < utf8.size() && (static_cast<unsigned char>(utf8[at]) & 0xC0) == 0x80;)
            ++at;
    return at;
}

// Prints hits, grep-style or as JSON Lines; what stands before the line
// number is made once per section or step.
class HitPrinter {
public:
    HitPrinter(Output &out, bool json, const std::vector<TreeNode> &nodes)
        : out_(out), json_(json), nodes_(nodes) {
        where_ = out.paint({"FgColour.MAGENTA"});
        number_ = out.paint({"FgColour.GREEN"});
        match_ = out.paint({"Style.BOLD", "FgColour.RED"});
    }

    void print(size_t node, nb::handle hit) {
        std::string &out = out_.pending();
        out += head(node);
        long long line = nb::cast<long long>(hit["line"]) + 1;
        long long column = nb::cast<long long>(hit["column"]);
        std::string_view text = utf8_view(hit["text"]);
        if (json_) {
            out += std::to_string(line);
            out += ", \"column\": ";
            out += std::to_string(column + 1);
            out += ", \"text\": ";
            append_shown_json_string(out, text);
            out += "}\n";
        } else {
            number_.append(out, std::to_string(line));
            out += ':';
            if (out_.coloured()) {
                size_t begin = byte_offset(text, 0, size_t(column));
                size_t end = byte_offset(text, begin, size_t(nb::cast<long long>(hit["length"])));
                out_.append_shown(out, text.substr(0, begin));
                out += match_.before;
                out_.append_shown(out, text.substr(begin, end - begin));
                out += match_.after;
                out_.append_shown(out, text.substr(end));
            } else {
                out_.append_shown(out, text);
            }
            out += '\n';
        }
        out_.added();
    }

private:
    // The hit's line up to its number: `path:` or `{"path": ..., "line": `.
    // A node's hits come together: only the last node's is kept, as a
    // deep tree's would take the square of its depth.
    const std::string &head(size_t index) {
        std::string &head = head_;
        if (index == head_node_)
            return head;
        head_node_ = index;
        head.clear();
        const TreeNode &node = nodes_[index];
        nb::list path = path_of(nodes_, index);
        if (json_) {
            head = "{\"path\": [";
            for (size_t i = 0; i < nb::len(path); ++i) {
                if (i)
                    head += ", ";
                append_shown_json_string(head, utf8_of(path[i]));
            }
            head += "], \"log_file\": ";
            append_shown_json_string(head, utf8_of(record_value(node.record, "log_file", nb::str(""))));
            head += ", \"line\": ";
        } else {
            head += where_.before;
            out_.append_shown(head, utf8_of(nb::str(" \u203a ").attr("join")(path)));
            head += where_.after;
            head += ':';
        }
        return head;
    }

    Output &out_;
    bool json_;
    const std::vector<TreeNode> &nodes_;
    std::string head_;
    size_t head_node_ = NO_PARENT;
    Paint where_, number_, match_;
};

void search_log(nb::handle archive, const LogRanges &log, const nb::object &text, bool regex,
                bool case_sensitive, HitPrinter &printer) {
    std::vector<long long> bounds;
    std::vector<size_t> owners;
    innermost(log.ranges, bounds, owners);
    if (bounds.size() < 2)
        return;
    nb::object search = archive.attr("search");
    nb::object offset = nb::int_(0), line = nb::int_(0), line_start = nb::int_(0);
    for (;;) {
        nb::object answer = search(log.logfile, 0, -1, text, nb::arg("regex") = regex,
                                   nb::arg("case") = case_sensitive, nb::arg("offset") = offset,
                                   nb::arg("line") = line, nb::arg("line_start") = line_start,
                                   nb::arg("limit") = kHitsPerCall,
                                   nb::arg("max_seconds") = kSecondsPerCall,
                                   nb::arg("max_bytes") = LLONG_MAX);
        for (nb::handle hit : answer["hits"]) {
            // Attributed by where its first match starts, as the job search counts.
            size_t column = nb::cast<size_t>(hit["column"]);
            long long at = nb::cast<long long>(hit["offset"]) +
                           (long long)byte_offset(utf8_view(hit["text"]), 0, column);
            auto after = std::upper_bound(bounds.begin(), bounds.end(), at);
            if (after == bounds.begin() || after == bounds.end())
                continue;
            size_t owner = owners[size_t(after - bounds.begin()) - 1];
            if (owner != SIZE_MAX)
                printer.print(owner, hit);
        }
        if (truthy(answer["complete"]))
            return;
        handle_pending_signals();
        offset = answer["scanned_to"];
        line = answer["line"];
        line_start = answer["line_start"];
    }
}

void search_run(nb::handle self, nb::handle args) {
    if (!args.attr("runs").is_none()) {
        nb::module_::import_("tavix.log.commands.history.run_search.command").attr("search_runs_command")(args);
        return;
    }
    if (!args.attr("since").is_none())
        usage_error(nb::str("--since goes with --runs"));
    nb::list words = nb::borrow<nb::list>(args.attr("words"));
    if (nb::len(words) > 2) {
        usage_error(nb::str("give at most an archive and one TEXT (quote a text with blanks)"));
    }
    nb::object text = words[nb::len(words) - 1];
    nb::object choice = nb::len(words) == 2 ? nb::object(words[0]) : nb::object(nb::none());
    bool regex = truthy(args.attr("regex")), case_sensitive = truthy(args.attr("case"));
    bool json = truthy(args.attr("json"));
    check_pattern(text, regex, case_sensitive);
    nb::object path = choose_archive(choice);
    quiet_on_closed_pipe([&] {
        with_archive_at(path, [&](nb::handle archive, const OpeningProgress &) {
            nb::object parser = archive.attr("results");
            nb::object get_section = parser.attr("get_section");
            std::vector<TreeNode> nodes = tree_nodes(parser);
            // The task logs in the order their first node comes.
            std::vector<LogRanges> logs;
            nb::dict log_index;
            for (size_t i = 0; i < nodes.size(); ++i) {
                nb::object section = get_section(nodes[i].id);
                if (section.is_none())
                    continue;
                long long start = nb::cast<long long>(section.attr("log_start"));
                long long size = nb::cast<long long>(section.attr("log_size"));
                nb::object logfile = section.attr("logfile");
                nb::object index = log_index.attr("get")(logfile);
                if (index.is_none()) {
                    index = nb::int_(logs.size());
                    log_index[logfile] = index;
                    logs.push_back({logfile, {}});
                }
                logs[nb::cast<size_t>(index)].ranges.push_back(
                    {start, size > 0 ? start + size : LLONG_MAX / 2, i});
            }
            Output out;
            HitPrinter printer(out, json, nodes);
            for (const LogRanges &log : logs) {
                search_log(archive, log, text, regex, case_sensitive, printer);
                out.flush();
            }
        });
    });
}

}  // namespace

nb::object define_search_subcommand(nb::module_ &m, nb::handle subcommand_base) {
    return define_subcommand(m, "SearchSubcommand", subcommand_base,
                             {"search", "print the log lines of a run (or of every run) that hold a text",
                              "{prog} [archive] TEXT [-E|--regex] [--case] [--json]\n"
                              "       {prog} --runs SUITE|all TEXT [-E|--regex] [--case] [--since DATE] [--json]",
                              DESCRIPTION},
                             &search_init, &search_run);
}

}  // namespace tavix::logs
