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
    {"/sections/{section_uuid}/{execution_uuid}/log", "logfile_exe", true},
    {"/result/archive/{filename:\\S+\\.(html|pdf)}", "htmlviewer", false},
    {"/result{tail:\\S*}", "index", false},
};

struct Handler {
    const char *name;
    HandlerBody body;
};

constexpr Handler kHandlers[] = {
    {"index", index},
    {"metadata", metadata},
    {"results", results},
    {"summary", summary},
    {"tasks", tasks},
    {"sections", sections},
    {"executions", executions},
    {"archive_name", archive_name},
    {"logfile_sec", logfile_sec},
    {"logfile_exe", logfile_exe},
    {"filelist", filelist},
    {"filelines", filelines},
    {"htmlviewer", htmlviewer},
    {"download_archive", download_archive},
    {"download_file", download_file},
};

void server_init(nb::handle self, nb::handle archive, nb::handle fread_size,
                 nb::handle url_prefix, nb::kwargs kwargs) {
    super_of(state->server_class, self).attr("__init__")(**kwargs);
    self.attr("archive") = archive;
    self.attr("fread_size") = fread_size;
    nb::dict header;
    header["Access-Control-Allow-Origin"] = "*";
    self.attr("_default_header") = header;

    nb::object router = self.attr("router");
    nb::object add_get = router.attr("add_get");
    for (const Route &route : kRoutes) {
        nb::object path = route.prefixed ? nb::object(url_prefix + nb::str(route.suffix))
                                         : nb::object(nb::str(route.suffix));
        nb::object handler = self.attr(route.name);
        add_get(path, handler, nb::arg("name") = route.name);
    }
    router.attr("add_static")("/", state->static_dir, nb::arg("name") = "static");
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
        nb::make_tuple("archive", "fread_size", "_default_header"));

    ClassBuilder builder(m, "LogViewerServer", {application});
    builder.doc("HTTP application through which a browser looks at one opened run archive.")
        .attr("ATTRS", attrs)
        .method("__init__", &server_init, nb::arg("archive"), nb::arg("fread_size") = 20480,
                nb::arg("url_prefix") = "/private/v1/standalone", nb::arg("kwargs"));
    for (const Handler &handler : kHandlers) {
        std::string qualname = std::string("LogViewerServer.") + handler.name;
        builder.attr(handler.name, coroutine_method(handler.name, qualname.c_str(), handler.body));
    }
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
