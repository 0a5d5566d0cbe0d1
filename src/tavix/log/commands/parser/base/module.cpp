#include <nanobind/nanobind.h>

#include "base.hpp"
#include "log_lines.hpp"

NB_MODULE(base, m) {
    using namespace tavix;
    using namespace tavix::parser_base;
    Shared &state = shared();
    nb::module_ os = nb::module_::import_("os");
    state.os_path_join = nb::module_::import_("os.path").attr("join");
    state.os_fspath = os.attr("fspath");
    state.os_stat = os.attr("stat");
    state.uuid_module = nb::module_::import_("uuid");
    state.uuid4 = state.uuid_module.attr("uuid4");
    state.module = m;

    define_pattern(m);
    define_execution_table(m);
    define_log_section(m);
    define_section_commands(m);
    define_log_execute(m);
    define_results_parser(m);
    define_failure_signature(m);
    define_failure_causes(m);
    define_failure_categories(m);
    define_section_identities(m);
    define_section_results(m);
    define_severity_histogram(m);
    define_testing_hooks(m);
    define_section_diff(m);
    define_section_identity(m);
    define_run_comparison(m);
    // The kept scans go before the interpreter does, with the sections and
    // tables they hold.
    nb::module_::import_("atexit").attr("register")(state.scan_cache.attr("cache_clear"));

    // Tests shrink the scan's reads so that lines and matches span many of them.
    m.def("_set_scan_block", [](size_t size) {
        size_t previous = shared().scan_block;
        shared().scan_block = size ? size : log_lines::Window::MAX_BLOCK;
        return previous;
    }, nb::arg("size"), "Sets the largest read of the log scans in bytes (0: the default); returns the previous one.");
}
