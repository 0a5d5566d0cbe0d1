#include <nanobind/nanobind.h>

#include "base.hpp"

NB_MODULE(base, m) {
    using namespace tavix::parser_base;
    Shared &state = shared();
    nb::module_ os = nb::module_::import_("os");
    state.os_path_join = nb::module_::import_("os.path").attr("join");
    state.os_fspath = os.attr("fspath");
    state.os_stat = os.attr("stat");
    state.lru_cache = nb::module_::import_("functools").attr("lru_cache");

    define_pattern(m);
    define_log_section(m);
    define_log_execute(m);
    define_results_parser(m);
}
