#include "routing.hpp"

namespace tavix::warnings_routing {

namespace nb = nanobind;

namespace {

// Owned for the life of the process: log_warning runs on every shown warning,
// possibly during interpreter shutdown, so it never looks these up again.
struct State {
    nb::object logger;
    nb::object linecache_getline;
    nb::object log_warning;
};

State &state() {
    static State *s = new State();  // never destroyed: no Python calls at static teardown
    return *s;
}

nb::object warnings_module() { return nb::module_::import_("warnings"); }

void enable_deprecation_warnings(nb::handle module) {
    nb::object warnings = warnings_module();
    nb::object builtins = nb::module_::import_("builtins");
    warnings.attr("filterwarnings")("always", nb::arg("category") = builtins.attr("DeprecationWarning"),
                                    nb::arg("module") = module);
    // One entry per distinct filter, in the order of first occurrence; the
    // first match wins, so dropping later copies changes nothing but length.
    nb::object unique = builtins.attr("dict").attr("fromkeys")(warnings.attr("filters"));
    warnings.attr("filters") = nb::list(unique);
}

void enable_warnings_to_log() {
    nb::object warnings = warnings_module();
    warnings.attr("_oldshowwarning") = warnings.attr("showwarning");
    warnings.attr("showwarning") = state().log_warning;
}

void log_warning(nb::handle message, nb::handle category, nb::handle filename, nb::handle lineno,
                 nb::handle file, nb::handle line) {
    nb::str text = nb::str("{}:{}:\n{}: {}\n")
                       .format(nb::str(filename), nb::str(lineno),
                               nb::str(category.attr("__name__")), nb::str(message));
    nb::object source = nb::borrow(line);
    if (source.is_none())
        source = state().linecache_getline(filename, lineno);
    if (nb::bool_(source))
        text = nb::str("{}  {}\n").format(text, source.attr("strip")());

    // The log comes first so that a broken stream cannot lose the warning.
    state().logger.attr("warning")(text);

    if (!file.is_none()) {
        try {
            file.attr("write")(text);
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_OSError))
                throw;
        }
    }
}

}  // namespace

void define_routing(nb::module_ &m) {
    State &s = state();
    s.logger = nb::module_::import_("logging").attr("getLogger")("warnings");
    s.linecache_getline = nb::module_::import_("linecache").attr("getline");
    m.attr("logger") = s.logger;

    nb::list all;
    all.append("enable_deprecation_warnings");
    all.append("enable_warnings_to_log");
    m.attr("__all__") = all;

    m.def("enable_deprecation_warnings", &enable_deprecation_warnings,
          nb::arg("module") = "tavix\\..*|__main__",
          "Enables printing of deprecation warnings.\n\n"
          ":param module: regular expression of the modules to enable them for;\n"
          "    defaults to the framework's modules and __main__.");
    m.def("enable_warnings_to_log", &enable_warnings_to_log,
          "Overwrites warnings.showwarning with a custom implementation that\n"
          "redirects warnings to logging, in addition to the file.");
    m.def("log_warning", &log_warning, nb::arg("message").none(), nb::arg("category").none(),
          nb::arg("filename").none(),
          nb::arg("lineno").none(), nb::arg("file").none() = nb::none(),
          nb::arg("line").none() = nb::none(),
          "Replaces the showwarning interface: writes the warning to both the file\n"
          "and the log. Unlike the default, it does not fall back to stderr when no\n"
          "file is given.");
    s.log_warning = m.attr("log_warning");
}

}  // namespace tavix::warnings_routing
