// TaskLogHandler: the task's log file, switchable at run time, with a lock
// shared with forked children. The record path (handle, emit) is native;
// it keeps the library's semantics: filters, the handler lock around emit,
// handleError on failure.
#include <class_builder.hpp>

#include "handlers.hpp"
#include "logging_fastpath.hpp"
#include "records.hpp"

namespace tavix::morlan::handlers_detail {

static nb::str task_log_name(nb::handle logfile) {
    return nb::str("TaskLog-{}").format(logfile);
}

static nb::object resolved_path(nb::handle path) {
    nb::object os_path = shared().os_path;
    return os_path.attr("abspath")(os_path.attr("expanduser")(path));
}

static void task_init(nb::handle self, nb::handle logfile, nb::handle mode, nb::handle encoding,
                      nb::handle coloured) {
    Shared &s = shared();
    nb::object resolved;
    if (truthy(logfile)) {
        resolved = resolved_path(logfile);
        self.attr("logfile") = resolved;
        // As passed: relative stays relative, no home expansion.
        self.attr("logdir") = s.os_path.attr("dirname")(logfile);
    } else {
        resolved = nb::str("");
        self.attr("logfile") = resolved;
        self.attr("logdir") = s.os.attr("getcwd")();
    }
    nb::list history;
    history.append(resolved);
    self.attr("history") = history;
    self.attr("mode") = mode;
    self.attr("encoding") = encoding;
    nb::object stream = self.attr("_open")();
    s.logging_stream_handler.attr("__init__")(self, stream);
    self.attr("set_name")(task_log_name(resolved));
    self.attr("forked_log_pattern") = nb::str("{parent}:pid-{pid}");
    self.attr("_on_fork_logfile") = nb::none();
    self.attr("_consolidate_forked_logs") = nb::bool_(false);
    self.attr("coloured") = coloured;
}

static void task_set_coloured(nb::handle self, nb::handle value) {
    set_coloured(self, value, "ColouredTaskLogFormatter", "TaskLogFormatter");
}

static void task_create_lock(nb::handle self) {
    self.attr("lock") = shared().mp.attr("RLock")();
    track_for_fork(self);
}

// Flushes (through the handler, when asked) and closes `stream`; the handler's
// stream is dropped in any case, so that a failed flush or close does not leave
// a dead stream behind for every later changeFile to trip over again.
static void drop_stream(nb::handle self, nb::handle stream, bool flush_through_handler) {
    Steps steps;
    steps.run([&] {
        if (flush_through_handler)
            self.attr("flush")();
        else if (has_attr(stream, names().flush))
            checked(PyObject_CallMethodNoArgs(stream.ptr(), names().flush));
    });
    steps.run([&] {  // also after a failed flush: the file descriptor is released
        if (has_attr(stream, names().close))
            checked(PyObject_CallMethodNoArgs(stream.ptr(), names().close));
    });
    steps.run([&] { self.attr("stream") = nb::none(); });
    steps.finish();
}

void change_file(nb::handle self, nb::handle logfile) {
    Shared &s = shared();
    HandlerLock locked(self);
    nb::object stream = self.attr("stream");
    if (!stream.is_none())
        drop_stream(self, stream, true);
    if (!truthy(logfile)) {
        self.attr("logfile") = nb::str("");
    } else if (nb::cast<bool>(s.os_path.attr("isabs")(logfile))) {
        self.attr("logfile") = resolved_path(logfile);
        self.attr("logdir") = s.os_path.attr("dirname")(logfile);
    } else {
        self.attr("logfile") = s.os_path.attr("join")(self.attr("logdir"), logfile);
    }
    self.attr("history").attr("append")(logfile);
    self.attr("stream") = self.attr("_open")();
    self.attr("set_name")(task_log_name(self.attr("logfile")));
}

void close_handler(nb::handle self) {
    HandlerLock locked(self);
    Steps steps;
    nb::object stream = self.attr("stream");
    if (!stream.is_none())
        steps.run([&] { drop_stream(self, stream, false); });
    steps.run([&] { super_of(shared().task_log_handler, self).attr("close")(); });
    steps.finish();
}

static nb::object task_open(nb::handle self) {
    Shared &s = shared();
    nb::object logfile = self.attr("logfile");
    nb::object path = truthy(logfile) ? logfile : nb::object(s.os.attr("devnull"));
    return s.open(path, self.attr("mode"), nb::arg("encoding") = self.attr("encoding"));
}

// --- The record path -------------------------------------------------------

// Whether `cls` still uses `function` for `name` (no override in a subclass).
static bool uses(PyTypeObject *cls, PyObject *name, PyObject *function) {
    return stock::class_uses_stock(cls, name, function);
}

// Calls self.handleError(record) with the failure as the exception being
// handled, as the library's `except Exception:` clause does, so that the
// handler can print its traceback.
static void report_failure(nb::handle self, nb::handle record) {
    // The library's handleError walks the traceback up to the caller's frame;
    // a failure raised in native code has none of its own yet.
    if (PyFrameObject *frame = PyEval_GetFrame())
        PyTraceBack_Here(frame);
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback)
        PyException_SetTraceback(value, traceback);
    PyObject *old_type, *old_value, *old_traceback;
    PyErr_GetExcInfo(&old_type, &old_value, &old_traceback);
    PyErr_SetExcInfo(type, value, traceback);
    PyObject *result = PyObject_CallMethodOneArg(self.ptr(), names().handleError, record.ptr());
    PyErr_SetExcInfo(old_type, old_value, old_traceback);
    if (!result)
        throw nb::python_error();
    Py_DECREF(result);
}

static PyObject *format_record(nb::handle self, nb::handle record) {
    Shared &s = shared();
    const Names &n = names();
    if (!uses(Py_TYPE(self.ptr()), n.format, s.handler_format))
        return PyObject_CallMethodOneArg(self.ptr(), n.format, record.ptr());
    nb::object formatter = nb::steal(PyObject_GetAttr(self.ptr(), n.formatter));
    if (!formatter.is_valid())
        return nullptr;
    if (formatter.is_none())
        formatter = s.logging.attr("_defaultFormatter");
    return PyObject_CallMethodOneArg(formatter.ptr(), n.format, record.ptr());
}

// The record's text followed by the terminator. With the module's own
// formatter, one text is made, with its terminator, straight from the record.
static PyObject *text_to_write(nb::handle self, nb::handle record, nb::handle terminator) {
    Shared &s = shared();
    const Names &n = names();
    if (uses(Py_TYPE(self.ptr()), n.format, s.handler_format) && PyUnicode_CheckExact(terminator.ptr())) {
        nb::object formatter = nb::steal(PyObject_GetAttr(self.ptr(), n.formatter));
        if (!formatter.is_valid())
            return nullptr;
        if (fast::uses_stock(formatter.ptr(), n.format, stock_morlan_format()))
            return format_with_terminator(formatter, record, terminator).release().ptr();
    }
    nb::object message = nb::steal(format_record(self, record));
    if (!message.is_valid())
        return nullptr;
    return PyNumber_Add(message.ptr(), terminator.ptr());
}

// Format, write with the terminator, flush. Returns false with the Python
// error set on failure.
static bool write_record(nb::handle self, nb::handle record) {
    Shared &s = shared();
    const Names &n = names();
    nb::object terminator = nb::steal(PyObject_GetAttr(self.ptr(), n.terminator));
    if (!terminator.is_valid())
        return false;
    // One write per record: the whole multi-line text and its terminator.
    nb::object text;
    try {
        text = nb::steal(text_to_write(self, record, terminator));
    } catch (nb::python_error &error) {
        error.restore();
        return false;
    }
    if (!text.is_valid())
        return false;
    nb::object stream = nb::steal(PyObject_GetAttr(self.ptr(), n.stream));
    if (!stream.is_valid())
        return false;
    nb::object written = nb::steal(PyObject_CallMethodOneArg(stream.ptr(), n.write, text.ptr()));
    if (!written.is_valid())
        return false;
    if (!uses(Py_TYPE(self.ptr()), n.flush, s.stream_handler_flush))
        return nb::steal(PyObject_CallMethodNoArgs(self.ptr(), n.flush)).is_valid();
    int has_stream = PyObject_IsTrue(stream.ptr());
    if (has_stream <= 0)
        return has_stream == 0;
    nb::object flush = nb::steal(PyObject_GetAttr(stream.ptr(), n.flush));
    if (!flush.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return false;
        PyErr_Clear();  // a stream without flush is tolerated
        return true;
    }
    return nb::steal(PyObject_CallNoArgs(flush.ptr())).is_valid();
}

static void task_emit(nb::handle self, nb::handle record) {
    if (write_record(self, record))
        return;
    if (PyErr_ExceptionMatches(PyExc_RecursionError) || !PyErr_ExceptionMatches(PyExc_Exception))
        throw nb::python_error();
    report_failure(self, record);
}

static nb::object task_handle(nb::handle self, nb::handle record) {
    Shared &s = shared();
    const Names &n = names();
    nb::object verdict;
    bool default_filter = uses(Py_TYPE(self.ptr()), n.filter, s.filterer_filter);
    if (default_filter) {
        nb::object filters = checked(PyObject_GetAttr(self.ptr(), n.filters));
        default_filter = PyList_CheckExact(filters.ptr()) && PyList_GET_SIZE(filters.ptr()) == 0;
    }
    if (default_filter) {
#if PY_VERSION_HEX >= 0x030C0000
        verdict = nb::borrow(record);  // what the library's filter returns when all pass
#else
        verdict = nb::bool_(true);
#endif
    } else {
        verdict = checked(PyObject_CallMethodOneArg(self.ptr(), n.filter, record.ptr()));
    }
    int pass = PyObject_IsTrue(verdict.ptr());
    if (pass < 0)
        throw nb::python_error();
    if (!pass)
        return verdict;
    nb::handle chosen = record;
#if PY_VERSION_HEX >= 0x030C0000
    // A filter may hand back a replacement record.
    int is_record = PyObject_IsInstance(verdict.ptr(), s.logging_record.ptr());
    if (is_record < 0)
        throw nb::python_error();
    if (is_record)
        chosen = verdict;
#endif
    HandlerLock locked(self);
    if (uses(Py_TYPE(self.ptr()), n.emit, s.native_emit))
        task_emit(self, chosen);
    else
        checked(PyObject_CallMethodOneArg(self.ptr(), n.emit, chosen.ptr()));
    return verdict;
}

void define_task_log_handler(nb::module_ &module) {
    Shared &s = shared();
    nb::object cls =
        ClassBuilder(module, "TaskLogHandler", {s.logging_stream_handler})
            .doc("Writes a task's log file in the task log line format. The file can be switched "
                 "at run time (changeFile); without a file output goes to the null device. The "
                 "lock is shared with forked children, which can be given log files of their "
                 "own and merged back at their exit.")
            .method("__init__", &task_init, nb::arg("logfile").none(), nb::arg("mode").none() = "a",
                    nb::arg("encoding").none() = nb::none(), nb::arg("coloured").none() = false)
            .property("coloured", &get_coloured, &task_set_coloured,
                      "Whether lines are coloured; setting it installs a new formatter.")
            .method("createLock", &task_create_lock,
                    "Creates the process-shared recursive lock, inherited by forked children.")
            .method("changeFile", &change_file, nb::arg("logfile").none(),
                    "Closes the current file and continues in `logfile` (the null device when "
                    "empty; a relative name is taken relative to `logdir`).")
            .method("enableForked", &enable_forked, nb::arg("consolidate").none() = false,
                    "Gives every child forked through multiprocessing a log file of its own, "
                    "merged into this log at the child's exit when `consolidate` is true.")
            .method("disableForked", &disable_forked)
            .property("forkRegistered", &fork_registered,
                      "Whether children forked through multiprocessing get log files of their own.")
            .method("next_fork_logfile", &next_fork_logfile, nb::arg("logfile").none(),
                    nb::arg("consolidate").none() = nb::none(),
                    "Context manager: children forked inside the block log to `logfile`.")
            .method("consolidate_next_forked_logfile", &consolidate_next_forked_logfile,
                    "Context manager: children forked inside the block are merged back at exit.")
            .method("concatenateLog", &concatenate_log, nb::arg("logfile").none(),
                    nb::arg("delete").none() = true,
                    "Appends the content of `logfile` to the current log, then deletes it.")
            .method("close", &close_handler)
            .method("_open", &task_open)
            .static_method("forked", &forked, nb::arg("instance").none())
            .method("forked_finalizer", &forked_finalizer, nb::arg("parent_logfile").none(),
                    nb::arg("delete").none() = true)
            .method("handle", &task_handle, nb::arg("record").none())
            .method("emit", &task_emit, nb::arg("record").none())
            .build();
    s.task_log_handler = cls;
    s.native_emit = nb::object(cls.attr("__dict__")["emit"]).release().ptr();  // kept
}

}  // namespace tavix::morlan::handlers_detail
