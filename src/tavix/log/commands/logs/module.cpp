// tavix.log.commands.logs: the `tavix logs` command with its `list` and
// `view` subcommands, and `failures`, `search` and `export` for the terminal.
#include <nanobind/nanobind.h>

#include "class_builder.hpp"
#include "common.hpp"
#include "terminal_output.hpp"

namespace tavix::logs {

State &state() {
    static State *s = new State();  // never destroyed: no Python calls at static teardown
    return *s;
}

void raise(PyObject *exception_type, nb::handle message) {
    PyErr_SetObject(exception_type, message.ptr());
    throw nb::python_error();
}

namespace {

nb::list words(std::initializer_list<const char *> items) {
    nb::list list;
    for (const char *item : items)
        list.append(item);
    return list;
}

void define_constants(nb::module_ &m) {
    m.attr("CFG_LOGS_SERVER_HOST") = "logs.server.host";
    m.attr("CFG_LOGS_SERVER_PORT") = "logs.server.port";
    m.attr("CFG_LOGS_BROWSER") = "logs.browser";
    m.attr("DEFAULT_LOGS_SERVER_HOST") = "localhost";
    m.attr("DEFAULT_LOGS_SERVER_PORT") = 0;
    m.attr("KNOWN_LINUX_BROWSER_OPENER") =
        words({"sensible-browser", "xdg-open", "x-www-browser", "gnome-open"});
    m.attr("LOCALHOST_NAMES") = words({"localhost", "127.0.0.1"});
    m.attr("DISPLAY_ENV_VAR") = "DISPLAY";
    m.attr("BROWSER_ENV_VAR") = "BROWSER";
    m.attr("BROWSER_MACOS_DEFAULT") = "open";
    m.attr("WSL_BROWSER_DEFAULT") = words({"cmd.exe", "/C", "start"});
}

// LogsCommand(parser=None): the group, with --index on every subcommand
// (those of plug-ins included), so each names the run index the same way.
void logs_command_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    super_of(state().logs_class, self).attr("__init__")(*args, **kwargs);
    nb::object add_index_option = state().history_commands.attr("add_index_option");
    for (nb::handle subcommand : self.attr("subcommands").attr("values")())
        add_index_option(subcommand.attr("parser"));
}

// Module attribute look-up of last resort (PEP 562): LogViewerServer,
// imported and kept on first use.
nb::object lazy_attribute(nb::str name) {
    if (name.equal(nb::str("LogViewerServer"))) {
        nb::object server = nb::module_::import_("tavix.log.commands.server").attr("LogViewerServer");
        state().module.attr("LogViewerServer") = server;
        return server;
    }
    PyErr_Format(PyExc_AttributeError, "module 'tavix.log.commands.logs' has no attribute '%U'",
                 name.ptr());
    throw nb::python_error();
}

}  // namespace

}  // namespace tavix::logs

NB_MODULE(logs, m) {
    using namespace tavix::logs;
    namespace nb = nanobind;
    State &s = state();
    s.module = nb::borrow(m);
    s.logging = nb::module_::import_("logging");
    s.logger = s.logging.attr("getLogger")("tavix.log.commands.logs");
    m.attr("logger") = s.logger;
    s.os = nb::module_::import_("os");
    s.sys = nb::module_::import_("sys");
    s.time = nb::module_::import_("time");
    s.socket = nb::module_::import_("socket");
    s.shlex = nb::module_::import_("shlex");
    s.shutil = nb::module_::import_("shutil");
    s.platform = nb::module_::import_("platform");
    s.subprocess = nb::module_::import_("subprocess");
    s.secrets = nb::module_::import_("secrets");
    s.path_class = nb::module_::import_("pathlib").attr("Path");
    s.getuser = nb::module_::import_("getpass").attr("getuser");

    nb::module_ cli_base = nb::module_::import_("tavix.cli.base");
    m.attr("CommandWithSubcommands") = cli_base.attr("CommandWithSubcommands");
    m.attr("Subcommand") = cli_base.attr("Subcommand");
    s.progress_line = nb::module_::import_("tavix.cli.progress").attr("ProgressLine");
    m.attr("format_table") = nb::module_::import_("tavix.cli.utils").attr("format_table");
    m.attr("cfg") = nb::module_::import_("tavix.configuration");
    // The viewer's server is imported when first asked for: it brings aiohttp,
    // most of the start-up time of every other subcommand.
    m.def("__getattr__", &lazy_attribute, nb::arg("name"));
    m.attr("Archive") = nb::module_::import_("tavix.log.commands.archive").attr("Archive");

    s.history_commands = nb::module_::import_("tavix.log.commands.history.commands");
    s.history_viewer =
        nb::module_::import_("tavix.log.commands.history.viewer").attr("history_for_viewer");
    s.history_baseline = nb::module_::import_("tavix.log.commands.history.baseline");
    s.report_marks = nb::module_::import_("tavix.log.commands.history.report_marks");
    define_constants(m);
    define_terminal_functions(m);
    define_cancel_flag_function(m);
    nb::object list_class = define_list_subcommand(m, m.attr("Subcommand"));
    nb::object view_class = define_view_subcommand(m, m.attr("Subcommand"));
    nb::object compare_class = define_compare_subcommand(m, m.attr("Subcommand"));
    nb::object diff_class = define_diff_subcommand(m, m.attr("Subcommand"));
    nb::list subcommands;
    subcommands.append(view_class);
    subcommands.append(list_class);
    subcommands.append(compare_class);
    subcommands.append(diff_class);
    subcommands.append(s.history_commands.attr("IndexSubcommand"));
    subcommands.append(s.history_commands.attr("HistorySubcommand"));
    // At the terminal and in CI: the run without a browser.
    subcommands.append(define_failures_subcommand(m, m.attr("Subcommand")));
    subcommands.append(define_search_subcommand(m, m.attr("Subcommand")));
    subcommands.append(define_export_subcommand(m, m.attr("Subcommand")));
    // The team service and its clients.
    nb::module_ service_commands = nb::module_::import_("tavix.log.commands.service.commands");
    nb::module_ key_commands = nb::module_::import_("tavix.log.commands.service.key_commands");
    subcommands.append(service_commands.attr("ServeSubcommand"));
    subcommands.append(service_commands.attr("PushSubcommand"));
    subcommands.append(key_commands.attr("KeysSubcommand"));
    subcommands.append(key_commands.attr("UsersSubcommand"));
    nb::module_ retention_commands = nb::module_::import_("tavix.log.commands.service.retention_commands");
    subcommands.append(retention_commands.attr("PinSubcommand"));
    subcommands.append(retention_commands.attr("PruneSubcommand"));
    // Triage: marks and claims on failures, and the gate for CI.
    nb::module_ triage_commands = nb::module_::import_("tavix.log.commands.history.triage_commands");
    for (const char *name : {"MarkSubcommand", "UnmarkSubcommand", "ClaimSubcommand", "ReleaseSubcommand",
                             "MarksSubcommand", "GateSubcommand"})
        subcommands.append(triage_commands.attr(name));
    s.logs_class = tavix::ClassBuilder(m, "LogsCommand", {m.attr("CommandWithSubcommands")})
        .attr("name", nb::str("logs"))
        .attr("help", nb::str("command enabling log archive viewing in local browser"))
        .attr("SUBCOMMANDS", subcommands)
        .attr("SUBCMDS_ENTRYPOINT", nb::str(""))
        .method("__init__", &logs_command_init)
        .build();
}
