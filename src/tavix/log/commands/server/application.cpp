// LogViewerServer: the aiohttp application serving one opened run archive.
#include <class_builder.hpp>

#include "coroutine.hpp"
#include "server.hpp"

namespace tavix::server {

namespace {

struct Route {
    const char *suffix;  // put after the URL prefix, or the whole path
    const char *name;    // route name and handler name
    bool prefixed;
};

// The router answers with the first matching route, so the order matters:
// the HTML viewer must come before the catch-all entry page.
constexpr Route kRoutes[] = {
    {"/results", "results", true},
    {"/tree", "tree", true},
    {"/metadata", "metadata", true},
    {"/summary", "summary", true},
    {"/tasks", "tasks", true},
    {"/sections/{section_uuid}", "sections", true},
    {"/sections/{section_uuid}/executions", "executions", true},
    {"/archive_name", "archive_name", true},
    {"/filelist", "filelist", true},
    {"/filelines/{filename}", "filelines", true},
    {"/download", "download_archive", true},
    {"/download/{filename:\\S+}", "download_file", true},
    {"/sections/{section_uuid}/log", "logfile_sec", true},
    // Before the device command's log, whose route it would match.
    {"/sections/{section_uuid}/baseline/log", "baseline_section_log", true},
    {"/sections/{section_uuid}/{execution_uuid}/log", "logfile_exe", true},
    {"/sections/{section_uuid}/search", "section_search", true},
    {"/sections/{section_uuid}/next_record", "next_record", true},
    {"/search", "job_search", true},
    {"/line_query", "line_query", true},
    // Paging and scans at the scale of a nightly run.
    {"/sections/{section_uuid}/scan", "scan_status", true},
    {"/filepage/{filename}", "filepage", true},
    {"/categories", "categories", true},
    {"/timeline", "timeline", true},
    {"/timeline/{task}/histogram", "timeline_histogram", true},
    // Comparison with a baseline run.
    {"/compare", "compare", true},
    {"/sections/{section_uuid}/diff", "section_diff", true},
    {"/history", "run_history", true},
    {"/history/sections/{section_uuid}", "section_history", true},
    {"/result/archive/{filename:\\S+\\.(html|pdf)}", "htmlviewer", false},
    // Beside the two above: any file name (spaces included) and report names
    // in any case, as the front end links them.
    {"/file/{filename:.+}", "file_download", true},
    {"/reports/{filename:.+}", "report", false},
    {"/result{tail:\\S*}", "index", false},
};

struct Handler {
    const char *name;
    HandlerBody body;
    const char *doc;  // the route's docstring
};

constexpr Handler kHandlers[] = {
    {"index", index,
     "GET /result[...]: the front end's entry page, for every path below /result.\n\n"
     "With an access token, ?token=<token> sets the access cookie and redirects to the\n"
     "same address without the token."},
    {"metadata", metadata,
     "GET prefix/metadata: the job metadata."},
    {"results", results,
     "GET prefix/results: every task record with its sections, as parsed."},
    {"tree", tree,
     "GET prefix/tree: the test tree in compact form,\n"
     "{\"columns\", \"types\", \"results\", \"tasks\", \"rows\"}.\n\n"
     "Each row is [id, parent, name, type, result, run_time, sequence_number, step]: parent is\n"
     "the index of the parent row or -1 at a task's top; type and result index the \"types\"\n"
     "and \"results\" tables (a missing result is \"\"); step is the index of a step within its\n"
     "section's \"steps\", null for sections. Rows come in tree order, task after task; each\n"
     "task entry {\"name\", \"result\", \"run_time\", \"rows\"} says how many rows are its own."},
    {"summary", summary,
     "GET prefix/summary: the job's result counts."},
    {"tasks", tasks,
     "GET prefix/tasks: the task names with their positions."},
    {"sections", sections,
     "GET prefix/sections/{section_uuid}: the section or step record."},
    {"executions", executions,
     "GET prefix/sections/{section_uuid}/executions[?offset=&limit=&device=&q=]: the device\n"
     "commands found in the section's log.\n\n"
     "Without query parameters: the whole list of execution objects. With any of them: one\n"
     "page, {\"total\": the number of matching commands, \"offset\", \"executions\": at most\n"
     "`limit` of them in order, \"next\": the link to the following page or null}. offset: 0\n"
     "and up (default 0); limit: 1 to 10000 (default 100); device: only that device's\n"
     "commands; q: only commands whose title or block text (its first 16 MiB) holds it,\n"
     "ignoring case (each\n"
     "at most 1000 characters). A page ends early once its texts take 8 MiB (\"next\" goes\n"
     "on after its last command); a title or block text over 1 MiB is cut there and its\n"
     "command marked \"truncated\": true. A bad value answers status 500 with its \"detail\". The\n"
     "first scan of a section runs in a worker thread, and requests for the same section\n"
     "wait for that one scan."},
    {"archive_name", archive_name,
     "GET prefix/archive_name: the archive's file name."},
    {"logfile_sec", logfile_sec,
     "GET prefix/sections/{section_uuid}/log?offset=&limit=[&severities=1][&headers=1]: a page of the section's log with links to its neighbours.\n\n"
     "limit is at most 4194304 (4 MiB). With severities=1 the answer adds \"severities\": [[offset\n"
     "of the line in the section, severity], ...] of the record lines that start in the page; with\n"
     "headers=1 it adds \"headers\": [[offset, severity, stamp start, stamp end, message start], ...]\n"
     "of the same lines, positions in UTF-16 code units from the line's start ([offset, severity]\n"
     "for a header too long to show apart)."},
    {"logfile_exe", logfile_exe,
     "GET prefix/sections/{section_uuid}/{execution_uuid}/log: the lines of one device command.\n\n"
     "A command of more than 4 MiB of text answers its first 4 MiB, with \"truncated\": true\n"
     "and its \"line_count\"."},
    {"filelist", filelist,
     "GET prefix/filelist: the archive's files and folders in pre-order."},
    {"filelines", filelines,
     "GET prefix/filelines/{filename}: a text file's lines.\n\n"
     "A file of more than 4 MiB answers its first 4 MiB, with \"truncated\": true and\n"
     "\"file_size\" in bytes; filepage pages through the rest. Lines whose text would take more\n"
     "than 8 MiB escaped for JSON end earlier, the same way."},
    {"htmlviewer", htmlviewer,
     "GET /result/archive/{filename}.html|pdf: an HTML or PDF file of the archive.\n\n"
     "With an access token, HTML files come with \"Content-Security-Policy: sandbox\n"
     "allow-scripts allow-popups\": their scripts run, in an origin of their own."},
    {"download_archive", download_archive,
     "GET prefix/download: the archive itself."},
    {"download_file", download_file,
     "GET prefix/download/{filename}: one file of the archive."},
    {"file_download", download_file,
     "GET prefix/file/{filename}: one file of the archive, as prefix/download/{filename} gives\n"
     "it, for any name (white space included)."},
    {"report", report,
     "GET /reports/{filename}: an HTML or PDF report of the archive, as /result/archive/ gives\n"
     "it, for any name (white space included) ending in .html or .pdf in any case; other files\n"
     "answer SERVE_FILE_FAILED."},
    {"section_search", section_search,
     "GET prefix/sections/{section_uuid}/search?q=&regex=1&case=1&offset=&limit=: the lines of\n"
     "the section's log that hold q, in file order, one hit per line.\n\n"
     "q is 1 to 1000 characters, a literal text unless regex=1 (a regular expression without\n"
     "backreferences or lookaround; \\d, \\w, \\s and \\b are ASCII); case is ignored (Unicode case\n"
     "folding) unless case=1. The search starts at the byte offset `offset` within the\n"
     "section and takes at most `limit` hits (default 100, at most 1000). Answer:\n"
     "{\"query\", \"hits\", \"next\", \"scanned_to\"}, each hit {\"offset\" (of its line within\n"
     "the section), \"line\" (index as read_lines counts), \"column\", \"length\" (characters),\n"
     "\"text\" (the line without its line end, cut at 16 KiB with \"truncated\": true)}. An answer\n"
     "stops after about 200 ms or 256 MiB with fewer hits and \"next\" set: the same query from\n"
     "\"scanned_to\", carrying `line` (the index of the line there) and, inside a line longer\n"
     "than 1 MiB, `line_start`, so the next page need not count lines again. A bad q, offset\n"
     "or limit answers 400 {\"detail\": \"INVALID_QUERY\"}; an unknown section answers as the\n"
     "sections route does. Section searches run in two threads of their own, at most six per\n"
     "client at a time (429 {\"detail\": \"TOO_MANY_SEARCHES\"} beyond)."},
    {"next_record", next_record,
     "GET prefix/sections/{section_uuid}/next_record?offset=&severity=: the first record line\n"
     "that starts at or after the byte offset `offset` of the section (a line the offset falls\n"
     "inside of is passed over) with a severity of `severity` (default 3, errors) or lower:\n"
     "{\"line\": {\"offset\", \"severity\", \"text\"} or null, \"next\"}. After 256 MiB without\n"
     "one, \"line\" is null and \"next\" links to the same question from where it stopped.\n"
     "A bad offset or severity answers 400 {\"detail\": \"INVALID_QUERY\"}."},
    {"job_search", job_search,
     "GET prefix/search?q=&regex=1&case=1: hit lines per section over every task log, in one\n"
     "pass through each log: {\"query\", \"total\", \"sections\": [{\"id\", \"hits\"}]} in tree\n"
     "order, sections without hits left out. A hit line counts for the deepest section or\n"
     "step whose byte range holds its first match. Parameters and INVALID_QUERY as for the\n"
     "section search; \"complete\": false is added if the logs took longer than a minute\n"
     "together (LogViewerServer.job_search_seconds). Sections whose log cannot be read (missing,\n"
     "not a file, starting past its end) are left out and listed as \"unreadable\": [ids].\n\n"
     "Job searches run in two threads of their own, at most two per client (address) at a time;\n"
     "a third answers 429 {\"detail\": \"TOO_MANY_SEARCHES\"} with Retry-After: 1. A search whose\n"
     "client goes away stops at its next block of the log."},
    {"line_query", line_query,
     "GET prefix/line_query?text=MESSAGE: a log line's message (its header left out) as a search\n"
     "of other runs: {\"masked\", \"query\", \"command\"}, the message masked as failure\n"
     "signatures mask a cause (its first 400 characters), the regular expression matching the\n"
     "same line with any such fields, and the `tavix logs search --runs all -E` command line\n"
     "searching every indexed run for it. No text, or none to search for: 400 INVALID_QUERY."},
    // Paging and scans at the scale of a nightly run.
    {"scan_status", scan_status,
     "GET prefix/sections/{section_uuid}/scan: whether the section's device commands are being\n"
     "scanned, {\"scanning\": true or false, \"elapsed\": seconds since the scan started, or null}."},
    {"filepage", filepage,
     "GET prefix/filepage/{filename}?offset=&limit=: one page of a file of the archive, as the\n"
     "section log pages a section: {\"previous\", \"next\", \"file_content\"}, offset and limit\n"
     "in bytes, limit at most 4194304 (default: the server's page size). A page whose text would\n"
     "take more than 8 MiB escaped for JSON covers fewer bytes, and its links step by those."},
    {"categories", categories,
     "GET prefix/categories[?causes=true]: the failures grouped by cause,\n"
     "{\"categories\": [{\"signature\", \"example\", \"count\", \"results\", \"sections\"}, ...],\n"
     "\"unexplained\": [ids]}.\n\n"
     "Failing nodes are the sections and steps whose result is failed, errored, aborted or\n"
     "blocked with nothing of those results below them (steps nest by step id). A node's cause\n"
     "line is the first record line of the execution host in its byte range with a severity of\n"
     "3 or less, else the last one of severity 4; nodes without one are unexplained. Nodes whose\n"
     "cause messages have the same signature (numbers, hexadecimal numbers, IP and MAC\n"
     "addresses, UUIDs, quoted strings, dates and times replaced by placeholders, white space\n"
     "collapsed) form a category: \"example\" is its first node's message, \"results\" counts\n"
     "its nodes by result, \"sections\" lists them in tree order, a step as its section's id,\n"
     "\"#\" and its own id. Categories come largest first, then by first appearance. Computed\n"
     "off the event loop on the first request and kept for the opening.\n"
     "causes=true adds \"causes\" to each category: [offset of the cause line from the node's\n"
     "log start, severity] for each of its nodes. Nodes whose log cannot be read are listed as\n"
     "\"unreadable\": [ids], when there are any."},
    {"timeline", timeline,
     "GET prefix/timeline: when each section ran and where its log lies,\n"
     "{\"columns\": [\"id\", \"start\", \"stop\", \"log_start\", \"log_size\"],\n"
     "\"tasks\": [{\"sections\": [[id, start, stop, log_start, log_size], ...]}, ...]}, tasks and\n"
     "sections in tree order; start and stop are seconds since 1970 of the section's start and\n"
     "stop times (read as UTC), null when missing or not a date and time; log_start and log_size\n"
     "are the section's byte range in its task log (a size of 0 or less: to the end)."},
    {"timeline_histogram", timeline_histogram,
     "GET prefix/timeline/{task}/histogram: warnings and errors of task {task}'s log over time\n"
     "(task: the position in prefix/tasks), {\"width\": seconds per bin, \"times\": bin starts,\n"
     "\"warnings\": [...], \"errors\": [...], \"offsets\": [...]}: record lines of the execution\n"
     "host of severity 4 and of 3 or less, counted by their time stamps (read as UTC) in one\n"
     "native pass off the event loop, then kept for the opening; only bins holding such a line,\n"
     "at most 20000 (wider bins for long runs); \"offsets\" gives each bin's first such line as a\n"
     "byte offset in the log."},
    // Comparison with a baseline run.
    {"compare", compare,
     "GET prefix/compare: what changed from the baseline run to this one, {\"base\", \"new\",\n"
     "\"same_suite\", \"newly_failing\", \"fixed\", \"still_failing\", \"only_in_base\",\n"
     "\"only_in_new\", \"categories\"} as parser.base.compare_runs gives it; each section entry\n"
     "also has \"id\": the section's id in this run, null for one only the baseline has.\n"
     "Computed off the event loop on the first request and kept for the opening. Without a\n"
     "baseline: status 500 {\"detail\": \"NO_BASELINE\"}."},
    {"section_diff", section_diff,
     "GET prefix/sections/{section_uuid}/diff[?context=N]: the section's log against the section\n"
     "of the same path in the baseline run, with N lines of context (0 to 1000, default 3):\n"
     "{\"path\", \"identical\", \"approximate\", \"masked\", \"hunks\"} as\n"
     "parser.base.diff_sections gives it with offsets=True and headers=True. Computed off the event loop,\n"
     "within a memory budget the server's diffs share (256 MiB each for two at once, at least 16 MiB\n"
     "for more, approximate beyond it). Without\n"
     "a baseline: status 500 {\"detail\": \"NO_BASELINE\"}; a section (or step) the baseline\n"
     "has no section for: status 404 {\"detail\": \"NOT_IN_BASELINE\"}; a bad context: 400\n"
     "{\"detail\": \"INVALID_QUERY\"}; an unknown section answers as the sections route does."},
    {"baseline_section_log", baseline_section_log,
     "GET prefix/sections/{section_uuid}/baseline/log?offset=&limit=: a page of the log of the\n"
     "baseline run's section of the same path as this run's section, as prefix/sections/{id}/log\n"
     "pages a section of this run (links to its neighbours, severities=1 and headers=1 included), so\n"
     "that a diff's base lines can be read where they stand. Without a baseline: status 500 {\"detail\": \"NO_BASELINE\"};\n"
     "a section the baseline has no section for: status 404 {\"detail\": \"NOT_IN_BASELINE\"}; an unknown\n"
     "section answers as the sections route does."},
};

constexpr Handler kHistoryHandlers[] = {
    {"run_history", run_history,
     "GET prefix/history: the history of the run's failing sections over the earlier runs of\n"
     "its suite in the run index,\n"
     "{\"run\": {\"request_id\", \"suite_name\", \"start_time\"}, \"window\": N,\n"
     "\"earlier_runs\": [{\"request_id\", \"start_time\"}, ... newest first],\n"
     "\"nodes\": [{\"id\", \"path\", \"type\", \"result\", \"status\", \"streak\", \"since\",\n"
     "\"history\"}, ... in tree order], \"categories\": [{\"signature\", \"example\", \"count\",\n"
     "\"status\", \"first_seen\"}, ...]}, as `tavix logs history --json` prints it (\"marks\" on\n"
     "each node and category included), with each node's section \"id\" in this opening\n"
     "added. Made off the event loop at each request, for the marks as they are now (the\n"
     "history itself is worked out once). Without a run index: 500 {\"detail\": \"NO_INDEX\"};\n"
     "an index that fails: 500 {\"detail\": \"HISTORY_RETRIEVE_FAILED\"}."},
    {"section_history", section_history,
     "GET prefix/history/sections/{section_uuid}: the section's result in each run of the\n"
     "window, this run first: {\"id\", \"path\", \"runs\": [{\"request_id\", \"start_time\",\n"
     "\"result\" (null where that run has no section of this path)}, ...]}. A step or an\n"
     "unknown id has no history of its own: status 404 {\"detail\": \"SECTION_RETRIEVE_FAILED\"};\n"
     "no run index: as prefix/history."},
};

constexpr const char *kServerDoc =
    "HTTP application through which a browser looks at one opened run archive.\n\n"
    "LogViewerServer(archive, fread_size=20480, url_prefix=\"/private/v1/standalone\", *,\n"
    "                access_token=None, access_hosts=(), baseline=None, history=None,\n"
    "                scan_budget=None, **kwargs)\n\n"
    "scan_budget: bytes that the kept device-command scans of all sections, with the\n"
    "filter results kept with them, may take together (the process's one table,\n"
    "LogSection.child_execute.fget; 512 MiB unless set). Least recently used sections\n"
    "are dropped first and scanned again when asked for, with the same execution ids.\n\n"
    "history: the run's history in the run index (a ViewerHistory), served by the\n"
    "prefix/history routes; None answers them {\"detail\": \"NO_INDEX\"}. A history with an\n"
    "add_routes(router, url_prefix) method adds routes of its own there (the local viewer's\n"
    "triage), which the access token guards as the others.\n\n"
    "access_token: None serves every request. A text lets in only requests that carry it:\n"
    "the entry page /result?token=<token> sets a cookie (HttpOnly, SameSite=Strict, a day's\n"
    "Max-Age) holding a secret derived from the token and redirects to the same address\n"
    "without it; every other route but the static files (all routes under url_prefix,\n"
    "downloads, the HTML viewer) needs that cookie, on requests the browser marks\n"
    "Sec-Fetch-Site: same-origin or none, or an 'Authorization: Bearer <token>' header,\n"
    "else answers 403 {\"detail\": \"ACCESS_DENIED\"}. The entry page clears the cookies\n"
    "of other viewers (tavix_viewer_*) beyond the eight most recently issued.\n"
    "Requests whose Host is not this machine's (localhost, 127.0.0.1, [::1], the address\n"
    "connected to, or a name of access_hosts) are refused the same way, and HTML reports\n"
    "of the archive are sent sandboxed (Content-Security-Policy: sandbox allow-scripts\n"
    "allow-popups), so their scripts cannot read the viewer's routes.\n"
    "access_hosts: further Host names to accept, such as the one the URL shows.\n"
    "baseline: None, or another opened Archive to compare this run with (the compare and\n"
    "section diff routes).\n\n"
    "job_search_seconds (class attribute, 60.0): how long one request of prefix/search may\n"
    "search the task logs before it answers with \"complete\": false.\n\n"
    "kwargs go to web.Application; middlewares given there see every route's answer\n"
    "before it is prepared, so they can set its headers. Large JSON answers are written\n"
    "in worker threads with the bytes json.dumps gives, and stop when their client leaves\n"
    "or the server shuts down.";

// Largest header field a request may bring: browsers send every viewer's
// cookie to every port of localhost, so the Cookie header of a user who
// opened many runs outgrows the library's default of 8190 bytes.
constexpr long long kMaxFieldSize = 32 * 1024;

// The logger of the HTTP connections. A malformed request, which anyone on
// the machine can send without the token, is written at debug level only,
// instead of as an error with its traceback on the user's terminal.
nb::object requests_logger() {
    static nb::handle logger;
    if (logger)
        return nb::borrow(logger);
    nb::module_ logging = nb::module_::import_("logging");
    nb::object created = logging.attr("getLogger")("tavix.log.commands.server.requests");
    nb::object malformed = nb::module_::import_("aiohttp.http_exceptions").attr("HttpProcessingError");
    nb::object debug = logging.attr("DEBUG");
    nb::object demote = nb::cpp_function([malformed, debug, created](nb::handle record) -> bool {
        nb::object info = record.attr("exc_info");
        if (!PyTuple_Check(info.ptr()) || nb::len(info) < 2 || !PyObject_IsInstance(info[1].ptr(), malformed.ptr()))
            return true;
        if (!nb::cast<bool>(created.attr("isEnabledFor")(debug)))
            return false;
        record.attr("levelno") = debug;
        record.attr("levelname") = "DEBUG";
        return true;
    });
    created.attr("addFilter")(demote);
    logger = created.release();  // kept for the process lifetime
    return nb::borrow(logger);
}

// The caller's handler_args, with the field size and logger above where
// they give none.
nb::dict handler_args(nb::handle given) {
    nb::dict args;
    if (!given.is_none())
        args = nb::steal<nb::dict>(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), given.ptr()));
    if (!args.is_valid())
        throw nb::python_error();
    if (!args.contains("max_field_size"))
        args["max_field_size"] = kMaxFieldSize;
    if (!args.contains("logger"))
        args["logger"] = requests_logger();
    // A request whose client has gone is cancelled, and so is its search.
    if (!args.contains("handler_cancellation"))
        args["handler_cancellation"] = true;
    return args;
}

void server_init(nb::handle self, nb::handle archive, nb::handle fread_size,
                 nb::handle url_prefix, nb::handle access_token, nb::handle access_hosts,
                 nb::handle baseline, nb::handle history, nb::handle scan_budget, nb::kwargs kwargs) {
    kwargs["handler_args"] = handler_args(kwargs.contains("handler_args") ? nb::object(kwargs["handler_args"])
                                                                          : nb::object(nb::none()));
    super_of(state->server_class, self).attr("__init__")(**kwargs);
    self.attr("archive") = archive;
    self.attr("fread_size") = fread_size;
    self.attr("baseline") = baseline;
    nb::dict header;
    header["Access-Control-Allow-Origin"] = "*";
    self.attr("_default_header") = header;
    self.attr("_scans") = nb::dict();
    self.attr("_searches") = new_search_state();
    self.attr("_answers") = new_answer_flags();
    self.attr("history") = history;
    // One table of scans serves every section view of the process.
    if (!scan_budget.is_none())
        state->scan_cache.attr("budget") = scan_budget;

    nb::object router = self.attr("router");
    nb::object add_get = router.attr("add_get");
    for (const Route &route : kRoutes) {
        nb::object path = route.prefixed ? nb::object(url_prefix + nb::str(route.suffix))
                                         : nb::object(nb::str(route.suffix));
        nb::object handler = self.attr(route.name);
        add_get(path, handler, nb::arg("name") = route.name);
    }
    // The history's own routes (the local viewer's triage), before the
    // static files, which would answer any other path.
    if (!history.is_none()) {
        nb::object add_routes = optional_attr(history, "add_routes");
        if (add_routes.is_valid())
            add_routes(router, url_prefix);
    }
    router.attr("add_static")("/", state->static_dir, nb::arg("name") = "static");
    self.attr("on_startup").attr("append")(self.attr("_warm_up"));
    self.attr("on_shutdown").attr("append")(self.attr("_stop_searches"));
    self.attr("on_shutdown").attr("append")(self.attr("_stop_scans"));
    self.attr("on_shutdown").attr("append")(self.attr("_stop_answers"));
    install_answer_slots(self);
    // Inserted before the slots: an unknown client never waits for one.
    install_access_guard(self, url_prefix, access_token, access_hosts);
}

nb::object serve(nb::handle self, nb::args args, nb::kwargs kwargs) {
    // Looked up at each call, as a plain call of web.run_app would be.
    return nb::module_::import_("aiohttp.web").attr("run_app")(self, *args, **kwargs);
}

}  // namespace

void define_server_class(nb::module_ &m) {
    nb::object application = nb::module_::import_("aiohttp.web").attr("Application");
    // Attributes the application sets on itself; aiohttp's debug mode warns
    // about any other.
    nb::object attrs = application.attr("ATTRS").attr("union")(
        nb::make_tuple("archive", "fread_size", "_default_header",
                       "access_token", "_scans", "_computed", "_searches", "_answers", "baseline",
                       "history"));

    ClassBuilder builder(m, "LogViewerServer", {application});
    builder.doc(kServerDoc)
        .attr("ATTRS", attrs)
        .attr("job_search_seconds", nb::float_(60.0))
        .method("__init__", &server_init, nb::arg("archive"), nb::arg("fread_size") = 20480,
                nb::arg("url_prefix") = "/private/v1/standalone", nb::kw_only(),
                nb::arg("access_token").none() = nb::none(), nb::arg("access_hosts") = nb::tuple(),
                nb::arg("baseline").none() = nb::none(), nb::arg("history").none() = nb::none(),
                nb::arg("scan_budget").none() = nb::none(), nb::arg("kwargs"));
    auto add_handler = [&](const Handler &handler) {
        std::string qualname = std::string("LogViewerServer.") + handler.name;
        builder.attr(handler.name,
                     coroutine_method(handler.name, qualname.c_str(), handler.body, handler.doc));
    };
    for (const Handler &handler : kHandlers)
        add_handler(handler);
    for (const Handler &handler : kHistoryHandlers)
        add_handler(handler);
    builder.attr("_warm_up", coroutine_method("_warm_up", "LogViewerServer._warm_up", warm_up,
                                              "Starts making the tree answer as the server starts."));
    builder.attr("_stop_searches",
                 coroutine_method("_stop_searches", "LogViewerServer._stop_searches", stop_searches,
                                  "Stops the searches still running as the server shuts down."));
    builder.attr("_stop_scans",
                 coroutine_method("_stop_scans", "LogViewerServer._stop_scans", stop_scans,
                                  "Stops the device-command scans still running as the server shuts down."));
    builder.attr("_stop_answers",
                 coroutine_method("_stop_answers", "LogViewerServer._stop_answers", stop_answers,
                                  "Stops the answers still being written as the server shuts down."));
    builder.method("_download", &download, nb::arg("file"))
        .method("serve", &serve, nb::arg("args"), nb::arg("kwargs"));

    // aiohttp discourages subclassing its application with a deprecation
    // warning; this class is meant to be one, so the warning is silenced for
    // its creation only.
    nb::module_ warnings = nb::module_::import_("warnings");
    nb::object guard = warnings.attr("catch_warnings")();
    guard.attr("__enter__")();
    try {
        warnings.attr("filterwarnings")("ignore", nb::arg("message") = "Inheritance class",
                                        nb::arg("category") = nb::handle(PyExc_DeprecationWarning));
        state->server_class = builder.build();
    } catch (...) {
        guard.attr("__exit__")(nb::none(), nb::none(), nb::none());
        throw;
    }
    guard.attr("__exit__")(nb::none(), nb::none(), nb::none());
}

}  // namespace tavix::server
