// What the handlers share: interpreter objects looked up once, interned
// attribute names, the handler-lock guard, and the module entry points.
#include "handlers.hpp"

namespace tavix::morlan {

namespace handlers_detail {

Shared &shared() {
    static Shared *state = new Shared();  // deliberately never destroyed
    return *state;
}

const Names &names() {
    static const Names interned = [] {
        auto intern = [](const char *text) {
            PyObject *name = PyUnicode_InternFromString(text);
            if (!name)
                throw nb::python_error();
            return name;  // kept for the life of the process
        };
        return Names{intern("filter"),    intern("filters"), intern("lock"),
                     intern("acquire"),   intern("release"), intern("emit"),
                     intern("format"),    intern("formatter"), intern("stream"),
                     intern("terminator"), intern("write"),  intern("flush"),
                     intern("close"),     intern("handleError")};
    }();
    return interned;
}

nb::object module_logger() {
    nb::handle module = shared().module;
    if (nb::hasattr(module, "logger"))
        return module.attr("logger");
    return shared().logging.attr("getLogger")(module.attr("__name__"));
}

HandlerLock::HandlerLock(nb::handle handler) {
    nb::object lock = checked(PyObject_GetAttr(handler.ptr(), names().lock));
    if (!lock.is_none()) {
        checked(PyObject_CallMethodNoArgs(lock.ptr(), names().acquire));
        lock_ = std::move(lock);
    }
}

HandlerLock::~HandlerLock() {
    if (!lock_.is_valid())
        return;
    // Released even while an exception is on its way out; a failing release
    // must not hide that exception.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *result = PyObject_CallMethodNoArgs(lock_.ptr(), names().release);
    if (result)
        Py_DECREF(result);
    else if (type)
        PyErr_Clear();
    else
        PyErr_WriteUnraisable(lock_.ptr());
    PyErr_Restore(type, value, traceback);
}

nb::object get_coloured(nb::handle self) { return self.attr("_coloured"); }

void set_coloured(nb::handle self, nb::handle value, const char *coloured_class,
                  const char *plain_class) {
    self.attr("_coloured") = value;
    self.attr("setFormatter")(shared().module.attr(truthy(value) ? coloured_class : plain_class)());
}

static void load_shared(nb::module_ &module) {
    Shared &s = shared();
    s.module = module;
    s.logging = nb::module_::import_("logging");
    s.logging_handler = s.logging.attr("Handler");
    s.logging_stream_handler = s.logging.attr("StreamHandler");
    s.logging_record = s.logging.attr("LogRecord");
    s.os = nb::module_::import_("os");
    s.os_path = s.os.attr("path");
    s.sys = nb::module_::import_("sys");
    s.open = nb::module_::import_("io").attr("open");
    s.copyfileobj = nb::module_::import_("shutil").attr("copyfileobj");
    s.mp = nb::module_::import_("multiprocessing");
    s.mp_util = nb::module_::import_("multiprocessing.util");
    s.weakref_ref = nb::module_::import_("weakref").attr("ref");
    // Class dictionaries hold the plain functions, the same objects that a
    // type lookup on an unmodified subclass finds.
    auto function_of = [](nb::handle cls, const char *name) {
        return nb::object(cls.attr("__dict__")[name]).release().ptr();  // kept for the process
    };
    s.filterer_filter = function_of(s.logging.attr("Filterer"), "filter");
    s.handler_format = function_of(s.logging_handler, "format");
    s.stream_handler_flush = function_of(s.logging_stream_handler, "flush");
    s.task_handlers = nb::list();
    names();
}

}  // namespace handlers_detail

void define_handlers(nanobind::module_ &module) {
    using namespace handlers_detail;
    load_shared(module);
    define_screen_handler(module);
    define_task_log_handler(module);
    define_fork_block_class(module);
    install_fork_guard();
}

}  // namespace tavix::morlan
