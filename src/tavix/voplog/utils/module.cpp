// Old import path of tavix.log.utils: `banner` still works but warns about
// the rename of the package.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace {

constexpr const char *RENAME_WARNING =
    "\n"
    "********************************************************************************\n"
    "*                                   WARNING                                    *\n"
    "********************************************************************************\n"
    "     vop.voplog module is now renamed to vop.log:\n"
    "         from vop.voplog import x   -->   from vop.log import x\n"
    "         from vop import voplog     -->   from vop import log\n"
    "         import vop.voplog          -->   import vop.log\n"
    "\n"
    "     The following command can make this change recursively. \n"
    "         grep -rl \"voplog\" * | xargs sed -i \"s/voplog/log/g\"\n"
    "\n"
    "     This command is very powerful. USE WITH CAUTION.\n"
    "********************************************************************************\n"
    "    ";

// Module-owned for the life of the process.
struct State {
    nb::object module;
    nb::object warn_explicit;
    nb::object deprecation_warning;
};

State &state() {
    static State *s = new State();
    return *s;
}

nb::object banner(nb::args args, nb::kwargs kwargs) {
    State &s = state();
    // A native function has no frame of its own, so a plain warn() would blame
    // the caller; attribute the warning to this module, so that filters on the
    // framework's module names apply. There is no source line to show.
    nb::dict globals = nb::borrow<nb::dict>(s.module.attr("__dict__"));
    nb::object registry = globals.attr("setdefault")("__warningregistry__", nb::dict());
#if PY_VERSION_HEX < 0x030A0000
    // The 3.9 line cache raises on a binary file instead of skipping it, and
    // every display of the warning looks its line up.
    nb::object filename = nb::str("<tavix.voplog.utils>");
#else
    nb::object filename = s.module.attr("__file__");
#endif
    s.warn_explicit(nb::str(RENAME_WARNING), s.deprecation_warning, filename, 0,
                    s.module.attr("__name__"), registry);
    // Looked up at each call, as a module global would be.
    return s.module.attr("original_banner")(*args, **kwargs);
}

}  // namespace

NB_MODULE(utils, m) {
    State &s = state();
    s.module = nb::borrow(m);
    nb::module_ warnings = nb::module_::import_("warnings");
    s.warn_explicit = warnings.attr("warn_explicit");
    s.deprecation_warning = nb::module_::import_("builtins").attr("DeprecationWarning");
    m.attr("original_banner") = nb::module_::import_("tavix.log.utils").attr("banner");
    m.attr("warnings") = warnings;
    m.def("banner", &banner,
          "Deprecated alias of tavix.log.utils.banner: warns about the package\n"
          "rename, then returns what banner returns for the same arguments.");
}
