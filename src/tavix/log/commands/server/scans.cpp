// Device-command scans off the event loop.
//
// The first scan of a big section reads its whole byte range of the task log;
// it runs in a worker thread (the scan lets go of the interpreter lock around
// its reads and byte searches), so the loop keeps answering meanwhile. The
// server keeps one entry per section being scanned, which later requests for
// the section join. Finished scans are kept by the scan cache alone (with
// their stable execution ids): paging through a stock section's commands
// finds them there and needs no thread.
#include "coroutine.hpp"
#include "server.hpp"

#include <cancel_flag.hpp>
#include <logging_fastpath.hpp>

namespace tavix::server {

namespace {

// An entry of the server's `_scans`: [section, future, start time, the
// number of requests waiting for it, the capsule of its cancel flag].
constexpr int kSection = 0, kFuture = 1, kStarted = 2, kWaiting = 3, kCancel = 4;

nb::dict scans_of(nb::handle self) { return nb::borrow<nb::dict>(self.attr("_scans")); }

nb::object scan_key(nb::handle section) {
    PyObject *key = PyLong_FromVoidPtr(section.ptr());
    if (!key)
        throw nb::python_error();
    return nb::steal(key);
}

bool finished(nb::handle entry) { return nb::cast<bool>(entry[kFuture].attr("done")()); }

// The kept scan of a stock section, as a finished future; invalid when there is none.
nb::object kept_scan(nb::handle section) {
    if (!uses_stock(section, "child_execute", state->stock_child_execute))
        return {};
    nb::object kept = state->scan_cache.attr("peek")(section);
    if (kept.is_none())
        return {};
    nb::object done = state->get_running_loop().attr("create_future")();
    done.attr("set_result")(kept);
    return done;
}

}  // namespace

nb::object executions_of(nb::handle self, nb::handle section) {
    nb::dict scans = scans_of(self);
    nb::object key = scan_key(section);
    if (PyObject *found = PyDict_GetItemWithError(scans.ptr(), key.ptr())) {
        nb::object entry = nb::borrow(found);
        return entry[kFuture];
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    if (nb::object kept = kept_scan(section); kept.is_valid())
        return kept;
    nb::object held = nb::borrow(section);
    nb::object cancel = cancel_capsule(std::make_shared<std::atomic<bool>>(false));
    nb::object future = off_loop(
        [held, cancel]() -> nb::object { return state->executions_unless_cancelled(held, cancel); },
        [](nb::handle done) -> nb::object { return done.attr("result")(); });
    nb::list entry;
    entry.append(section);
    entry.append(future);
    entry.append(state->monotonic());
    entry.append(0);
    entry.append(cancel);
    scans[key] = entry;
    future.attr("add_done_callback")(nb::cpp_function([scans, key, entry](nb::handle) {
        // The result now lives in the scan cache; a failed scan leaves
        // nothing behind, so the next request scans again.
        PyObject *current = PyDict_GetItemWithError(scans.ptr(), key.ptr());
        if (!current && PyErr_Occurred())
            throw nb::python_error();
        if (current == entry.ptr() && PyDict_DelItem(scans.ptr(), key.ptr()) < 0)
            throw nb::python_error();
    }));
    return future;
}

nb::object after_scan(nb::handle self, nb::handle section, std::function<nb::object(nb::handle)> step) {
    find_stock_pieces();
    int is_section = PyObject_IsInstance(section.ptr(), state->log_section_class);
    if (is_section < 0)
        throw nb::python_error();
    if (!is_section) {
        nb::object nothing = state->get_running_loop().attr("create_future")();
        nothing.attr("set_result")(nb::none());
        return then(nothing, std::move(step));
    }
    nb::object scan = executions_of(self, section);
    nb::object entry = nb::borrow(PyDict_GetItemWithError(scans_of(self).ptr(), scan_key(section).ptr()));
    if (!entry.is_valid()) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return then(scan, std::move(step));
    }
    nb::object answer = then(scan, std::move(step));
    entry[kWaiting] = entry[kWaiting] + nb::int_(1);
    // A scan that every request waiting for it has left stops.
    answer.attr("add_done_callback")(nb::cpp_function([entry](nb::handle) {
        nb::object left = entry[kWaiting] - nb::int_(1);
        entry[kWaiting] = left;
        if (left.equal(nb::int_(0)) && !finished(entry))
            cancel_flag_of(entry[kCancel])->store(true, std::memory_order_relaxed);
    }));
    return answer;
}

nb::object stop_scans(nb::handle self, nb::handle) {
    for (auto [key, entry] : scans_of(self))
        if (!finished(entry))
            cancel_flag_of(entry[kCancel])->store(true, std::memory_order_relaxed);
    return nb::none();
}

void find_stock_pieces() {
    if (state->stock_all_executions)
        return;
    nb::module_ base = nb::module_::import_("tavix.log.commands.parser.base");
    auto stock = [](nb::handle cls, const char *name) {
        return nb::object(cls.attr("__dict__")[name]).release().ptr();  // kept for the process lifetime
    };
    nb::object section = base.attr("LogSection"), execute = base.attr("LogExecute");
    state->stock_child_execute = stock(section, "child_execute");
    state->stock_get_execution = stock(section, "get_execution");
    state->stock_to_json = stock(execute, "to_json");
    state->stock_execute_read_logs = stock(execute, "read_logs");
    nb::object archive = nb::module_::import_("tavix.log.commands.archive").attr("Archive");
    state->stock_read_file = stock(archive, "read_file");
    state->log_section_class = nb::object(section).release().ptr();  // kept for the process lifetime
    state->stock_all_executions = stock(section, "all_executions");  // last: marks the lookup done
}

bool uses_stock(nb::handle object, const char *name, PyObject *stock) {
    return fast::uses_stock(object.ptr(), interned(name).ptr(), stock);
}

nb::object scan_status(nb::handle self, nb::handle request) {
    return answer_or_report(
        self,
        [&] {
            nb::object uuid = request.attr(state->match_info)["section_uuid"];
            nb::object section = self.attr(state->archive).attr(state->results).attr(state->get_section)(uuid);
            if (section.is_none()) {
                PyErr_SetObject(PyExc_KeyError, uuid.ptr());
                throw nb::python_error();
            }
            nb::dict body;
            body["scanning"] = false;
            body["elapsed"] = nb::none();
            PyObject *entry = PyDict_GetItemWithError(scans_of(self).ptr(), scan_key(section).ptr());
            if (!entry && PyErr_Occurred())
                throw nb::python_error();
            if (entry && !finished(entry)) {
                body["scanning"] = true;
                nb::object elapsed = state->monotonic() - nb::handle(entry)[kStarted];
                body["elapsed"] = nb::module_::import_("builtins").attr("round")(elapsed, 3);
            }
            return json_answer(self, body);
        },
        "Exception encountered when retrieving the scan of section: ", "SECTION_RETRIEVE_FAILED");
}

}  // namespace tavix::server
