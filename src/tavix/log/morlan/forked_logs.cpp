// Forked task logs: children forked through multiprocessing switch to a log
// file of their own and, when merging is on, append it to the parent's log at
// their exit. Also the guard that keeps every task log quiet across a fork.
#include <class_builder.hpp>

#include <vector>

#include "handlers.hpp"

namespace tavix::morlan::handlers_detail {

static nb::object registry() { return shared().mp_util.attr("_afterfork_registry"); }

// (key, object) pairs of the after-fork registry, as a list: the registry is
// weak-valued and may shrink while it is walked.
static nb::list registry_items() {
    return nb::borrow<nb::list>(checked(PySequence_List(registry().attr("items")().ptr())));
}

bool fork_registered(nb::handle self) {
    for (nb::handle item : registry_items())
        if (nb::borrow<nb::tuple>(item)[1].is(self))
            return true;
    return false;
}

void enable_forked(nb::handle self, nb::handle consolidate) {
    if (fork_registered(self)) {
        module_logger().attr("debug")("Forked tasklog generation is already enabled");
    } else {
        nb::object forked_hook = nb::handle(Py_TYPE(self.ptr())).attr("forked");
        shared().mp_util.attr("register_after_fork")(self, forked_hook);
        module_logger().attr("debug")("Enabled forked tasklog generation");
    }
    self.attr("_consolidate_forked_logs") = consolidate;
}

void disable_forked(nb::handle self) {
    for (nb::handle item : registry_items()) {
        nb::tuple entry = nb::borrow<nb::tuple>(item);
        if (entry[1].is(self)) {
            registry().attr("__delitem__")(entry[0]);
            module_logger().attr("debug")("Disabled forked tasklog generation");
            return;
        }
    }
    module_logger().attr("debug")("Forked tasklog generation was not enabled.");
}

// --- next_fork_logfile: a context manager object -----------------------------

static void block_init(nb::handle self, nb::handle handler, nb::handle logfile,
                       nb::handle consolidate) {
    self.attr("handler") = handler;
    self.attr("logfile") = logfile;
    self.attr("consolidate") = consolidate;
}

static void block_enter(nb::handle self) {
    nb::object handler = self.attr("handler");
    nb::object saved_consolidate = handler.attr("_consolidate_forked_logs");
    nb::object consolidate = self.attr("consolidate");
    // A false value counts as not given: the handler's flag stays in force.
    nb::object chosen = truthy(consolidate) ? consolidate : saved_consolidate;
    bool was_registered = fork_registered(handler);
    self.attr("_saved_consolidate") = saved_consolidate;
    self.attr("_saved_logfile") = handler.attr("_on_fork_logfile");
    self.attr("_was_registered") = nb::bool_(was_registered);
    if (!was_registered)
        handler.attr("enableForked")();
    handler.attr("_on_fork_logfile") = self.attr("logfile");
    handler.attr("_consolidate_forked_logs") = chosen;
}

// The previous state comes back whether or not the block raised: a failed
// block must not leave later children logging into its file.
static bool block_exit(nb::handle self, nb::args) {
    nb::object handler = self.attr("handler");
    Steps steps;
    steps.run([&] { handler.attr("_on_fork_logfile") = self.attr("_saved_logfile"); });
    steps.run([&] { handler.attr("_consolidate_forked_logs") = self.attr("_saved_consolidate"); });
    steps.run([&] {
        if (!nb::cast<bool>(self.attr("_was_registered")))
            handler.attr("disableForked")();
    });
    steps.finish();
    return false;  // the block's exception, if any, propagates unchanged
}

void define_fork_block_class(nb::module_ &module) {
    ClassBuilder(module, "_NextForkLogfile", {nb::handle((PyObject *)&PyBaseObject_Type)})
        .doc("The block of TaskLogHandler.next_fork_logfile.")
        .method("__init__", &block_init, nb::arg("handler").none(), nb::arg("logfile").none(),
                nb::arg("consolidate").none())
        .method("__enter__", &block_enter)
        .method("__exit__", &block_exit)
        .build();
}

nb::object next_fork_logfile(nb::handle self, nb::handle logfile, nb::handle consolidate) {
    return shared().module.attr("_NextForkLogfile")(self, logfile, consolidate);
}

nb::object consolidate_next_forked_logfile(nb::handle self) {
    return self.attr("next_fork_logfile")(nb::none(), true);
}

// --- Copying logs ---------------------------------------------------------------

// Copies the file at `path`, opened with `mode` (and `encoding`), into `target`.
static void copy_file_into(nb::handle path, const char *mode, nb::handle encoding,
                           nb::handle target) {
    nb::object source = shared().open(path, mode, nb::arg("encoding") = encoding);
    Steps steps;
    steps.run([&] { shared().copyfileobj(source, target); });
    steps.run([&] { source.attr("close")(); });
    steps.finish();
}

void concatenate_log(nb::handle self, nb::handle logfile, nb::handle delete_file) {
    HandlerLock locked(self);
    // Read with the handler's encoding: the file is normally a child's log,
    // written by a copy of this handler.
    copy_file_into(logfile, "r", self.attr("encoding"), self.attr("stream"));
    if (truthy(delete_file))
        shared().os.attr("remove")(logfile);
}

void forked_finalizer(nb::handle self, nb::handle parent_logfile, nb::handle delete_file) {
    nb::object logfile = self.attr("logfile");
    module_logger().attr("info")("<<<< End child log %s", logfile);
    HandlerLock locked(self);
    self.attr("close")();
    // Bytes, not text: the merged block is exactly what the child wrote,
    // whatever encoding the handler uses.
    nb::object target = shared().open(parent_logfile, "ab");
    Steps steps;
    steps.run([&] { copy_file_into(logfile, "rb", nb::none(), target); });
    steps.run([&] { target.attr("close")(); });
    steps.finish();
    if (truthy(delete_file))
        shared().os.attr("remove")(logfile);
}

// --- The child side --------------------------------------------------------------

static bool is_console(nb::handle stream) {
    nb::handle sys = shared().sys;
    for (const char *name : {"stdout", "stderr", "__stdout__", "__stderr__"})
        if (nb::getattr(sys, name, nb::none()).is(stream))
            return true;
    return false;
}

// In a child, lets go of the stream inherited from the parent without writing
// anything to it: whatever its buffer may hold belongs to the parent. The
// descriptor is first pointed at the null device, so closing the stream writes
// nowhere and the parent's file is left untouched.
static void drop_inherited_stream(nb::handle handler) {
    HandlerLock locked(handler);
    nb::object stream = handler.attr("stream");
    if (stream.is_none())
        return;
    handler.attr("stream") = nb::none();
    if (is_console(stream))
        return;
    PyObject *fileno = PyObject_CallMethod(stream.ptr(), "fileno", nullptr);
    if (!fileno) {
        PyErr_Clear();  // not backed by a descriptor: nothing of the parent's to protect
        return;
    }
    int fd = PyLong_AsLong(fileno);
    Py_DECREF(fileno);
    if (fd < 0) {
        PyErr_Clear();
        return;
    }
    nb::object os = shared().os;
    nb::object null_fd = os.attr("open")(os.attr("devnull"), os.attr("O_WRONLY"));
    Steps steps;
    steps.run([&] { os.attr("dup2")(null_fd, fd); });
    steps.run([&] { os.attr("close")(null_fd); });
    steps.finish();
    PyObject *closed = PyObject_CallMethod(stream.ptr(), "close", nullptr);
    if (closed)
        Py_DECREF(closed);
    else
        PyErr_Clear();  // it could only have written to the null device
}

void forked(nb::handle instance) {
    nb::object logfile = instance.attr("logfile");
    if (!truthy(logfile))
        return;
    nb::object parent_logfile = logfile;
    nb::object pid = shared().os.attr("getpid")();
    nb::object child_logfile = instance.attr("_on_fork_logfile");
    if (!truthy(child_logfile))
        child_logfile = instance.attr("forked_log_pattern")
                            .attr("format")(nb::arg("parent") = logfile, nb::arg("pid") = pid);
    bool consolidate = truthy(instance.attr("_consolidate_forked_logs"));
    if (!consolidate)
        module_logger().attr("info")("Forked process %s started, log: %s", pid, child_logfile);
    drop_inherited_stream(instance);
    instance.attr("changeFile")(child_logfile);
    instance.attr("_on_fork_logfile") = nb::none();
    if (consolidate) {
        module_logger().attr("info")(">>>> Begin child log %s", child_logfile);
        shared().mp_util.attr("Finalize")(instance, instance.attr("forked_finalizer"),
                                          nb::arg("args") = nb::make_tuple(parent_logfile),
                                          nb::arg("exitpriority") = -9999);
    }
}

// --- Fork guard -------------------------------------------------------------------
//
// A child forked while a parent thread is inside a task log's write or flush
// would inherit the file object's internal lock held by a thread that does not
// exist in the child, and a half-written buffer. So every task log lock of the
// process is taken before fork and given back after it: no write is in
// progress at the fork, and the parent's pending bytes are flushed by the
// parent alone.

// Per thread, so that what one fork holds is never mixed with another
// thread's fork. Emptied after every fork: nothing is left to destroy when
// the thread ends.
static std::vector<nb::object> &held_locks() {
    static thread_local std::vector<nb::object> locks;
    return locks;
}

void track_for_fork(nb::handle handler) {
    nb::list &handlers = shared().task_handlers;
    nb::list alive;
    for (nb::handle ref : handlers)
        if (!ref().is_none())
            alive.append(ref);
    alive.append(shared().weakref_ref(handler));
    handlers = alive;
}

static void report_unraisable(nb::python_error &error, const char *where) {
    error.restore();
    PyErr_WriteUnraisable(nb::str(where).ptr());
}

static void before_fork() {
    std::vector<nb::object> &held = held_locks();
    // In creation order, so concurrent forks take the locks in the same order.
    nb::list handlers = nb::borrow<nb::list>(checked(PySequence_List(shared().task_handlers.ptr())));
    for (nb::handle ref : handlers) {
        try {
            nb::object handler = ref();
            if (handler.is_none())
                continue;
            nb::object lock = handler.attr("lock");
            if (lock.is_none())
                continue;
            lock.attr("acquire")();
            held.push_back(lock);
            nb::object stream = handler.attr("stream");
            if (!stream.is_none() && has_attr(stream, names().flush)) {
                try {
                    stream.attr("flush")();
                } catch (nb::python_error &) {
                    // The parent's next write retries; the child never writes these bytes.
                }
            }
        } catch (nb::python_error &error) {
            report_unraisable(error, "task log handler before fork");
        }
    }
}

static void after_fork_in_parent() {
    std::vector<nb::object> &held = held_locks();
    for (auto lock = held.rbegin(); lock != held.rend(); ++lock) {
        try {
            lock->attr("release")();
        } catch (nb::python_error &error) {
            report_unraisable(error, "task log handler after fork");
        }
    }
    held.clear();
}

static void after_fork_in_child() {
    std::vector<nb::object> &held = held_locks();
    for (nb::object &lock : held) {
        try {
            if (nb::hasattr(lock, "_semlock")) {
                // Process-shared: the parent gives the lock back. The child only
                // forgets its copy of the ownership count, without touching
                // the semaphore, which the parent still holds.
                lock.attr("_semlock").attr("_after_fork")();
            } else if (nb::hasattr(lock, "_at_fork_reinit")) {
                lock.attr("_at_fork_reinit")();
            } else {
                lock.attr("release")();
            }
        } catch (nb::python_error &error) {
            report_unraisable(error, "task log handler after fork");
        }
    }
    held.clear();
}

void install_fork_guard() {
    shared().os.attr("register_at_fork")(
        nb::arg("before") = nb::cpp_function(&before_fork),
        nb::arg("after_in_parent") = nb::cpp_function(&after_fork_in_parent),
        nb::arg("after_in_child") = nb::cpp_function(&after_fork_in_child));
}

}  // namespace tavix::morlan::handlers_detail
