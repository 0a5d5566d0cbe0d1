#include <nanobind/nanobind.h>

#include "handlers.hpp"
#include "records.hpp"

namespace nb = nanobind;

NB_MODULE(morlan, m) {
    // The names the module works with, imported as the module is loaded; a
    // failing import fails the whole import.
    for (const char *name : {"os", "sys", "atexit", "socket", "shutil", "logging", "threading",
                             "contextlib", "multiprocessing"})
        m.attr(name) = nb::module_::import_(name);
    nb::module_::import_("multiprocessing.util");
    m.attr("count") = nb::module_::import_("itertools").attr("count");
    m.attr("defaultdict") = nb::module_::import_("collections").attr("defaultdict");
    m.attr("AttrDict") = nb::module_::import_("tavix.datastructures").attr("AttrDict");
    m.attr("get_time") = nb::module_::import_("tavix.utils.utils").attr("get_time");
    m.attr("ColouredLogLevelFormatter") =
        nb::module_::import_("tavix.log.colour").attr("ColouredLogLevelFormatter");

    nb::list names;
    for (const char *name : {"ScreenFormatter", "ColouredScreenFormatter", "ScreenHandler", "TaskLogFormatter",
                             "TaskLogHandler", "managed_handlers"})
        names.append(name);
    m.attr("__all__") = names;
    m.attr("logger") = nb::module_::import_("logging").attr("getLogger")(m.attr("__name__"));

    tavix::morlan::define_constants(m);
    tavix::morlan::define_records(m);
    tavix::morlan::define_formatters(m);
    tavix::morlan::define_handlers(m);
    tavix::morlan::define_managed_handlers(m);
}
