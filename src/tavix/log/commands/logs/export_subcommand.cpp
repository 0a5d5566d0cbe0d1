// `tavix logs export --junit FILE`: the run as JUnit XML for CI servers.
// A test suite per task, a test case per testcase (so the counts equal the
// task's summary) and one per failing common setup or cleanup.
#include <cstdio>
#include <map>

#include "class_builder.hpp"
#include "opened_archive.hpp"
#include "section_results.hpp"
#include "tree_nodes.hpp"
#include "xml_text.hpp"

namespace tavix::logs {

namespace {

constexpr size_t kTailLines = 50;
// The tail is read in a window that doubles up to this size: a log of very
// long lines gives fewer lines rather than an unbounded read.
constexpr long long kFirstTailWindow = 64 * 1024, kLastTailWindow = 4 * 1024 * 1024;
// A cause line is read in a first piece of this many bytes, and wholly (up to
// the second size) only when it is longer.
constexpr long long kCauseLinePiece = 16 * 1024, kMaxCauseLine = 16 * 1024 * 1024;
// Characters of a cause line in a failure's message; a longer one is cut
// there, with "…", and is given whole at the start of the failure's text.
constexpr size_t kMessageLength = 1000;

constexpr const char *DESCRIPTION =
    "\nWrites the run as JUnit XML, the test-results format CI servers read:\n"
    "a <testsuite> per task, named after its script, and a <testcase> per\n"
    "testcase, so that the counts equal the task's summary: \"passed\" and\n"
    "\"passx\" pass, \"failed\" is a <failure>, \"errored\", \"aborted\" and\n"
    "\"blocked\" are <error>s, \"skipped\" is <skipped/> (a testcase without one\n"
    "of these results is skipped too, its result in the message). A failing\n"
    "common setup or cleanup adds a test case of its name with an <error>; where\n"
    "a task's summary counts its common setup and cleanup (as `tavix demo`'s\n"
    "does), they are test cases whatever their result.\n\n"
    "A failure's message is its cause line, as the Failures tab finds it; its\n"
    "text is the last 50 lines of the section's log. A cause line over 1,000\n"
    "characters is cut there in the message (ending with \"\u2026\") and given whole\n"
    "(up to 16 MiB) at the start of the text. The message starts with the kinds\n"
    "and tickets of the run index's marks on the failing section and on the\n"
    "failing sections below it (\"[product bug: https://...] \"); the run is\n"
    "recorded there first, and an index that cannot be used leaves the marks out,\n"
    "saying so once. The file is written whole or not at all; a file it replaces\n"
    "keeps its mode.\n";

enum class Outcome { pass, failure, error, skipped };

// str() of a value without the white space around it, in ASCII lower case.
std::string lowered(nb::handle value) {
    std::string text(section_results::stripped(utf8_of(value)));
    for (char &c : text)
        c = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return text;
}

Outcome outcome_of(const std::string &result) {
    if (result == "passed" || result == "passx")
        return Outcome::pass;
    if (result == "failed")
        return Outcome::failure;
    if (result == "errored" || result == "aborted" || result == "blocked")
        return Outcome::error;
    return Outcome::skipped;
}

// A run time in seconds, 0 where there is none.
double seconds_of(nb::handle run_time) {
    return section_results::run_time_seconds(utf8_of(run_time)).value_or(0);
}

struct Case {
    nb::object name;
    double time = 0;
    Outcome outcome = Outcome::pass;
    std::string result;             // as the results give it, lower case
    size_t node = 0;                // its section among the tree nodes
};

struct Totals {
    size_t tests = 0, failures = 0, errors = 0, skipped = 0;
    double time = 0;
    void add(const Case &c) {
        ++tests;
        failures += c.outcome == Outcome::failure;
        errors += c.outcome == Outcome::error;
        skipped += c.outcome == Outcome::skipped;
        time += c.time;
    }
    void add(const Totals &t) {
        tests += t.tests, failures += t.failures, errors += t.errors, skipped += t.skipped;
        time += t.time;
    }
};

void attribute(std::string &out, const char *name, std::string_view value) {
    out += ' ';
    out += name;
    out += "=\"";
    append_xml_text(out, value, true);
    out += '"';
}

void attribute(std::string &out, const char *name, nb::handle value) {
    attribute(out, name, utf8_of(value));
}

void count_attributes(std::string &out, const Totals &t) {
    char time[32];
    std::snprintf(time, sizeof(time), "%.3f", t.time);
    attribute(out, "tests", std::to_string(t.tests));
    attribute(out, "failures", std::to_string(t.failures));
    attribute(out, "errors", std::to_string(t.errors));
    attribute(out, "skipped", std::to_string(t.skipped));
    attribute(out, "time", time);
}

[[noreturn]] void cannot_write(nb::handle target, nb::python_error &error);

// Runs `work` on the output file; its OSError becomes the user's error
// "cannot write FILE: reason".
template <typename Work> void writing(nb::handle target, Work &&work) {
    try {
        work();
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_OSError))
            throw;
        cannot_write(target, error);
    }
}

// Reads what lies around a failing section's log: its cause line and its tail.
class SectionReader {
public:
    explicit SectionReader(nb::handle archive)
        : archive_(nb::borrow(archive)), read_bytes_(archive.attr("read_bytes")),
          get_section_(archive.attr("results").attr("get_section")) {}

    nb::object section(nb::handle id) { return get_section_(id); }

    // The line starting at `position` of `logfile`, without its line end.
    nb::object line_at(nb::handle logfile, long long position) {
        nb::object text = nb::none();
        for (long long limit : {kCauseLinePiece, kMaxCauseLine}) {
            text = read_bytes_(logfile, position, -1, nb::arg("limit") = limit);
            if (text.is_none())
                return nb::str("");
            if (truthy(text.attr("__contains__")("\n")))
                break;
        }
        nb::object line = nb::str(text).attr("partition")("\n")[0];
        return line.attr("rstrip")("\r");
    }

    // The last kTailLines lines of the section's log.
    nb::object tail(nb::handle section) {
        nb::object logfile = section.attr("logfile");
        long long start = nb::cast<long long>(section.attr("log_start"));
        long long size = nb::cast<long long>(section.attr("log_size"));
        if (size <= 0) {
            long long file_size = nb::cast<long long>(
                state().os.attr("stat")(logfile).attr("st_size"));
            size = file_size > start ? file_size - start : 0;
        }
        nb::str newline("\n");
        for (long long window = kFirstTailWindow;; window *= 2) {
            long long from = window < size ? size - window : 0;
            nb::object text = read_bytes_(logfile, start, size, nb::arg("offset") = from,
                                          nb::arg("limit") = size - from);
            if (text.is_none())
                return nb::str("");
            nb::list lines = nb::borrow<nb::list>(text.attr("split")(newline));
            if (nb::len(lines) && !truthy(lines[nb::len(lines) - 1]))
                lines.attr("pop")();
            bool whole = from == 0;
            // Past the section start, the window's first line is cut.
            size_t usable = nb::len(lines) - (whole ? 0 : 1);
            if (usable >= kTailLines || whole || window >= kLastTailWindow) {
                size_t keep = std::min(usable, kTailLines);
                nb::object last = nb::object(lines)[nb::slice(nb::int_(nb::len(lines) - keep), nb::none(), nb::none())];
                return newline.attr("join")(last);
            }
        }
    }

private:
    nb::object archive_, read_bytes_, get_section_;
};

// Where each failing section or step's cause line is: the failure
// categories' node ids (a step's: section id "#" step id) to file positions.
struct Cause {
    nb::object logfile;
    long long position;
};

std::map<std::string, Cause> cause_positions(nb::handle parser, SectionReader &reader) {
    nb::object answer = nb::module_::import_("tavix.log.commands.parser.base")
                            .attr("failure_categories")(parser, nb::arg("causes") = true);
    std::map<std::string, Cause> causes;
    for (nb::handle category : answer["categories"]) {
        nb::list ids = nb::borrow<nb::list>(category["sections"]), positions = nb::borrow<nb::list>(category["causes"]);
        for (size_t k = 0; k < nb::len(ids); ++k) {
            nb::object id = ids[k];
            nb::object index_id = nb::str(id).attr("rpartition")("#")[2];
            nb::object section = reader.section(index_id);
            if (section.is_none())
                continue;
            long long at = nb::cast<long long>(section.attr("log_start")) +
                           nb::cast<long long>(positions[k][0]);
            causes[utf8_of(id)] = {section.attr("logfile"), at};
        }
    }
    return causes;
}

// The task summary's "total_tasks", or -1.
long long summary_total(nb::handle script) {
    nb::object total = record_value(record_value(script, "summary"), "total_tasks", nb::int_(-1));
    return PyLong_Check(total.ptr()) ? nb::cast<long long>(total) : -1;
}

class JUnitExport {
public:
    JUnitExport(nb::handle archive, nb::handle file, nb::handle target, nb::handle index_option)
        : archive_(nb::borrow(archive)), parser_(archive.attr("results")), reader_(archive),
          file_(nb::borrow(file)), target_(nb::borrow(target)), index_option_(nb::borrow(index_option)) {}

    Totals write() {
        nodes_ = tree_nodes(parser_);
        causes_ = cause_positions(parser_, reader_);
        node_marks_ = state().report_marks.attr("failing_node_marks")(archive_, index_option_);
        nb::list scripts = nb::list(parser_.attr("scripts"));
        std::vector<std::vector<Case>> cases(nb::len(scripts));
        std::vector<Totals> suites(nb::len(scripts));
        Totals all;
        // Common setups and cleanups are test cases where the task's summary
        // counts them (some harnesses do), else only when they fail.
        std::vector<size_t> testcases(nb::len(scripts)), commons(nb::len(scripts));
        for (const TreeNode &node : nodes_) {
            if (node.step)
                continue;
            std::string type = lowered(record_value(node.record, "section_type", nb::str("")));
            testcases[node.task] += type == "testcase";
            commons[node.task] += type == "commonsetup" || type == "commoncleanup";
        }
        for (size_t i = 0; i < nodes_.size(); ++i) {
            const TreeNode &node = nodes_[i];
            if (node.step)
                continue;
            std::string type = lowered(record_value(node.record, "section_type", nb::str("")));
            std::string result = lowered(record_value(node.record, "result", nb::str("")));
            bool common = type == "commonsetup" || type == "commoncleanup";
            bool counted = commons[node.task] &&
                           summary_total(scripts[node.task]) == (long long)(testcases[node.task] + commons[node.task]);
            if (type != "testcase" && !(common && (counted || section_results::is_failing(result))))
                continue;
            Case c;
            c.name = record_value(node.record, "section_name", nb::str(""));
            c.time = seconds_of(record_value(node.record, "run_time", nb::str("")));
            c.outcome = common && section_results::is_failing(result) ? Outcome::error : outcome_of(result);
            c.result = result;
            c.node = i;
            suites[node.task].add(c);
            cases[node.task].push_back(std::move(c));
        }
        for (const Totals &t : suites)
            all.add(t);

        std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites";
        attribute(out, "name", record_value(parser_.attr("meta"), "suite_name", nb::str("")));
        count_attributes(out, all);
        out += ">\n";
        for (size_t task = 0; task < cases.size(); ++task) {
            nb::object meta = record_value(scripts[task], "meta", nb::dict());
            nb::object script = record_value(meta, "name", nb::str(""));
            out += "  <testsuite";
            attribute(out, "name", script);
            count_attributes(out, suites[task]);
            out += ">\n";
            for (const Case &c : cases[task])
                write_case(out, c, script);
            out += "  </testsuite>\n";
            emit(out);
        }
        out += "</testsuites>\n";
        emit(out);
        return all;
    }

private:
    void write_case(std::string &out, const Case &c, nb::handle script) {
        char time[32];
        std::snprintf(time, sizeof(time), "%.3f", c.time);
        out += "    <testcase";
        attribute(out, "name", c.name);
        attribute(out, "classname", script);
        attribute(out, "time", time);
        if (c.outcome == Outcome::pass) {
            out += "/>\n";
            return;
        }
        out += ">\n";
        if (c.outcome == Outcome::skipped) {
            out += "      <skipped";
            if (c.result != "skipped")
                attribute(out, "message", c.result.empty() ? "no result" : "result: " + c.result);
            out += "/>\n";
        } else {
            const char *tag = c.outcome == Outcome::failure ? "failure" : "error";
            nb::object section = reader_.section(nodes_[c.node].id);
            nb::object cause = cause_line(c.node);
            bool cut = nb::len(cause) > kMessageLength;
            out += "      <";
            out += tag;
            nb::object message = cut ? nb::str(cause[nb::slice(nb::int_(0), nb::int_(kMessageLength), nb::none())]) + nb::str("\u2026") : cause;
            attribute(out, "message", marks_of(c.node) + message);
            attribute(out, "type", c.result);
            out += ">";
            if (cut) {
                append_xml_text(out, utf8_of(cause), false);
                out += "\n\n";
            }
            if (!section.is_none())
                append_xml_text(out, utf8_of(reader_.tail(section)), false);
            out += "</";
            out += tag;
            out += ">\n";
        }
        out += "    </testcase>\n";
    }

    // The first cause line of the failing nodes in the section's subtree
    // (nodes follow their section in tree order), else a word that there is none.
    nb::object cause_line(size_t section_index) {
        const TreeNode &top = nodes_[section_index];
        nb::object sequence = record_value(top.record, "sequence_number");
        const Cause *first = nullptr;
        std::string section_id = utf8_of(top.id);
        for (size_t i = section_index; i < nodes_.size(); ++i) {
            const TreeNode &node = nodes_[i];
            std::string key;
            if (node.step) {
                if (node.section != section_index && !below(nodes_[node.section], sequence))
                    continue;
                key = utf8_of(nodes_[node.section].id) + "#" + utf8_of(node.id);
            } else {
                if (i != section_index && !below(node, sequence))
                    break;
                key = utf8_of(node.id);
            }
            auto found = causes_.find(key);
            if (found != causes_.end() && (!first || found->second.position < first->position))
                first = &found->second;
        }
        if (!first)
            return nb::str("{}: no error or warning in its log")
                .format(record_value(top.record, "result", nb::str("")));
        return reader_.line_at(first->logfile, first->position);
    }

    // "[kind: ticket] " of the marks on the section's failing node and on
    // the failing sections below it; "" without marks or a usable index.
    nb::object marks_of(size_t section_index) {
        if (node_marks_.is_none())
            return nb::str("");
        const TreeNode &top = nodes_[section_index];
        nb::object sequence = record_value(top.record, "sequence_number");
        nb::list found;
        for (size_t i = section_index; i < nodes_.size(); ++i) {
            const TreeNode &node = nodes_[i];
            if (node.step)
                continue;
            if (i != section_index && !below(node, sequence))
                break;
            nb::object marks = node_marks_.attr("get")(node.id);
            if (!marks.is_none())
                found.append(marks);
        }
        return state().report_marks.attr("junit_marks")(found);
    }

    static bool below(const TreeNode &node, nb::handle sequence) {
        nb::object parents = record_value(node.record, "parents", nb::list());
        return PyList_Check(parents.ptr()) && truthy(parents.attr("__contains__")(sequence));
    }

    void emit(std::string &out) {
        writing(target_, [&] { file_.attr("write")(nb::bytes(out.data(), out.size())); });
        out.clear();
    }

    nb::object archive_, parser_;
    SectionReader reader_;
    nb::object file_, target_, index_option_;
    std::vector<TreeNode> nodes_;
    std::map<std::string, Cause> causes_;
    nb::object node_marks_;  // {section id: marks}, None without a usable index
};

void export_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    super_of(global("ExportSubcommand"), self).attr("__init__")(*args, **kwargs);
    nb::object parser = self.attr("parser");
    add_archive_argument(parser);
    parser.attr("add_argument")("--junit", nb::arg("metavar") = "FILE", nb::arg("required") = true,
                                nb::arg("help") = "write JUnit XML to FILE");
}

[[noreturn]] void cannot_write(nb::handle target, nb::python_error &error) {
    nb::object reason = nb::getattr(error.value(), "strerror", nb::none());
    nb::object command_error = nb::module_::import_("tavix.cli.base").attr("CommandError");
    nb::object message = nb::str("cannot write {}: {}")
                             .format(target, reason.is_none() ? nb::str(error.value()) : reason);
    PyErr_SetObject(command_error.ptr(), command_error(message, nb::arg("status") = 1).ptr());
    throw nb::python_error();
}

void remove_quietly(nb::handle path) {
    try {
        state().os.attr("unlink")(path);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_OSError))
            throw;
    }
}

// mkstemp makes the file private. The document gets the mode of the file it
// replaces (a private report stays private), else the usual mode; a symlink
// at the target is replaced, not followed, so its mode does not count.
int document_mode(nb::handle target) {
    State &s = state();
    nb::module_ stat = nb::module_::import_("stat");
    try {
        nb::object mode = s.os.attr("lstat")(target).attr("st_mode");
        if (truthy(stat.attr("S_ISREG")(mode)))
            return nb::cast<int>(stat.attr("S_IMODE")(mode));
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_FileNotFoundError))
            throw;
    }
    int mask = nb::cast<int>(s.os.attr("umask")(0));
    s.os.attr("umask")(mask);
    return 0666 & ~mask;
}

void export_run(nb::handle self, nb::handle args) {
    State &s = state();
    nb::object target = s.path_class(args.attr("junit")).attr("absolute")();
    nb::object path = choose_archive(args.attr("archive"));
    if (truthy(target.attr("is_dir")()))
        raise(nb::module_::import_("tavix.cli.base").attr("CommandError").ptr(),
              nb::str("cannot write {}: it is a directory").format(target));
    // Written beside the target and renamed over it at the end: the target
    // is either the whole document or untouched, and an unwritable place is
    // found before the archive is opened.
    nb::object file, temporary;
    writing(target, [&] {
        nb::object made = nb::module_::import_("tempfile").attr("mkstemp")(
            nb::arg("prefix") = nb::str(".{}.").format(target.attr("name")),
            nb::arg("suffix") = ".tmp", nb::arg("dir") = target.attr("parent"));
        temporary = made[1];
        file = s.os.attr("fdopen")(made[0], "wb");
    });
    try {
        Totals totals;
        with_chosen_archive(args, [&](nb::handle archive) {
            totals = JUnitExport(archive, file, target, args.attr("index")).write();
        });
        writing(target, [&] {
            file.attr("close")();
            s.os.attr("chmod")(temporary, document_mode(target));
            s.os.attr("replace")(temporary, target);
        });
        s.logger.attr("info")("Wrote %s: %d tests, %d failures, %d errors, %d skipped", target,
                              totals.tests, totals.failures, totals.errors, totals.skipped);
    } catch (...) {
        try {
            file.attr("close")();
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_OSError))
                throw;
        }
        remove_quietly(temporary);
        throw;
    }
}

}  // namespace

nb::object define_export_subcommand(nb::module_ &m, nb::handle subcommand_base) {
    return define_subcommand(m, "ExportSubcommand", subcommand_base,
                             {"export", "write a run as JUnit XML",
                              "{prog} [archive] --junit FILE", DESCRIPTION},
                             &export_init, &export_run);
}

}  // namespace tavix::logs
