// Device-command scans off the event loop.
//
// The first scan of a big section reads its whole byte range of the task log;
// it runs in a worker thread (the scan lets go of the interpreter lock around
// its reads and byte searches), so the loop keeps answering meanwhile. The
// server keeps one entry per section being scanned, which later requests for
// the section join. Finished scans are kept by the parser's scan cache alone
// (with their stable execution ids): a request for a section whose scan is
// kept gets its commands at once.
#include "coroutine.hpp"
#include "server.hpp"

#include <cancel_flag.hpp>
#include <stock_check.hpp>

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

// The section's commands when no scan is needed for them, as a finished
// future; invalid otherwise.
nb::object kept_commands(nb::handle section) {
    nb::object kept = state->section_commands.attr("kept")(section);
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
    if (nb::object kept = kept_commands(section); kept.is_valid())
        return kept;
    nb::object held = nb::borrow(section);
    nb::object cancel = cancel_capsule(std::make_shared<std::atomic<bool>>(false));
    nb::object future = off_loop(
        [held, cancel]() -> nb::object { return state->section_commands(held, cancel); },
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
    if (state->stock_read_file)
        return;
    nb::module_ base = nb::module_::import_("tavix.log.commands.parser.base");
    auto stock = [](nb::handle cls, const char *name) {
        return nb::object(cls.attr("__dict__")[name]).release().ptr();  // kept for the process lifetime
    };
    state->stock_execute_read_logs = stock(base.attr("LogExecute"), "read_logs");
    nb::object archive = nb::module_::import_("tavix.log.commands.archive").attr("Archive");
    state->stock_read_file = stock(archive, "read_file");  // last: marks the lookup done
}

bool uses_stock(nb::handle object, const char *name, PyObject *stock) {
    return stock::uses_stock(object.ptr(), interned(name).ptr(), stock);
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
