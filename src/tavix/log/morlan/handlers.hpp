// The handler half of tavix.log.morlan: ScreenHandler, TaskLogHandler with
// its forked task logs, and the module's managed handlers.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <utility>

namespace tavix::morlan {

// Defines ScreenHandler and TaskLogHandler on the module, in that order.
// Needs the formatter classes to be defined on the module already.
void define_handlers(nanobind::module_ &module);

// Creates managed_handlers and defines closeManagedHandlers, registered at exit.
void define_managed_handlers(nanobind::module_ &module);

namespace handlers_detail {

namespace nb = nanobind;

// Interpreter objects the handlers use, looked up once when the module is
// loaded and kept for the life of the process (never destroyed: the
// interpreter may already be gone when static destructors run).
struct Shared {
    nb::object module;  // tavix.log.morlan itself
    nb::object logging, logging_handler, logging_stream_handler, logging_record;
    nb::object os, os_path, sys, open, copyfileobj, mp, mp_util, weakref_ref;
    // The library's own functions, to recognise at call time that a handler
    // subclass has not overridden them and the native fast path applies.
    PyObject *filterer_filter = nullptr, *handler_format = nullptr,
             *stream_handler_flush = nullptr;
    PyObject *native_emit = nullptr;  // TaskLogHandler.emit, once built
    nb::object task_log_handler;      // the class, once built
    // Task log handlers of this process in creation order (weak references),
    // whose locks are held around every fork.
    nb::list task_handlers;
};

Shared &shared();

// Attribute names used on the logging path, interned once.
struct Names {
    PyObject *filter, *filters, *lock, *acquire, *release, *emit, *format, *formatter, *stream,
        *terminator, *write, *flush, *close, *handleError;
};

const Names &names();

// Raises the pending Python error unless `result` is set; steals `result`.
inline nb::object checked(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// Truth value of `object`; an error of its __bool__ propagates.
inline bool truthy(nb::handle object) {
    int result = PyObject_IsTrue(object.ptr());
    if (result < 0)
        throw nb::python_error();
    return result;
}

// Whether `object` has the attribute; errors other than AttributeError propagate.
inline bool has_attr(nb::handle object, PyObject *name) {
    PyObject *found = PyObject_GetAttr(object.ptr(), name);
    if (found) {
        Py_DECREF(found);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return false;
}

// Runs each step even when an earlier one failed, then raises the first
// failure: the shape of nested try/finally blocks.
class Steps {
public:
    template <typename Step> void run(Step &&step) {
        try {
            step();
        } catch (nb::python_error &error) {
            if (!failure_)
                failure_.emplace(std::move(error));
        }
    }
    void finish() {
        if (failure_)
            throw std::move(*failure_);
    }

private:
    std::optional<nb::python_error> failure_;
};

// The module's logger (looked up on the module so that a replacement is honoured).
nb::object module_logger();

// Holds a handler's lock (whatever object `lock` is: recursive, possibly
// process-shared) for one scope; released on every way out.
class HandlerLock {
public:
    explicit HandlerLock(nb::handle handler);
    ~HandlerLock();
    HandlerLock(const HandlerLock &) = delete;
    HandlerLock &operator=(const HandlerLock &) = delete;

private:
    nb::object lock_;
};

// The `coloured` property of both handlers. Its setter stores the value and
// installs a new formatter of the coloured or the plain class (looked up on
// the module).
nb::object get_coloured(nb::handle self);
void set_coloured(nb::handle self, nb::handle value, const char *coloured_class,
                  const char *plain_class);

// Screen handler (screen_handler.cpp).
void define_screen_handler(nb::module_ &module);

// Task log handler core (task_log_handler.cpp).
void define_task_log_handler(nb::module_ &module);
void change_file(nb::handle self, nb::handle logfile);
void close_handler(nb::handle self);

// Forked task logs (forked_logs.cpp).
void install_fork_guard();
void track_for_fork(nb::handle handler);
void enable_forked(nb::handle self, nb::handle consolidate);
void disable_forked(nb::handle self);
bool fork_registered(nb::handle self);
nb::object next_fork_logfile(nb::handle self, nb::handle logfile, nb::handle consolidate);
nb::object consolidate_next_forked_logfile(nb::handle self);
void concatenate_log(nb::handle self, nb::handle logfile, nb::handle delete_file);
void forked(nb::handle instance);
void forked_finalizer(nb::handle self, nb::handle parent_logfile, nb::handle delete_file);
void define_fork_block_class(nb::module_ &module);

}  // namespace handlers_detail

}  // namespace tavix::morlan
