#include "server.hpp"

#include <path_guard.hpp>

namespace tavix::server {

State *state = nullptr;

nb::str interned(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name)
        throw nb::python_error();
    return nb::steal<nb::str>(name);
}

namespace {

// The directory of this module's file. During a multi-phase import __file__
// is already set; otherwise the import system's module lookup gives the origin.
nb::object module_directory(nb::module_ &m, nb::module_ &os_path) {
    nb::object file = optional_attr(m, "__file__");
    if (!file.is_valid())
        file = nb::module_::import_("importlib.util")
                   .attr("find_spec")(nb::object(m.attr("__name__")))
                   .attr("origin");
    return os_path.attr("dirname")(os_path.attr("abspath")(file));
}

}  // namespace

void init_state(nb::module_ &m) {
    state = new State();
    nb::module_ web = nb::module_::import_("aiohttp.web");
    nb::module_ os = nb::module_::import_("os");
    nb::module_ os_path = nb::module_::import_("os.path");
    nb::module_ logging = nb::module_::import_("logging");
    nb::module_ builtins = nb::module_::import_("builtins");

    state->json_response = web.attr("json_response");
    state->file_response = web.attr("FileResponse");
    state->dumps = nb::module_::import_("json").attr("dumps");
    state->cancelled_error = nb::module_::import_("concurrent.futures").attr("CancelledError");
    state->compact_dumps = nb::module_::import_("functools").attr("partial")(
        state->dumps, nb::arg("separators") = nb::make_tuple(",", ":"));
    state->response = web.attr("Response");
    state->link_pattern = nb::str("{}?offset={}&limit={}");
    state->logger = logging.attr("getLogger")(nb::object(m.attr("__name__")));
    state->debug_level = logging.attr("DEBUG");
    state->here = module_directory(m, os_path);
    state->os_path_join = os_path.attr("join");
    state->os_path_basename = os_path.attr("basename");
    state->os_path_isfile = os_path.attr("isfile");
    state->os_path_exists = os_path.attr("exists");
    state->os_fspath = os.attr("fspath");
    state->static_dir = state->os_path_join(state->here, "static");
    state->index_html = state->os_path_join(state->static_dir, "index.html");
    state->io_open = nb::module_::import_("io").attr("open");
    state->format_exception = nb::module_::import_("traceback").attr("format_exception");
    state->pyint = builtins.attr("int");
    state->get_running_loop = nb::module_::import_("asyncio").attr("get_running_loop");
    state->monotonic = nb::module_::import_("time").attr("monotonic");
    state->url_quote = nb::module_::import_("urllib.parse").attr("quote");
    state->os_stat = os.attr("stat");
    state->key_error = builtins.attr("KeyError");
    state->permission_error = builtins.attr("PermissionError");
    state->file_not_found_error = builtins.attr("FileNotFoundError");

    nb::module_ parser_base = nb::module_::import_("tavix.log.commands.parser.base");
    state->failure_categories = parser_base.attr("failure_categories");
    state->severity_histogram = parser_base.attr("severity_histogram");
    state->section_commands = parser_base.attr("SectionCommands");
    state->scan_cache = parser_base.attr("scan_cache");

    state->archive = interned("archive");
    state->results = interned("results");
    state->get_section = interned("get_section");
    state->read_logs = interned("read_logs");
    state->log_size = interned("log_size");
    state->path = interned("path");
    state->query = interned("query");
    state->match_info = interned("match_info");
    state->offset = interned("offset");
    state->limit = interned("limit");
    state->fread_size = interned("fread_size");
    state->default_header = interned("_default_header");
    state->headers = interned("headers");
    state->data = interned("data");
    state->get = interned("get");

    m.attr("HERE") = state->here;
    m.attr("logger") = state->logger;
}

nb::object default_header(nb::handle self) { return self.attr(state->default_header); }

nb::object json_answer(nb::handle self, nb::handle body) {
    return state->json_response(body, nb::arg("headers") = default_header(self));
}

nb::object error_answer(nb::handle self, nb::handle detail, int status) {
    nb::dict body;
    body["detail"] = detail;
    return state->json_response(body, nb::arg("status") = status,
                                nb::arg("headers") = default_header(self));
}

nb::object error_answer(nb::handle self, const char *detail, int status) {
    return error_answer(self, nb::str(detail), status);
}

nb::object exception_value(const nb::python_error &error) {
#if PY_VERSION_HEX < 0x030C0000
    // Before 3.12 the error is kept as raised: the value may still be the
    // constructor argument (or null) rather than the exception instance.
    PyObject *type = error.type().ptr(), *value = error.value().ptr();
    PyObject *traceback = error.traceback().release().ptr();
    Py_XINCREF(type);
    Py_XINCREF(value);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback)
        PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value ? nb::steal(value) : nb::none();
#else
    return nb::borrow(error.value());
#endif
}

void debug_lines(nb::handle message, nb::handle exception) {
    nb::handle logger = state->logger;
    if (!nb::cast<bool>(logger.attr("isEnabledFor")(state->debug_level)))
        return;
    logger.attr("debug")(message);
    if (exception.is_valid()) {
        nb::object traceback = exception.attr("__traceback__");
        nb::object lines = state->format_exception(exception.type(), exception, traceback);
        logger.attr("debug")(nb::str("").attr("join")(lines));
    }
}

void debug_lines(nb::handle message, const nb::python_error *error) {
    debug_lines(message, error ? exception_value(*error) : nb::object());
}

nb::object contained_path(nb::handle self, nb::handle name) {
    nb::object dir = self.attr(state->archive).attr("dir");
    nb::object full = state->os_path_join(dir, name);
    // A missing file is the endpoint's own error to answer.
    ensure_inside(fs_path(dir), fs_path(full), false);
    return full;
}

}  // namespace tavix::server
