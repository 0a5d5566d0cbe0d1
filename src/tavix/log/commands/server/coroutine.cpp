#include "coroutine.hpp"

#include <structmember.h>

#include <exception>

namespace tavix::server {

namespace {

PyTypeObject *ready_type = nullptr;
PyTypeObject *method_type = nullptr;

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

void ready_dealloc(PyObject *self) {
    auto *ready = reinterpret_cast<ReadyObject *>(self);
    PyTypeObject *type = Py_TYPE(self);
    Py_XDECREF(ready->result);
    Py_XDECREF(ready->error);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot ready_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(ready_dealloc)},
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
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
#else
    Py_TPFLAGS_DEFAULT,
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
    ReadyObject *ready = PyObject_New(ReadyObject, ready_type);
    if (!ready)
        return nullptr;
    ready->result = nullptr;
    ready->error = nullptr;
    try {
        ready->result = method->body(args[0], args[1]).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
        ready->error = take_error();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        ready->error = take_error();
    }
    return reinterpret_cast<PyObject *>(ready);
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
}

nb::object coroutine_method(const char *name, const char *qualname, HandlerBody body) {
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

    nb::module_ inspect = nb::module_::import_("inspect");
    if (nb::hasattr(inspect, "markcoroutinefunction"))
        inspect.attr("markcoroutinefunction")(result);
    nb::module_ coroutines = nb::module_::import_("asyncio.coroutines");
    if (nb::hasattr(coroutines, "_is_coroutine"))
        result.attr("_is_coroutine") = coroutines.attr("_is_coroutine");
    return result;
}

}  // namespace tavix::server
