// Shared pieces of the log viewer server: the objects the handlers use on
// every request, resolved once at import and kept for the process lifetime,
// and the error-answer helpers.
#pragma once

#include <cancel_flag.hpp>
#include <nanobind/nanobind.h>
#include <py_helpers.hpp>

#include <exception>
#include <functional>
#include <string>
#include <utility>

namespace tavix::server {

namespace nb = nanobind;

struct State {
    nb::object json_response;  // aiohttp.web.json_response
    nb::object dumps;          // json.dumps
    nb::object compact_dumps;  // json.dumps without blanks after separators
    nb::object cancelled_error;  // concurrent.futures.CancelledError: work stopped for a client gone
    nb::object file_response;  // aiohttp.web.FileResponse
    nb::object response;       // aiohttp.web.Response
    nb::object server_class;   // LogViewerServer, once built
    nb::str link_pattern;      // page links
    nb::object logger;         // logging.getLogger(<this module>)
    nb::object here;           // directory of this module
    nb::object static_dir;     // HERE/static
    nb::object index_html;     // HERE/static/index.html
    nb::object os_path_join, os_path_basename, os_path_isfile, os_path_exists, os_fspath;
    nb::object io_open;
    nb::object format_exception;  // traceback.format_exception
    nb::object pyint;             // builtins.int
    nb::object key_error, permission_error, file_not_found_error;
    nb::object debug_level;       // logging.DEBUG
    nb::object get_running_loop, monotonic, url_quote, os_stat;
    // The stock pieces of the section view and the archive, for the
    // shortcuts taken while they are in place (looked up at the first
    // request that needs them).
    PyObject *stock_execute_read_logs = nullptr, *stock_read_file = nullptr;
    // computed once per opening, off the event loop
    nb::object failure_categories, severity_histogram;      // from the parser's base module
    nb::object section_commands;  // its SectionCommands: every route's way to a section's commands
    nb::object scan_cache;        // its kept scans
    // interned names of the hot path
    nb::str archive, results, get_section, read_logs, log_size, path, query, match_info,
        offset, limit, fread_size, default_header, headers, data, get;
};

// The interned text `text`, for names looked up on every request.
nb::str interned(const char *text);

// Built by init_state in module.cpp; never freed, so nothing is released
// after the interpreter has gone.
extern State *state;

void init_state(nb::module_ &m);

// The server's `_default_header`. Attribute lookups are always taken into
// an object before they become call arguments: a lookup that fails inside
// the argument list of a call would end the process on older interpreters.
nb::object default_header(nb::handle self);

// The JSON answer web.json_response(body, headers=self._default_header).
nb::object json_answer(nb::handle self, nb::handle body);

// JSON bodies made in worker threads (json_bodies.cpp). json_bytes gives the
// bytes json.dumps(value) gives (with "," and ":" between items when
// `compact`); given a flag, it lets the interpreter lock go every 64 KiB so
// that the loop answers others meanwhile, and stops with CancelledError
// there once `flag` is set (no flag: on the loop's thread, keeping the lock).
// bytes_answer is the answer json_response would make of the bytes;
// json_answer with a flag does both.
nb::bytes json_bytes(nb::handle value, const CancelFlag &flag, bool compact = false);
nb::object bytes_answer(nb::handle self, nb::handle body);
nb::object json_answer(nb::handle self, nb::handle body, const CancelFlag &flag);

// The JSON answer of a log page {"previous", "next", "file_content"}, with
// the bytes json_response would send, written natively.
nb::object page_answer(nb::handle self, nb::handle previous, nb::handle next, nb::handle content);

// The bytes a text takes in a JSON answer, quotes and escapes included (0
// for anything but a str).
Py_ssize_t json_size(nb::handle text);

// The error answer: status 500 (or `status`), {"detail": detail}, the default headers.
nb::object error_answer(nb::handle self, nb::handle detail, int status = 500);
nb::object error_answer(nb::handle self, const char *detail, int status = 500);

// The status with which the routes beside the original ones answer a case
// their clients meet in ordinary use (a section the baseline lacks, a step
// without a history of its own): the thing asked for is not there.
constexpr int kNotThere = 404;

// The exception instance carried by `error`, with its traceback.
nb::object exception_value(const nb::python_error &error);

// Writes `message` at debug level, then, when `error` is given, the formatted
// traceback of that exception as a second line.
void debug_lines(nb::handle message, const nb::python_error *error);
// The same with the traceback of the exception instance `exception`.
void debug_lines(nb::handle message, nb::handle exception);

// Runs `body`; an ordinary exception (an instance of Exception, or a C++
// exception, raised as its Python counterpart) goes to
// `on_error(const nb::python_error &)` instead. KeyboardInterrupt, SystemExit
// and the other BaseExceptions go on to the caller, as they would through a
// Python `except Exception:`.
template <typename Body, typename OnError>
nb::object guarded(Body &&body, OnError &&on_error) {
    try {
        return body();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return on_error(e);
    } catch (...) {
        restore_as_python_error();
    }
    nb::python_error e;
    if (!e.matches(PyExc_Exception))
        throw e;
    return on_error(e);
}

// Runs `body`; on an ordinary exception writes `message` and the traceback at debug
// level and answers the error `detail` (the common shape of the endpoints).
template <typename Body>
nb::object answer_or_report(nb::handle self, Body &&body, const char *message, const char *detail) {
    return guarded(std::forward<Body>(body), [&](const nb::python_error &e) {
        debug_lines(nb::str(message), &e);
        return error_answer(self, detail);
    });
}

// The full path of `name` inside the archive's extraction directory; raises
// PermissionError when it would resolve (through "..", an absolute path or a
// symbolic link) to anything outside that directory.
nb::object contained_path(nb::handle self, nb::handle name);

// The section of the request's "section_uuid"; KeyError when the parser
// knows none. section_retrieve_failed gives the sections route's answer to
// that KeyError, with `status` (and raises anything else again).
nb::object known_section(nb::handle self, nb::handle request);
nb::object section_retrieve_failed(nb::handle self, const nb::python_error &e, int status = 500);
// For answers that do not change while the archive is open: runs `compute`
// in a worker thread on the first request (later ones wait on the loop),
// keeps its value under `key`, and answers `finish(future)` on the loop,
// where future.result() gives the value or raises the computation's error
// (a failure is not kept: the next request computes again).
nb::object computed_once(nb::handle self, nb::handle key, std::function<nb::object()> compute,
                         std::function<nb::object(nb::handle)> finish);

// Device-command scans: a future of the section's SectionCommands, scanned in
// a worker thread. Requests for a section being scanned share its scan, so a
// section is scanned once and its execution ids are handed out once.
nb::object executions_of(nb::handle self, nb::handle section);
// then(executions_of(section), step) for one request: a scan stops once every
// request waiting for it has gone. A section whose scan is kept, or an object
// that is not a LogSection, needs none: the step follows at once.
nb::object after_scan(nb::handle self, nb::handle section, std::function<nb::object(nb::handle)> step);
// Stops the scans still running as the server shuts down (a coroutine body
// run with the application).
nb::object stop_scans(nb::handle self, nb::handle app);

// Imports the stock pieces of the section view and the archive into `state` once.
void find_stock_pieces();

// Whether `object` reaches `stock` under `name` (not overridden, not shadowed).
bool uses_stock(nb::handle object, const char *name, PyObject *stock);

// Largest text a file-lines or device-command answer holds, and largest page.
constexpr long long kTextCap = 4LL << 20;
// Escaped for JSON, text grows: two-fold at most for characters outside
// ASCII, six-fold for control bytes. The file routes keep their answers'
// escaped text within this, reading less.
constexpr long long kEscapedCap = 2 * kTextCap;

// Handlers (coroutine bodies) and the plain method.
nb::object metadata(nb::handle self, nb::handle request);
nb::object results(nb::handle self, nb::handle request);
nb::object tree(nb::handle self, nb::handle request);
// Startup: work begun before the first request asks for it.
nb::object warm_up(nb::handle self, nb::handle app);
nb::object categories(nb::handle self, nb::handle request);
nb::object run_history(nb::handle self, nb::handle request);
nb::object section_history(nb::handle self, nb::handle request);
nb::object timeline(nb::handle self, nb::handle request);
nb::object timeline_histogram(nb::handle self, nb::handle request);
nb::object summary(nb::handle self, nb::handle request);
nb::object tasks(nb::handle self, nb::handle request);
nb::object sections(nb::handle self, nb::handle request);
nb::object executions(nb::handle self, nb::handle request);
nb::object archive_name(nb::handle self, nb::handle request);
nb::object index(nb::handle self, nb::handle request);
nb::object scan_status(nb::handle self, nb::handle request);
nb::object filepage(nb::handle self, nb::handle request);

nb::object logfile_sec(nb::handle self, nb::handle request);
// The page of `section`'s log that the request's offset and limit ask for,
// as logfile_sec answers it, with links to the request's own path.
nb::object section_log_page(nb::handle self, nb::handle request, nb::handle section);
nb::object logfile_exe(nb::handle self, nb::handle request);
nb::object filelist(nb::handle self, nb::handle request);
nb::object filelines(nb::handle self, nb::handle request);
nb::object htmlviewer(nb::handle self, nb::handle request);
nb::object report(nb::handle self, nb::handle request);
// Whether a file name ends in .html or .pdf, in any case.
bool is_report_name(nb::handle name);
nb::object download_archive(nb::handle self, nb::handle request);
nb::object download_file(nb::handle self, nb::handle request);
nb::object download(nb::handle self, nb::handle file);

// A query parameter that is not what the route takes.
struct InvalidQuery {};
// The answer to it: status 400, {"detail": "INVALID_QUERY"}.
nb::object invalid_query(nb::handle self);
// A query parameter as an integer in [lowest, highest]; `fallback` when
// absent. InvalidQuery otherwise.
long long int_param(nb::handle query, const char *name, long long fallback, long long lowest,
                    long long highest);

nb::object section_search(nb::handle self, nb::handle request);
nb::object next_record(nb::handle self, nb::handle request);
nb::object job_search(nb::handle self, nb::handle request);
nb::object line_query(nb::handle self, nb::handle request);
// The server's `_searches` when it is built; stopping them all as it shuts
// down (a coroutine body run with the application).
nb::dict new_search_state();
nb::object stop_searches(nb::handle self, nb::handle app);

// Access token (access.cpp). The AccessGuard middleware class, defined before
// the server class; its installation on a server when a token is given; the
// headers of an archive report: the default ones, with a sandboxing policy
// for HTML while a token is in force.
void define_access_guard(nb::module_ &m);
void install_access_guard(nb::handle self, nb::handle url_prefix, nb::handle access_token,
                          nb::handle access_hosts);
nb::object report_headers(nb::handle self, nb::handle path);

// Comparison with a baseline run (comparison_endpoints.cpp).
nb::object compare(nb::handle self, nb::handle request);
nb::object section_diff(nb::handle self, nb::handle request);
nb::object baseline_section_log(nb::handle self, nb::handle request);

// Flags of the answers made in workers (answer_flags.cpp). The server's
// `_answers` when it is built; watch_answer sets `flag` once the future
// `answer` is cancelled (its client has gone) or the server shuts down;
// built_off_loop is off_loop for an answer made whole in a worker by
// `work(flag)`, so watched; stopping_flag is the flag of work done once for
// every client, set only as the server shuts down; stop_answers sets them all
// (a coroutine body run with the application).
nb::dict new_answer_flags();
void watch_answer(nb::handle self, nb::handle answer, const CancelFlag &flag);
nb::object built_off_loop(nb::handle self, std::function<nb::object(const CancelFlag &)> work);
CancelFlag stopping_flag(nb::handle self);
nb::object stop_answers(nb::handle self, nb::handle app);

// Answer slots (answer_slots.cpp): the AnswerSlots middleware class, and its
// installation on a server, before (outside) the middlewares given by the
// caller, which so see every answer unprepared.
void define_answer_slots(nb::module_ &m);
void install_answer_slots(nb::handle self);

void define_server_class(nb::module_ &m);

}  // namespace tavix::server
