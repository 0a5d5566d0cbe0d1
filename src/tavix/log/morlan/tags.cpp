// MorlanLogTags: the tags field of a MorlanLog line, and the memo that lets
// the parts of a record render their shared items once.
#include "record_classes.hpp"

namespace tavix::morlan {

namespace record_classes {

// True when every key of `dict` is a str, as keyword arguments must be.
bool string_keys(PyObject *dict) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value))
        if (!PyUnicode_Check(key))
            return false;
    return true;
}

// MorlanLogTags.copy: type(self)(**self)
nb::object tags_copy(nb::handle self) {
    if (!string_keys(self.ptr())) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        throw nb::python_error();
    }
    if ((PyObject *)Py_TYPE(self.ptr()) == st->tags_cls) {
        nb::object copy = new_tags();
        if (PyDict_Update(copy.ptr(), self.ptr()) < 0)
            throw nb::python_error();
        return copy;
    }
    nb::object items = nb::steal(PyDict_Copy(self.ptr()));
    if (!items.is_valid())
        throw nb::python_error();
    PyObject *copy = PyObject_Call((PyObject *)Py_TYPE(self.ptr()), st->empty_tuple, items.ptr());
    if (!copy)
        throw nb::python_error();
    return nb::steal(copy);
}

namespace {

TagsMemo *&active_memo() {
    thread_local TagsMemo *memo = nullptr;
    return memo;
}

// The tags field text when every key and value is ASCII, appended to `out`;
// false (nothing appended) otherwise. Leading items that match the active
// memo by identity are copied from its text; the first tags rendered under
// an empty memo fill it.
bool append_tags_ascii(PyObject *tags, fast::TextBuffer &out) {
    if (PyDict_GET_SIZE(tags) == 0)
        return true;
    size_t start = out.size();
    out += '%';
    TagsMemo *memo = active_memo();
    bool matching = memo && !memo->items.empty(), extending = memo && memo->items.empty();
    size_t index = 0;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    auto take_memo = [&] {
        if (index)
            out.append(memo->text.data(), memo->ends[index - 1]);
        matching = false;
    };
    while (PyDict_Next(tags, &position, &key, &value)) {
        if (matching) {
            if (index < memo->items.size() && memo->items[index].first.ptr() == key &&
                memo->items[index].second.ptr() == value) {
                ++index;
                continue;
            }
            take_memo();
        }
        nb::object key_ref = nb::borrow(key), value_ref = nb::borrow(value);
        size_t item_start = out.size();
        out += '[';
        bool done = fast::append_ascii_text(key, out), direct = done;
        if (done) {
            out += '=';
            done = fast::append_ascii_text(value, out);
            if (!done && !PyUnicode_Check(value)) {
                direct = false;
                nb::object text = nb::steal(PyObject_Str(value));
                if (!text.is_valid()) {
                    out.resize(start);
                    throw nb::python_error();
                }
                done = fast::append_ascii_text(text.ptr(), out);
            }
        }
        if (!done) {
            out.resize(start);
            return false;
        }
        out += ']';
        // exact str and int keys and values always give the same text
        extending = extending && direct;
        if (extending)
            memo->add(std::move(key_ref), std::move(value_ref), out.data() + item_start, out.size() - item_start);
    }
    if (matching)
        take_memo();
    out += ": ";
    return true;
}

}  // namespace

// MorlanLogTags.__str__: "%[key=value]...: ", or "" when empty.
nb::object tags_str(nb::handle self) {
    PyObject *dict = self.ptr();
    if (PyDict_GET_SIZE(dict) == 0)
        return nb::borrow(st->empty_text);
    fast::TextBuffer &scratch = fast::scratch();
    size_t start = scratch.size();
    if (append_tags_ascii(dict, scratch)) {
        PyObject *text = PyUnicode_DecodeASCII(scratch.data() + start, (Py_ssize_t)(scratch.size() - start), nullptr);
        scratch.resize(start);
        if (!text)
            throw nb::python_error();
        return nb::steal(text);
    }
    nb::list pieces;
    pieces.append(nb::str("%"));
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        nb::object key_ref = nb::borrow(key), value_ref = nb::borrow(value);
        pieces.append(nb::str("["));
        pieces.append(nb::str(key_ref));
        pieces.append(nb::str("="));
        pieces.append(nb::str(value_ref));
        pieces.append(nb::str("]"));
    }
    pieces.append(nb::str(": "));
    PyObject *joined = PyUnicode_Join(st->empty_text, pieces.ptr());
    if (!joined)
        throw nb::python_error();
    return nb::steal(joined);
}

}  // namespace record_classes

using namespace record_classes;

TagsMemo::TagsMemo() : outer_(active_memo()) { active_memo() = this; }

TagsMemo::~TagsMemo() { active_memo() = outer_; }

void TagsMemo::add(nb::object key, nb::object value, const char *item, size_t length) {
    items.emplace_back(std::move(key), std::move(value));
    text.append(item, length);
    ends.push_back(text.size());
}

bool tags_text(PyObject *value, fast::TextBuffer &out) {
    if ((PyObject *)Py_TYPE(value) != st->tags_cls ||
        fast::class_lookup(Py_TYPE(value), st->s___str__) != st->tags_str_attr)
        return false;
    return append_tags_ascii(value, out);
}

}  // namespace tavix::morlan
