#include <nanobind/nanobind.h>

#include "handlers.hpp"
#include "records.hpp"

namespace nb = nanobind;

NB_MODULE(morlan, m) {
    m.doc() =
        "MorlanLog records, line formatters, task log and console handlers, forked task logs.\n"
        "\n"
        "Sequence numbers. Each process numbers its records, and the extra lines of\n"
        "its multi-line records, from its own counter in LOG_SEQUENCE_COUNTER, and only\n"
        "the process that made a record draws numbers for it, so numbers stay unique\n"
        "per process id in a log that also holds records of other processes:\n"
        "\n"
        "- A multi-line record builds its parts, drawing their numbers, when it is first\n"
        "  formatted or, if it leaves its process before that, when it is pickled (a\n"
        "  multiprocessing queue, pickle, copy.deepcopy). The parts travel with it and\n"
        "  every later formatter, in any process, reuses them; parts that no formatter\n"
        "  timed yet take the record's asctime.\n"
        "- Records and parts are pickled and deep-copied without traceback objects\n"
        "  (exc_info None): the traceback's text travels in exc_text, formatted on the\n"
        "  way out if no formatter did it, and in the parts' messages. copy.copy stays\n"
        "  a plain shallow copy, which keeps them.\n"
        "- A record split in another process than its own, because it arrived without\n"
        "  parts (the dictionary a SocketHandler sends of a record no formatter had\n"
        "  split, a buffered record flushed in a forked child), draws no numbers there:\n"
        "  its extra lines repeat the record's number and their part tags tell them\n"
        "  apart. A record's own process is the one whose id is its `process`; records\n"
        "  made with logging.logProcesses off count as the formatting process's own.\n";
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
    tavix::morlan::prepare_travel();
    tavix::morlan::define_handlers(m);
    tavix::morlan::define_managed_handlers(m);
}
