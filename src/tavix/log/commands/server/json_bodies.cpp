// JSON bodies written in a worker thread without holding up the event loop.
//
// json.dumps keeps the interpreter lock from start to end: a body of many
// megabytes written by it in a worker still stops the loop meanwhile. This
// writer gives the very bytes json.dumps gives, and lets the lock go every
// 64 KiB of them, so the loop answers other requests in between; the request
// whose client has gone stops there.
#include "coroutine.hpp"
#include "json_text.hpp"
#include "server.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace tavix::server {

namespace {

constexpr size_t kPauseBytes = 64 << 10;
// Deeper values are written by json.dumps, which finds circular references.
constexpr int kNativeDepth = 64;

class Writer {
public:
    Writer(const CancelFlag &flag, bool compact) : flag_(flag), compact_(compact) {}

    void value(PyObject *v, int depth) {
        if (v == Py_None)
            out += "null";
        else if (v == Py_True)
            out += "true";
        else if (v == Py_False)
            out += "false";
        else if (PyUnicode_Check(v))
            text(v);
        else if (PyLong_Check(v))
            whole(v);
        else if (PyFloat_Check(v))
            real(v);
        else if (depth >= kNativeDepth)
            dumped(v);
        else if (PyList_Check(v) || PyTuple_Check(v))
            sequence(v, depth);
        else if (PyDict_CheckExact(v))
            mapping(v, depth);
        else
            dumped(v);  // a mapping of its own kind, or a value for json's default
    }

    std::string out;

private:
    // Lets the lock go once another 64 KiB are written; the writing stops
    // there when the client has gone. Without a flag the writer is on the
    // loop's own thread, which keeps the lock.
    void pause() {
        if (!flag_ || out.size() - paused_at_ < kPauseBytes)
            return;
        paused_at_ = out.size();
        {
            nb::gil_scoped_release unlocked;
            // Room for what follows, taken while the lock is let go: moving
            // megabytes into a larger buffer need not hold the loop.
            if (out.capacity() - out.size() < 2 * kPauseBytes)
                out.reserve(2 * out.capacity());
        }
        if (cancelled(flag_)) {
            PyErr_SetNone(state->cancelled_error.ptr());
            throw nb::python_error();
        }
    }

    void text(PyObject *s) {
        json_text::Value string{s};
        size_t at = out.size(), size = size_t(string.size());
        if (flag_ && out.capacity() - at < size) {
            nb::gil_scoped_release unlocked;
            out.reserve(std::max(2 * out.capacity(), at + size));
        }
        out.resize(at + size);
        string.put(out.data() + at);
    }

    void whole(PyObject *v) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (x == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (overflow) {
            append_ascii(nb::steal(PyLong_Type.tp_repr(v)));
            return;
        }
        char digits[24];
        auto end = std::to_chars(digits, digits + sizeof digits, x).ptr;
        out.append(digits, end);
    }

    // As float.__repr__, with json's names for the values that are not finite.
    void real(PyObject *v) {
        double x = PyFloat_AS_DOUBLE(v);
        if (std::isnan(x)) {
            out += "NaN";
        } else if (std::isinf(x)) {
            out += x > 0 ? "Infinity" : "-Infinity";
        } else {
            char *repr = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!repr)
                throw nb::python_error();
            out += repr;
            PyMem_Free(repr);
        }
    }

    // Items are taken one at a time, each held while it is written: the
    // list may change while the lock is let go.
    void sequence(PyObject *v, int depth) {
        bool list = PyList_Check(v);
        out += '[';
        for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v)); ++i) {
            nb::object item = nb::borrow(list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i));
            if (i)
                out += compact_ ? "," : ", ";
            value(item.ptr(), depth + 1);
            pause();
        }
        out += ']';
    }

    // The entries are taken first and held, for the same reason. Keys other
    // than strings are json.dumps's to convert (or refuse).
    void mapping(PyObject *v, int depth) {
        std::vector<std::pair<nb::object, nb::object>> items;
        items.reserve(size_t(PyDict_GET_SIZE(v)));
        Py_ssize_t position = 0;
        PyObject *key, *item;
        while (PyDict_Next(v, &position, &key, &item)) {
            if (!PyUnicode_Check(key)) {
                dumped(v);
                return;
            }
            items.emplace_back(nb::borrow(key), nb::borrow(item));
        }
        out += '{';
        for (size_t i = 0; i < items.size(); ++i) {
            if (i)
                out += compact_ ? "," : ", ";
            text(items[i].first.ptr());
            out += compact_ ? ":" : ": ";
            value(items[i].second.ptr(), depth + 1);
            pause();
        }
        out += '}';
    }

    void dumped(PyObject *v) {
        append_ascii((compact_ ? state->compact_dumps : state->dumps)(nb::handle(v)));
    }

    void append_ascii(const nb::object &text) {
        if (!text.is_valid())
            throw nb::python_error();
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (!data)
            throw nb::python_error();
        out.append(data, size_t(size));
    }

    const CancelFlag &flag_;
    bool compact_;
    size_t paused_at_ = 0;
};

}  // namespace

nb::bytes json_bytes(nb::handle value, const CancelFlag &flag, bool compact) {
    Writer writer(flag, compact);
    writer.value(value.ptr(), 0);
    const std::string &out = writer.out;
    PyObject *body = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(out.size()));
    if (!body)
        throw nb::python_error();
    {
        std::optional<nb::gil_scoped_release> unlocked;
        if (flag)
            unlocked.emplace();
        std::memcpy(PyBytes_AS_STRING(body), out.data(), out.size());
    }
    return nb::steal<nb::bytes>(body);
}

nb::object bytes_answer(nb::handle self, nb::handle body) {
    return state->response(nb::arg("body") = body, nb::arg("content_type") = "application/json",
                           nb::arg("charset") = "utf-8", nb::arg("headers") = default_header(self));
}

nb::object json_answer(nb::handle self, nb::handle body, const CancelFlag &flag) {
    return bytes_answer(self, json_bytes(body, flag));
}

}  // namespace tavix::server
