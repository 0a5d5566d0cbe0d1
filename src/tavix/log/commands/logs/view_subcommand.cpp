#include <string>

#include "class_builder.hpp"
#include "common.hpp"
#include "opened_archive.hpp"
#include "py_helpers.hpp"

namespace tavix::logs {

namespace {

const char *const KNOWN_OPENERS[] = {"sensible-browser", "xdg-open", "x-www-browser", "gnome-open"};

// A browser launched directly stays in the foreground until it is closed;
// serving cannot wait that long (the page it opens would never load), so the
// launch waits this long for the command to finish and then goes on serving.
constexpr double BROWSER_WAIT_SECONDS = 2.0;

constexpr const char *DESCRIPTION =
    "\nOpens a Tavix generated archive zip file and host it through HTTP server.\n\n"
    "Behavior:\n"
    "    - if specific file is not provided, opens the last generated archive file\n"
    "    - if a relative index # is provided, opens the file corresponding to \n"
    "      'tavix logs list' output.\n"
    "    - set environment variable $%s to your browser executable to force using\n"
    "      your provided browser \n\n"
    "Examples:\n"
    "    # open last archive file\n"
    "    $ tavix logs view\n\n"
    "    # opens the log file before the last one\n"
    "    $ tavix logs view -1\n"
    "    ";

constexpr const char *NO_TOKEN_HELP =
    "Serve without an access token, for scripts that call the JSON routes.\n"
    "By default each run makes a fresh token: the URL shown carries it once, the\n"
    "browser keeps it as a cookie, and requests without it are refused. Without\n"
    "it, any program or web page on this machine can read the archive.";

constexpr const char *NO_INDEX_HELP =
    "Do not record the run in the run index (see --index); the viewer then shows\n"
    "no history of its failures.";

constexpr const char *BASELINE_HELP =
    "Another run to compare this one with (an archive file or -<index>): the viewer\n"
    "then shows a Changes tab and, for each section, a Diff tab against the section of\n"
    "the same path in BASE. 'previous' takes the newest earlier run of the same suite\n"
    "from the run index (see --index); when the index has none, or its archive is\n"
    "gone, a one-line message says so and the run is served without a baseline.\n"
    "(A file named 'previous' is ./previous.)";

// Bytes of randomness in an access token (43 URL-safe characters).
constexpr int TOKEN_BYTES = 32;

// Shown after the options by --help.
constexpr const char *OPENING_EPILOG =
    "While standard error is a terminal, opening a large archive shows its\n"
    "progress there, and \"View at:\" is followed by how long it took.\n"
    "Ctrl-C or SIGTERM stops the opening at any moment.";

bool matches_exception(nb::python_error &error) { return error.matches(PyExc_Exception); }

nb::str join_words(nb::handle words) {
    return nb::str(nb::str(" ").attr("join")(words));
}

void view_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    super_of(state().view_class, self).attr("__init__")(*args, **kwargs);
    nb::object cfg = global("cfg");
    nb::object add = self.attr("parser").attr("add_argument");
    nb::object str_type = nb::module_::import_("builtins").attr("str");
    nb::object int_type = nb::module_::import_("builtins").attr("int");
    add("archive", nb::arg("metavar") = "[archive]", nb::arg("nargs") = "?",
        nb::arg("type") = str_type, nb::arg("help") = "Archive zip file to open and view. ");
    add("--host", nb::arg("metavar") = "[host]", nb::arg("type") = str_type,
        nb::arg("default") = cfg.attr("get")("logs.server.host", "localhost"),
        nb::arg("help") = "Host interface to bind to.\nDefault to: localhost");
    add("--port", nb::arg("metavar") = "[port]", nb::arg("type") = int_type,
        nb::arg("default") = cfg.attr("get")("logs.server.port", 0),
        nb::arg("help") = "Interface port to bind to.\n Default to: 0");
    add("--no-browser", nb::arg("dest") = "open_browser", nb::arg("action") = "store_false",
        nb::arg("default") = true,
        nb::arg("help") = "Flag to turn off the default behavior of opening a new browser window.");
    add("--no-token", nb::arg("dest") = "use_token", nb::arg("action") = "store_false",
        nb::arg("default") = true, nb::arg("help") = NO_TOKEN_HELP);
    add("--no-index", nb::arg("dest") = "use_index", nb::arg("action") = "store_false",
        nb::arg("default") = true, nb::arg("help") = NO_INDEX_HELP);
    add("--baseline", nb::arg("metavar") = "BASE", nb::arg("default") = nb::none(),
        nb::arg("help") = BASELINE_HELP);
    self.attr("parser").attr("epilog") = OPENING_EPILOG;
}

nb::object bind_listening_socket(const nb::object &host, const nb::object &port) {
    State &s = state();
    nb::object sock = s.socket.attr("socket")(s.socket.attr("AF_INET"), s.socket.attr("SOCK_STREAM"));
    try {
        // A restart on a fixed port must not fail for a minute because of the
        // previous run's connections in TIME_WAIT; a live listener still
        // refuses the bind. (On Windows the option would allow stealing.)
        if (!truthy(nb::str(s.os.attr("name")).attr("__eq__")("nt")))
            sock.attr("setsockopt")(s.socket.attr("SOL_SOCKET"), s.socket.attr("SO_REUSEADDR"), 1);
        sock.attr("bind")(nb::make_tuple(host, port));
        sock.attr("listen")();
    } catch (...) {
        sock.attr("close")();
        throw;
    }
    return sock;
}

void serve_archive(nb::handle self, nb::handle args, nb::handle archive, nb::handle baseline,
                   nb::handle history, const OpeningProgress &progress);

void view_run(nb::handle self, nb::handle args) {
    State &s = state();
    nb::object path = choose_archive(args.attr("archive"));
    nb::object baseline_choice = nb::getattr(args, "baseline", nb::none());
    bool previous = is_previous(baseline_choice);
    // A baseline named on the command line is checked before anything is opened.
    nb::object baseline_path =
        baseline_choice.is_none() || previous ? nb::none() : choose_archive(baseline_choice);
    s.logger.attr("info")("Logfile: %s", path);

    int root_level = nb::cast<int>(s.logging.attr("getLogger")().attr("level"));
    s.logging.attr("getLogger")("aiohttp").attr("setLevel")(root_level + 10);

    // A missing attribute (a namespace made by hand) keeps the default.
    bool use_index = truthy(nb::getattr(args, "use_index", nb::bool_(true)));
    nb::object index_option = nb::getattr(args, "index", nb::none());
    with_archive_at(path, [&](nb::handle archive, const OpeningProgress &progress) {
        // Recorded before serving: the history routes read the run back.
        nb::object history = use_index ? s.history_viewer(archive, index_option) : nb::none();
        if (previous)
            baseline_path = s.history_baseline.attr("baseline_for_viewer")(archive, history, index_option);
        if (baseline_path.is_none())
            return serve_archive(self, args, archive, nb::none(), history, progress);
        s.logger.attr("info")("Baseline: %s", baseline_path);
        with_context(global("Archive")(baseline_path), [&](nb::handle baseline) {
            serve_archive(self, args, archive, baseline, history, progress);
        });
    });
}

// Binds, announces the URL, opens the browser and serves `archive` (compared
// with `baseline` unless it is None, with the run's `history` unless it is
// None) until Ctrl-C.
void serve_archive(nb::handle self, nb::handle args, nb::handle archive, nb::handle baseline,
                   nb::handle history, const OpeningProgress &progress) {
    State &s = state();
    nb::object host = nb::str(args.attr("host"));
    // Kept as a Python integer: an out-of-range port is refused by bind with
    // a clear message.
    nb::object port = nb::int_(args.attr("port"));
    bool any_port = port.equal(nb::int_(0));
    // A missing attribute (a namespace made by hand) keeps the safe default.
    bool use_token = truthy(nb::getattr(args, "use_token", nb::bool_(true)));
    {
        nb::object sock = bind_listening_socket(host, port);
        try {
            nb::object displayed_host = self.attr("_guess_hostname")(host);
            nb::object displayed_port =
                any_port ? nb::object(sock.attr("getsockname")()[1]) : port;
            nb::str url = nb::str("http://{}:{}/result").format(displayed_host, displayed_port);
            nb::dict options;
            // Only what is asked for is passed, so a server class of the
            // user's without these keywords still serves.
            if (!baseline.is_none())
                options["baseline"] = baseline;
            if (!history.is_none())
                options["history"] = history;
            if (use_token) {
                nb::object token = s.secrets.attr("token_urlsafe")(TOKEN_BYTES);
                options["access_token"] = token;
                options["access_hosts"] = nb::make_tuple(host, displayed_host);
                url = nb::str("{}?token={}").format(url, token);
            }
            nb::object server = global("LogViewerServer")(archive, **options);
            // An interrupt that came during the last steps of opening is
            // answered here, before anything is offered to a browser.
            handle_pending_signals();
            s.logger.attr("info")("\nView at: \n    %s", url);
            if (progress.active())
                progress.tell_opened();
            s.logger.attr("info")("\nPress Ctrl-C to exit");
            s.logger.attr("info")(("\n" + std::string(80, '-') + "\n").c_str());
            if (truthy(args.attr("open_browser")))
                self.attr("_open_browser")(nb::arg("url") = url);
            try {
                server.attr("serve")(nb::arg("sock") = sock, nb::arg("print") = false);
            } catch (nb::python_error &error) {
                // Ctrl-C is how the user stops serving, not a failure.
                if (!error.matches(PyExc_KeyboardInterrupt))
                    throw;
            }
        } catch (...) {
            sock.attr("close")();
            throw;
        }
        sock.attr("close")();
        s.logger.attr("info")("Bye...");
    }
}

nb::object guess_hostname(nb::handle self, nb::handle host) {
    State &s = state();
    nb::object text = nb::str(host);
    if (text.equal(nb::str("localhost")) || text.equal(nb::str("127.0.0.1")))
        return nb::borrow(host);
    try {
        nb::object fqdn = s.socket.attr("getfqdn")(host);
        s.socket.attr("gethostbyname")(fqdn);
        return fqdn;
    } catch (nb::python_error &error) {
        if (!matches_exception(error))
            throw;
        return nb::borrow(host);
    }
}

void log_launch_failure(nb::handle words, nb::python_error &error) {
    state().logger.attr("error")(nb::str("Failed to open your browser using command: {},\nCaught "
                                         "Exception: {}")
                                     .format(join_words(words), nb::str(error.value())));
}

// The command that opens a browser: None when none was found. Returns
// nb::none() and sets `stop` when the launch must not be tried at all.
nb::object browser_command(bool &stop) {
    State &s = state();
    nb::object environ = s.os.attr("environ");
    nb::object user = environ.attr("get")("BROWSER");
    if (user.is_none())
        user = global("cfg").attr("get")("logs.browser", nb::none());
    if (truthy(user)) {
        try {
            return s.shlex.attr("split")(user);
        } catch (nb::python_error &error) {
            // An unbalanced quote in the user's value is a browser problem,
            // which never ends the command.
            if (!matches_exception(error))
                throw;
            nb::list words;
            words.append(user);
            log_launch_failure(words, error);
            stop = true;
            return nb::none();
        }
    }
    if (nb::str(s.platform.attr("system")()).attr("lower")().equal(nb::str("darwin"))) {
        nb::list words;
        words.append("open");
        return words;
    }
    nb::object which = s.shutil.attr("which");
    if (!which("cmd.exe").is_none())
        return global("WSL_BROWSER_DEFAULT").attr("copy")();
    for (const char *opener : KNOWN_OPENERS) {
        if (which(opener).is_none())
            continue;
        if (!truthy(environ.attr("get")("DISPLAY"))) {
            s.logger.attr("warning")(
                "Cannot automatically start your browser: X-forwarding is not enabled for your "
                "session. \nNavigate to the above url manually in your preferred browser.");
            stop = true;
            return nb::none();
        }
        return s.shlex.attr("split")(opener);
    }
    return nb::none();
}

void open_browser(nb::handle self, nb::handle url) {
    State &s = state();
    bool stop = false;
    nb::object command = browser_command(stop);
    if (stop)
        return;
    if (command.is_none() || nb::len(command) == 0) {
        s.logger.attr("warning")(
            "Could not find browser executable to open the above url automatically. Refer to "
            "documentation for proper settings and customizations.\nFor now, navigate to the url "
            "manually in your preferred browser.");
        return;
    }
    command.attr("append")(url);
    s.logger.attr("debug")("Opening browser: %s", join_words(command));
    try {
        nb::object process = s.subprocess.attr("Popen")(command);
        try {
            process.attr("wait")(nb::arg("timeout") = BROWSER_WAIT_SECONDS);
        } catch (nb::python_error &error) {
            if (!error.matches(s.subprocess.attr("TimeoutExpired")))
                throw;
            s.logger.attr("debug")("The browser is still running; serving meanwhile");
        }
    } catch (nb::python_error &error) {
        if (!matches_exception(error))
            throw;
        log_launch_failure(command, error);
    }
}

// The archive named on the command line: none is the newest, "-<...><digit>"
// the one at that digit's index of the list, anything else a file path.
nb::object chosen(nb::handle choice) {
    nb::object find = global("ListSubcommand").attr("find_all_archives");
    if (choice.is_none() || !truthy(choice))
        return find().attr("__getitem__")(0);
    nb::str text(choice);
    Py_ssize_t length = PyUnicode_GetLength(text.ptr());
    Py_UCS4 first = PyUnicode_ReadChar(text.ptr(), 0), last = PyUnicode_ReadChar(text.ptr(), length - 1);
    if (first == '-' && last >= '0' && last <= '9') {
        nb::object archives = find();
        size_t index = size_t(last - '0');
        if (index >= nb::len(archives))
            raise(PyExc_IndexError,
                  nb::str("archive index {} is out of range: {} archive(s) found "
                          "(see 'tavix logs list')")
                      .format(index, nb::len(archives)));
        return archives.attr("__getitem__")(index);
    }
    return state().path_class(choice);
}

}  // namespace

nb::object choose_archive(nb::handle choice) {
    nb::object path = chosen(choice).attr("absolute")();
    if (!truthy(path.attr("exists")()))
        raise(PyExc_FileNotFoundError, nb::str(path));
    return path;
}

nb::object define_view_subcommand(nb::module_ &m, nb::handle subcommand_base) {
    m.def("choose_archive", &choose_archive, nb::arg("choice").none(),
          "The archive a command line names, as an absolute path: the newest for None or \"\",\n"
          "the one at index d of 'tavix logs list' for \"-...d\" (d a digit), else the path\n"
          "itself; FileNotFoundError when nothing is there.");
    state().view_class = ClassBuilder(m, "ViewSubcommand", {subcommand_base})
                     .attr("name", nb::str("view"))
                     .attr("help", nb::str("open and view log archive in browser"))
                     .attr("usage", nb::str("{prog} [archive] [options]"))
                     .attr("description", nb::str(DESCRIPTION).attr("__mod__")("BROWSER"))
                     .method("__init__", &view_init)
                     .method("run", &view_run, nb::arg("args").none())
                     .method("_guess_hostname", &guess_hostname, nb::arg("host").none())
                     .method("_open_browser", &open_browser, nb::arg("url").none())
                     .build();
    return state().view_class;
}

}  // namespace tavix::logs
