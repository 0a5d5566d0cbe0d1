#include "coroutine.hpp"

#include <py_helpers.hpp>
#include <structmember.h>

#include <exception>
#include <utility>

namespace tavix::server {

namespace {

PyTypeObject *ready_type = nullptr;
PyTypeObject *method_type = nullptr;
PyTypeObject *future_type = nullptr;      // asyncio.Future
PyObject *get_running_loop = nullptr;     // asyncio.get_running_loop

// ---------------------------------------------------------------------------
// _Ready: an awaitable that completes on its first step.

struct ReadyObject {
    PyObject_HEAD
    PyObject *result;  // owned; handed out (and cleared) by the first step
    PyObject *error;   // owned exception instance to raise instead, or null
};

// Takes the pending exception (normalised, with its traceback attached).
PyObject *take_error() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) {
        PyException_SetTraceback(value, tb);
        Py_DECREF(tb);
    }
    Py_XDECREF(type);
    return value;
#endif
}

// Raises `error`, stealing the reference.
void raise_error(PyObject *error) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error);
#else
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(error));
    Py_INCREF(type);
    PyErr_Restore(type, error, PyException_GetTraceback(error));
#endif
}

// Hands out the outcome once: the result (new reference) or null with the
// exception set.
PyObject *ready_take(ReadyObject *ready) {
    if (PyObject *error = ready->error) {
        ready->error = nullptr;
        raise_error(error);
        return nullptr;
    }
    PyObject *result = ready->result;
    if (!result)
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    ready->result = nullptr;
    return result;
}

PyObject *ready_self(PyObject *self) {
    Py_INCREF(self);
    return self;
}

PyObject *ready_iternext(PyObject *self) {
    PyObject *result = ready_take(reinterpret_cast<ReadyObject *>(self));
    if (!result)
        return nullptr;
    // StopIteration(result): built explicitly so that a tuple result is not
    // taken for constructor arguments.
    PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, result);
    Py_DECREF(result);
    if (stop) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
    return nullptr;
}

#if PY_VERSION_HEX >= 0x030A0000
// `await` uses this slot when present: the result comes back without raising
// StopIteration, which keeps every request free of an exception object.
PySendResult ready_send(PyObject *self, PyObject *, PyObject **presult) {
    *presult = ready_take(reinterpret_cast<ReadyObject *>(self));
    return *presult ? PYGEN_RETURN : PYGEN_ERROR;
}
#endif

// The result and the exception (through its traceback's frames) may refer
// back to the awaitable: the collector must see both.
int ready_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *ready = reinterpret_cast<ReadyObject *>(self);
    Py_VISIT(ready->result);
    Py_VISIT(ready->error);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int ready_clear(PyObject *self) {
    auto *ready = reinterpret_cast<ReadyObject *>(self);
    Py_CLEAR(ready->result);
    Py_CLEAR(ready->error);
    return 0;
}

void ready_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    ready_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// A new _Ready holding `result` or `error` (both stolen; one of them null).
PyObject *new_ready(PyObject *result, PyObject *error) {
    ReadyObject *ready = PyObject_GC_New(ReadyObject, ready_type);
    if (!ready) {
        Py_XDECREF(result);
        Py_XDECREF(error);
        return nullptr;
    }
    ready->result = result;
    ready->error = error;
    PyObject_GC_Track(ready);
    return reinterpret_cast<PyObject *>(ready);
}

PyType_Slot ready_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(ready_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(ready_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(ready_clear)},
    {Py_am_await, reinterpret_cast<void *>(ready_self)},
    {Py_tp_iter, reinterpret_cast<void *>(ready_self)},
    {Py_tp_iternext, reinterpret_cast<void *>(ready_iternext)},
#if PY_VERSION_HEX >= 0x030A0000
    {Py_am_send, reinterpret_cast<void *>(ready_send)},
#endif
    {Py_tp_doc, const_cast<char *>("Outcome of a request handler, awaitable once.")},
    {0, nullptr},
};

PyType_Spec ready_spec = {
    "tavix.log.commands.server._Ready", sizeof(ReadyObject), 0,
#if PY_VERSION_HEX >= 0x030A0000
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
#else
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
#endif
    ready_slots,
};

// ---------------------------------------------------------------------------
// _CoroutineMethod: the handler function object.

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *dict;
    HandlerBody body;
};

PyObject *method_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames) {
    auto *method = reinterpret_cast<MethodObject *>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 2 || (kwnames && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "a request handler takes (self, request)");
        return nullptr;
    }
    PyObject *result = nullptr;
    try {
        result = method->body(args[0], args[1]).release().ptr();
    } catch (...) {
        restore_as_python_error();
    }
    // Work handed to a worker thread: the future is the awaitable.
    if (result && PyObject_TypeCheck(result, future_type))
        return result;
    return new_ready(result, result ? nullptr : take_error());
}

PyObject *method_get(PyObject *self, PyObject *instance, PyObject *) {
    if (!instance || instance == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, instance);
}

int method_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<MethodObject *>(self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int method_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<MethodObject *>(self)->dict);
    return 0;
}

void method_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    method_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef method_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(MethodObject, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(method_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(method_clear)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(method_get)},
    {Py_tp_members, method_members},
    {0, nullptr},
};

PyType_Spec method_spec = {
    "tavix.log.commands.server._CoroutineMethod", sizeof(MethodObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR
#if PY_VERSION_HEX >= 0x030A0000
        | Py_TPFLAGS_DISALLOW_INSTANTIATION
#endif
    ,
    method_slots,
};

PyTypeObject *make_type(PyType_Spec &type_spec) {
    PyObject *type = PyType_FromSpec(&type_spec);
    if (!type)
        throw nb::python_error();
    return reinterpret_cast<PyTypeObject *>(type);  // kept for the process lifetime
}

}  // namespace

void init_coroutine_types(nb::module_ &m) {
    ready_type = make_type(ready_spec);
    method_type = make_type(method_spec);
    // Named in the module so that the type stub can name the handlers' type.
    m.attr("_CoroutineMethod") = nb::handle(reinterpret_cast<PyObject *>(method_type));
    nb::module_ asyncio = nb::module_::import_("asyncio");
    future_type = reinterpret_cast<PyTypeObject *>(nb::object(asyncio.attr("Future")).release().ptr());
    get_running_loop = nb::object(asyncio.attr("get_running_loop")).release().ptr();
}

namespace {

// Settles `target` with the outcome of the finished future `done`, unless
// the request behind `target` has gone away.
void settle_from(nb::handle target, nb::handle done) {
    if (nb::cast<bool>(target.attr("done")()))
        return;
    if (nb::cast<bool>(done.attr("cancelled")())) {
        target.attr("cancel")();
        return;
    }
    nb::object error = done.attr("exception")();
    if (!error.is_none())
        target.attr("set_exception")(error);
    else
        target.attr("set_result")(done.attr("result")());
}

}  // namespace

nb::object then(nb::handle source, std::function<nb::object(nb::handle)> step) {
    nb::object target = source.attr("get_loop")().attr("create_future")();
    auto complete = [target, step = std::move(step)](nb::handle done) {
        // A request whose client went away has its answer cancelled already.
        // The work's outcome is then nobody's: its error (a diff stopped for
        // that client, say) is taken, so asyncio does not report it as never
        // retrieved.
        if (nb::cast<bool>(target.attr("done")())) {
            if (!nb::cast<bool>(done.attr("cancelled")()))
                done.attr("exception")();
            return;
        }
        nb::object outcome;
        try {
            outcome = step(done);
        } catch (...) {
            restore_as_python_error();
        }
        if (!outcome.is_valid()) {
            target.attr("set_exception")(nb::steal(take_error()));
        } else if (PyObject_TypeCheck(outcome.ptr(), future_type)) {
            outcome.attr("add_done_callback")(
                nb::cpp_function([target](nb::handle next) { settle_from(target, next); }));
        } else {
            target.attr("set_result")(outcome);
        }
    };
    source.attr("add_done_callback")(nb::cpp_function(std::move(complete)));
    return target;
}

nb::object off_loop(std::function<nb::object()> work, std::function<nb::object(nb::handle)> finish) {
    nb::object loop = nb::steal(PyObject_CallNoArgs(get_running_loop));
    if (!loop.is_valid())
        throw nb::python_error();
    nb::object job = loop.attr("run_in_executor")(nb::none(), nb::cpp_function(std::move(work)));
    return then(job, std::move(finish));
}

nb::object ready_result(nb::object result) {
    PyObject *ready = new_ready(result.release().ptr(), nullptr);
    if (!ready)
        throw nb::python_error();
    return nb::steal(ready);
}

nb::object coroutine_method(const char *name, const char *qualname, HandlerBody body,
                            const char *doc) {
    auto *method = reinterpret_cast<MethodObject *>(PyType_GenericAlloc(method_type, 0));
    if (!method)
        throw nb::python_error();
    method->vectorcall = method_vectorcall;
    method->body = body;
    method->dict = PyDict_New();
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(method));
    if (!method->dict)
        throw nb::python_error();
    result.attr("__name__") = nb::str(name);
    result.attr("__qualname__") = nb::str(qualname);
    result.attr("__doc__") = nb::str(doc);

    nb::module_ inspect = nb::module_::import_("inspect");
    if (nb::object mark = optional_attr(inspect, "markcoroutinefunction"); mark.is_valid())
        mark(result);
    nb::module_ coroutines = nb::module_::import_("asyncio.coroutines");
    if (nb::object marker = optional_attr(coroutines, "_is_coroutine"); marker.is_valid())
        result.attr("_is_coroutine") = marker;
    return result;
}

}  // namespace tavix::server
