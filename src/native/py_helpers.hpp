// Small helpers on interpreter values shared by the extension modules.
#pragma once

#include <nanobind/nanobind.h>

#include <pthread.h>
#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

namespace tavix {

namespace nb = nanobind;

// The interpreter's truth test of a value.
inline bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

// str(value), as the interpreter's str() gives it.
inline nb::str as_text(nb::handle value) {
    PyObject *text = PyObject_Str(value.ptr());
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

// An interned text, for keys made often (the dictionaries of hits).
inline nb::str interned(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name)
        throw nb::python_error();
    return nb::steal<nb::str>(name);
}

// The text of UTF-8 bytes from a log, ill-formed pieces replaced by U+FFFD:
// the one decoder of log text.
inline nb::str decode_text(const char *data, size_t size) {
    PyObject *text = PyUnicode_DecodeUTF8(data, Py_ssize_t(size), "replace");
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

// 16 bytes from the kernel's random source, drawn in batches: one system call
// per id would dominate the cost of numbering many records. A forked child
// draws a batch of its own, so parent and child never hand out the same ids.
// Callers hold the GIL.
inline void random_16(unsigned char out[16]) {
    static unsigned char pool[4096];
    static size_t used = sizeof(pool);
    static bool fork_handled = [] {
        return pthread_atfork(nullptr, nullptr, [] { used = sizeof(pool); }) == 0;
    }();
    (void)fork_handled;
    if (used + 16 > sizeof(pool)) {
        size_t filled = 0;
        while (filled < sizeof(pool)) {
            ssize_t n = getrandom(pool + filled, sizeof(pool) - filled, 0);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                PyErr_SetFromErrno(PyExc_OSError);
                throw nb::python_error();
            }
            filled += (size_t)n;
        }
        used = 0;
    }
    memcpy(out, pool + used, 16);
    used += 16;
}

// The canonical text of a version-4 UUID made of the bits of `b`.
inline nb::str uuid4_text_of(unsigned char b[16]) {
    b[6] = (unsigned char)((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = (unsigned char)((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static const char hex[] = "0123456789abcdef";
    // Written straight into a new ASCII string: ids are made a million at a time.
    PyObject *made = PyUnicode_New(36, 127);
    if (!made)
        throw nb::python_error();
    auto text = static_cast<char *>(PyUnicode_DATA(made));
    size_t t = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text[t++] = '-';
        text[t++] = hex[b[i] >> 4];
        text[t++] = hex[b[i] & 0x0F];
    }
    return nb::steal<nb::str>(made);
}

// A new random version-4 UUID in its canonical 36-character text form.
inline nb::str uuid4_text() {
    unsigned char b[16];
    random_16(b);
    return uuid4_text_of(b);
}

// Runs the handlers of signals that arrived meanwhile and raises what they
// raise (KeyboardInterrupt for Ctrl-C): long native loops call it between
// blocks so that an interrupt is answered at once.
inline void handle_pending_signals() {
    if (PyErr_CheckSignals() < 0)
        throw nb::python_error();
}

// getattr(value, name, None) as the interpreter's getattr does it: only an
// AttributeError means "absent" (an invalid object); any other failure
// propagates. nanobind's getattr with a default would swallow them all.
inline nb::object optional_attr(nb::handle value, const char *name) {
    PyObject *found = PyObject_GetAttrString(value.ptr(), name);
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(found);
}

// Called inside a catch block: makes the exception being handled the pending
// Python error, with the type the interpreter's own modules would give it
// (MemoryError for a failed allocation, ValueError for a bad argument, ...).
// Native code calls it wherever an exception would otherwise cross a C frame.
inline void restore_as_python_error() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::bad_cast &e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::out_of_range &e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error &e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::logic_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::range_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// Closes a file after a failure, keeping that failure the one reported.
inline void close_after_failure(nb::handle file) {
    if (!file.is_valid())
        return;
    try {
        file.attr("close")();
    } catch (nb::python_error &) {
    }
}

}  // namespace tavix
