// tavix.log.commands.parser.base: the results-parser base with its section
// index, the section view over a task log and the device-command executions
// found in it.
#pragma once

#include <nanobind/nanobind.h>

#include <cancel_flag.hpp>

#include <atomic>
#include <cstdint>
#include <algorithm>
#include <initializer_list>
#include <optional>
#include <thread>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavix::parser_base {

namespace nb = nanobind;

// Interpreter objects looked up once when the module is loaded and kept for
// the life of the process (never destroyed: the interpreter may already be
// gone when static destructors run).
struct Shared {
    nb::object module;  // its globals name the Pattern and LogExecute the scan uses
    nb::object pattern_command, pattern_config_ping, pattern_ping_ip;
    nb::object log_execute;  // the classes, once built
    nb::object execute_init, execute_format_type, execute_to_json;  // LogExecute's stock methods
    nb::object child_execute;  // LogSection's stock property
    nb::object stock_all_executions, stock_get_execution;  // LogSection's stock methods
    nb::object log_section;
    nb::object uuid_module, uuid4;  // uuid4 as the interpreter has it
    nb::object os_path_join, os_fspath, os_stat;
    nb::object scan_cache;  // the ScanCache behind child_execute
    size_t scan_block = size_t(1) << 18;  // largest read of the log walks (scans, causes, histogram, diff)
    std::atomic<uint64_t> last_scan_bytes_read{0};  // by the latest execution scan to end, for tests
    // Sections of at least two stretches are scanned a stretch a thread, by
    // up to scan_threads threads: a soak test's million commands are ready
    // in a fraction of the time.
    size_t scan_stretch = size_t(32) << 20;
    unsigned scan_threads = default_scan_threads();
    static unsigned default_scan_threads() {
        return std::min(4u, std::max(1u, std::thread::hardware_concurrency()));
    }
};

Shared &shared();

// Raises the pending Python error unless `result` is set; steals `result`.
inline nb::object checked(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// getattr(object, name) into `value`; false when there is no such attribute.
// Errors other than AttributeError propagate.
inline bool find_attr(nb::handle object, const char *name, nb::object &value) {
    PyObject *found = PyObject_GetAttrString(object.ptr(), name);
    if (found) {
        value = nb::steal(found);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return false;
}

inline void set_attr(nb::handle object, PyObject *name, nb::handle value) {
    if (PyObject_SetAttr(object.ptr(), name, value.ptr()) < 0)
        throw nb::python_error();
}

// Interned attribute names of executions.
struct Names {
    PyObject *archive, *start_line, *start_time, *logfile, *parent_id, *execute_id,
        *section_log_start, *section_log_size, *device, *execute_type, *title, *end_line,
        *stop_time, *logs, *to_json;
};
const Names &names();

// Attribute names and values of a new execution, in keyword order (the
// names are borrowed).
using Attributes = std::vector<std::pair<nb::handle, nb::object>>;

// Whether `execute_class` is the stock LogExecute with its own __init__ and
// _format_type and plain attribute setting.
bool is_stock_execute_class(nb::handle execute_class);

// Whether LogExecute's to_json is its own: then a row's JSON form is made
// from the row; otherwise from the execution object.
bool stock_to_json();
// A stock LogExecute as LogExecute(archive, **attributes) makes it, built
// with its attributes directly.
nb::object new_execute(nb::handle archive, const Attributes &attributes);
// execute_class(archive, **attributes).
nb::object call_execute(nb::handle execute_class, nb::handle archive, const Attributes &attributes);
// The banner verb `kind` (a BannerKind) as written, as interpreter text.
nb::handle banner_verb(int kind);

// mapping.get(key): the value, or None. Errors other than a missing key propagate.
nb::object get_item(nb::handle mapping, const char *key);

// Decodes UTF-8 with replacement characters, so undecodable bytes never make a
// section unreadable.
nb::object decode(const char *data, size_t size);
inline nb::object decode(const std::string &text) { return decode(text.data(), text.size()); }

// The byte range [begin, end) of a section view's log, from its log_start and
// log_size (end INT64_MAX: to the end of the file); ValueError for a negative start.
void section_bounds(nb::handle section, int64_t &begin, int64_t &end);
// The path of a section view's log file; PermissionError unless it lies
// inside its archive's extraction directory.
std::string contained_log_path(nb::handle section);

// The UTF-8 bytes of str(value); None gives the empty text.
std::string utf8_text(nb::handle value);
// The UTF-8 bytes of a str (held by it), or nothing when it holds lone
// surrogates, which have none.
std::optional<std::string_view> utf8_view(nb::handle text);

void define_pattern(nb::module_ &module);
void define_log_execute(nb::module_ &module);
void define_log_section(nb::module_ &module);
void define_results_parser(nb::module_ &module);
void define_failure_signature(nb::module_ &module);
void define_failure_causes(nb::module_ &module);
void define_failure_categories(nb::module_ &module);
void define_section_identities(nb::module_ &module);
void define_section_results(nb::module_ &module);
void define_severity_histogram(nb::module_ &module);
void define_testing_hooks(nb::module_ &module);
void define_section_diff(nb::module_ &module);
void define_section_identity(nb::module_ &module);
void define_run_comparison(nb::module_ &module);
void define_execution_table(nb::module_ &module);
void define_section_commands(nb::module_ &module);

// What one execution object holds besides its block text: the object with
// its attributes, its id text, its line numbers and its place in a dictionary
// (measured with tracemalloc on dense logs; devices, kinds and times shared).
constexpr size_t BYTES_PER_EXECUTE = 430;

// Whether a result is a failing one (section_results.hpp's rule): anything
// but text is not.
bool is_failure(nb::handle result);
// A run time in seconds (section_results.hpp's reading of str() of it), or None.
nb::object run_time_seconds(nb::handle run_time);

// The execution scan of one LogSection: an ExecutionTable while the stock
// pieces are in place, else a dictionary from execute_id to LogExecute; adds
// to `bytes` an estimate of the memory a dictionary holds.
nb::object scan_executions(nb::handle section, size_t *bytes);
// The table of kept scans behind LogSection.child_execute.
nb::object define_scan_cache(nb::module_ &module);
// The kept scan of `section` (an ExecutionTable or a dictionary), scanned now
// when it is not kept.
nb::object scanned_executions(nb::handle section);
// Drops least recently used scans until the kept ones fit the budget.
void trim_scan_cache();
// Whether `section`'s child_execute is LogSection's own property.
bool stock_child_execute(nb::handle section);
// For the viewer server: the section's scanned executions (see
// scanned_executions) while its child_execute is the stock one, else its
// child_execute; computed in this thread. A scan it starts stops with
// RuntimeError once the flag of the capsule `cancel` is set.
nb::object executions_unless_cancelled(nb::handle section, nb::handle cancel);
nb::object executions_unless_cancelled(nb::handle section, const CancelFlag &cancel);
// The 16 bytes of the id of the command whose banner is line `line` of a
// section whose id key is `key`: a version-4 UUID, the same at every scan.
void execute_id_bytes(const uint64_t key[2], int64_t line, unsigned char out[16]);

}  // namespace tavix::parser_base
