// Shortcuts for the logging hot paths shared by tavix.log.colour and
// tavix.log.morlan (header only: each module gets its own copy).
//
// A shortcut replaces a Python-level call chain of the interpreter's logging
// library by the C operation that chain ends in. It is taken only while the
// method involved is the stock one (neither overridden by a subclass nor
// shadowed on the instance), so the result is the same as the slow path.
#pragma once

#include <nanobind/nanobind.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <memory>
#include <string>
#include <vector>

#include "py_helpers.hpp"
#include "stock_check.hpp"

namespace tavix::fast {

namespace nb = nanobind;

// An interned string kept for the process lifetime.
inline PyObject *intern(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name)
        throw nb::python_error();
    return name;
}

inline PyObject *new_ref(PyObject *obj) {
    Py_INCREF(obj);
    return obj;
}

// a + b, with the interpreter's own errors.
inline nb::object add(nb::handle a, nb::handle b) {
    PyObject *sum = PyNumber_Add(a.ptr(), b.ptr());
    if (!sum)
        throw nb::python_error();
    return nb::steal(sum);
}

// obj.name(*args), without making a bound method.
template <typename... Args>
nb::object call_method(nb::handle obj, PyObject *name, Args... args) {
    PyObject *stack[] = {obj.ptr(), nb::handle(args).ptr()...};
    PyObject *result = PyObject_VectorcallMethod(name, stack, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                 nullptr);
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

using stock::class_lookup;

// The instance dictionary of `obj` (new reference; created when missing).
inline nb::object instance_dict(nb::handle obj) {
    PyObject *dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (!dict)
        throw nb::python_error();
    return nb::steal(dict);
}

// Borrowed entry of a dict, or nullptr; raises only on a failing __eq__/__hash__.
inline PyObject *dict_get(PyObject *dict, PyObject *key) {
    PyObject *value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred())
        throw nb::python_error();
    return value;
}

// The version tag of a dictionary, which changes with every change of it:
// values read from a module's globals stay valid while it is the same.
// (Deprecated since 3.12 in favour of dictionary watchers, which 3.9 to 3.11
// lack; every supported version still keeps it.)
inline uint64_t dict_version(PyObject *dict) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return ((PyDictObject *)dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

// Entries read from a dictionary, valid until it changes.
class DictReading {
public:
    bool current(PyObject *dict) const { return taken_ && dict_version(dict) == version_; }
    void taken(PyObject *dict) {
        version_ = dict_version(dict);
        taken_ = true;
    }

private:
    uint64_t version_ = 0;
    bool taken_ = false;
};

using stock::uses_stock;

// getattr(obj, name), read from the instance dictionary `dict` when it holds
// the name (plain records and formatters have no data descriptors there).
inline nb::object field(nb::handle obj, PyObject *dict, PyObject *name) {
    if (PyObject *value = dict_get(dict, name))
        return nb::borrow(value);
    PyObject *value = PyObject_GetAttr(obj.ptr(), name);
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

// getattr(obj, name, default) without raising for plain objects.
inline nb::object field_or(nb::handle obj, PyObject *dict, PyObject *name, nb::handle fallback) {
    if (PyObject *value = dict_get(dict, name))
        return nb::borrow(value);
    PyTypeObject *type = Py_TYPE(obj.ptr());
    if (type->tp_getattro == PyObject_GenericGetAttr && !class_lookup(type, name))
        return nb::borrow(fallback);
    PyObject *value = PyObject_GetAttr(obj.ptr(), name);
    if (value)
        return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return nb::borrow(fallback);
}

// Borrowed: the next definition of `name` after class `after` in the MRO of
// `type`, as super(after, obj).name would find it; nullptr if none.
inline PyObject *super_lookup(PyTypeObject *type, PyObject *after, PyObject *name) {
    PyObject *mro = type->tp_mro;
    if (!mro)
        return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != after)
        ++i;
    for (++i; i < n; ++i) {
        PyTypeObject *base = (PyTypeObject *)PyTuple_GET_ITEM(mro, i);
#if PY_VERSION_HEX >= 0x030C0000
        // the built-in types keep their dictionary elsewhere since 3.12
        nb::object dict = nb::steal(PyType_GetDict(base));
        if (PyObject *value = dict.is_valid() ? dict_get(dict.ptr(), name) : nullptr)
            return value;  // the class holds it too, so it stays alive
#else
        if (PyObject *value = base->tp_dict ? dict_get(base->tp_dict, name) : nullptr)
            return value;
#endif
    }
    return nullptr;
}

// A method implemented as a vector call, for the hottest entry points: it
// binds like a Python function (and like nanobind's methods) but takes its
// arguments without packing them into a tuple and a dict.
inline nb::object fastcall_method(PyTypeObject *owner, PyMethodDef *definition) {
    PyObject *descriptor = PyDescr_NewMethod(owner, definition);
    if (!descriptor)
        throw nb::python_error();
    return nb::steal(descriptor);
}

// The pieces of the interpreter's logging library the shortcuts compare
// against; looked up once, kept for the process lifetime.
struct LoggingStock {
    PyObject *formatter_format_message;  // logging.Formatter.formatMessage
    PyObject *percent_style;             // logging.PercentStyle
    PyObject *percent_style_format;      // PercentStyle.format
    PyObject *percent_style__format;     // PercentStyle._format
    PyObject *s_style, *s_fmt, *s_defaults, *s_format, *s__format, *s_formatMessage;
};

inline const LoggingStock &logging_stock() {
    static const LoggingStock *stock = [] {
        nb::module_ logging = nb::module_::import_("logging");
        nb::object formatter = logging.attr("Formatter"), style = logging.attr("PercentStyle");
        auto raw = [](nb::handle cls, const char *name) {
            return nb::handle(cls.attr("__dict__")[name]).inc_ref().ptr();
        };
        return new LoggingStock{raw(formatter, "formatMessage"),
                                style.inc_ref().ptr(),
                                raw(style, "format"),
                                raw(style, "_format"),
                                intern("_style"),
                                intern("_fmt"),
                                intern("_defaults"),
                                intern("format"),
                                intern("_format"),
                                intern("formatMessage")};
    }();
    return *stock;
}

// Raises the error PercentStyle.format reports for a template field that the
// record lacks: ValueError, with the KeyError as its context.
[[noreturn]] inline void raise_missing_field() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback)
        PyException_SetTraceback(value, traceback);
    PyErr_Format(PyExc_ValueError, "Formatting field not found in record: %S", value);
    PyObject *type2, *value2, *traceback2;
    PyErr_Fetch(&type2, &value2, &traceback2);
    PyErr_NormalizeException(&type2, &value2, &traceback2);
    PyException_SetContext(value2, value);  // steals `value`
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_Restore(type2, value2, traceback2);
    throw nb::python_error();
}

// A growing byte buffer for ASCII text, small enough to be inlined into the
// loops that fill it.
class TextBuffer {
public:
    TextBuffer() = default;
    TextBuffer(const TextBuffer &) = delete;
    TextBuffer &operator=(const TextBuffer &) = delete;
    ~TextBuffer() { std::free(data_); }

    size_t size() const { return size_; }
    const char *data() const { return data_; }
    void resize(size_t size) { size_ = size; }  // shrinking only
    [[gnu::always_inline]] void append(const char *text, size_t length) {
        reserve(size_ + length);
        memcpy(data_ + size_, text, length);
        size_ += length;
    }
    [[gnu::always_inline]] TextBuffer &operator+=(char c) {
        reserve(size_ + 1);
        data_[size_++] = c;
        return *this;
    }
    TextBuffer &operator+=(const char *text) {
        append(text, strlen(text));
        return *this;
    }

private:
    // The growing half kept out of line, so that appends inline to a compare
    // and a copy.
    void reserve(size_t needed) {
        if (needed > capacity_) [[unlikely]]
            grow(needed);
    }
    [[gnu::noinline]] void grow(size_t needed) {
        size_t capacity = capacity_ ? capacity_ : 256;
        while (capacity < needed)
            capacity *= 2;
        char *data = (char *)std::realloc(data_, capacity);
        if (!data)
            throw std::bad_alloc();
        data_ = data;
        capacity_ = capacity;
    }

    char *data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

// Appends the decimal text of an exact int to `out`; false when it does not
// fit a long long (the caller falls back to str()).
inline bool append_int(PyObject *value, TextBuffer &out) {
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow || (number == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    out.append(digits, (size_t)(end - digits));
    return true;
}

// Appends str(value) to `out` when it is ASCII text or an exact int, without
// making a str object for the int; false (nothing appended) otherwise.
inline bool append_ascii_text(PyObject *value, TextBuffer &out) {
    if (PyUnicode_CheckExact(value)) {
        auto *ascii = (PyASCIIObject *)value;
        if (ascii->state.compact && ascii->state.ascii) {  // the characters follow the header
            out.append((const char *)(ascii + 1), (size_t)ascii->length);
            return true;
        }
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(value) < 0) {
            PyErr_Clear();
            return false;  // the general path reports it
        }
#endif
        if (!PyUnicode_IS_ASCII(value))
            return false;
        out.append((const char *)PyUnicode_1BYTE_DATA(value), (size_t)PyUnicode_GET_LENGTH(value));
        return true;
    }
    return PyLong_CheckExact(value) && append_int(value, out);
}

// str() of a field value, as ASCII appended to `out`; a module may handle
// its own types this way. Returns false, with nothing appended, to decline.
using StrHook = bool (*)(PyObject *value, TextBuffer &out);

// Scratch space for ASCII pieces of text being assembled. Each user appends
// past what is there and truncates back to where it started when done, so
// nested uses (a __str__ that logs) keep their own pieces; pieces are kept
// as offsets because the buffer may move.
inline TextBuffer &scratch() {
    thread_local TextBuffer buffer;
    return buffer;
}

// A str made of ASCII bytes.
inline nb::object ascii_text(const char *data, size_t length) {
    PyObject *text = PyUnicode_New((Py_ssize_t)length, 127);
    if (!text)
        throw nb::python_error();
    memcpy(PyUnicode_1BYTE_DATA(text), data, length);
    return nb::steal(text);
}

// Where the fields of a template sat in the last dictionary filled from, as
// positions for PyDict_Next. The lines of one record are copies of one
// dictionary, so their fields sit at the same positions; an entry read by
// position counts only when its key is the field name itself.
struct FieldPositions {
    std::vector<Py_ssize_t> at;  // per field of the template; -1 when unknown
    bool learned = false;
};

// A percent-style template made only of literal text, "%%" and "%(name)s"
// fields, parsed once. Other templates are left to the interpreter.
class PercentTemplate {
public:
    explicit PercentTemplate(PyObject *source) : source_(nb::borrow(source)) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(source), start = 0, i = 0;
        auto literal = [&](Py_ssize_t end) {
            if (end > start)
                pieces_.push_back({nb::steal(PyUnicode_Substring(source, start, end)), false, false});
        };
        while (i < length) {
            if (PyUnicode_READ_CHAR(source, i) != '%') {
                ++i;
                continue;
            }
            literal(i);
            if (i + 1 < length && PyUnicode_READ_CHAR(source, i + 1) == '%') {
                pieces_.push_back({nb::str("%"), false, false});
                start = i = i + 2;
                continue;
            }
            if (i + 1 >= length || PyUnicode_READ_CHAR(source, i + 1) != '(') {
                simple_ = false;
                return;
            }
            Py_ssize_t close = i + 2;
            while (close < length && PyUnicode_READ_CHAR(source, close) != ')') {
                if (PyUnicode_READ_CHAR(source, close) == '(') {
                    simple_ = false;
                    return;
                }
                ++close;
            }
            if (close + 1 >= length || PyUnicode_READ_CHAR(source, close + 1) != 's') {
                simple_ = false;
                return;
            }
            PyObject *name = PyUnicode_Substring(source, i + 2, close);
            if (!name)
                throw nb::python_error();
            PyUnicode_InternInPlace(&name);
            pieces_.push_back({nb::steal(name), true, false});
            start = i = close + 2;
        }
        literal(length);
        merge_literals();
        for (auto &piece : pieces_) {
            if (!piece.text.is_valid())
                throw nb::python_error();
            piece.ascii = !piece.field && PyUnicode_IS_ASCII(piece.text.ptr());
            if (piece.ascii) {
                piece.bytes = (const char *)PyUnicode_1BYTE_DATA(piece.text.ptr());
                piece.length = (size_t)PyUnicode_GET_LENGTH(piece.text.ptr());
            }
        }
    }

    PyObject *source() const { return source_.ptr(); }
    bool simple() const { return simple_; }

    // template % values, for a plain dict of values.
    nb::object fill(PyObject *values, StrHook hook) const {
        if (nb::object text = fill_ascii(values, hook); text.is_valid())
            return text;
        return fill_any(values, hook);
    }

    // The common case in one pass, appended to `out`: every piece ASCII
    // text, an exact int or taken by the hook. Gives up (false, `out` as it
    // was) before calling any str(); a missing field is left to the general
    // pass to report.
    bool fill_ascii_into(PyObject *values, StrHook hook, TextBuffer &out,
                         FieldPositions *positions = nullptr) const {
        size_t start = out.size();
        if (positions && !positions->learned)
            learn_positions(values, *positions);
        size_t field_index = 0;
        for (const Piece &piece : pieces_) {
            if (!piece.field) {
                if (!piece.ascii)
                    return give_up(out, start);
                out.append(piece.bytes, piece.length);
                continue;
            }
            PyObject *value = nullptr;
            if (positions) {
                Py_ssize_t position = positions->at[field_index++];
                PyObject *key, *found;
                if (position >= 0 && PyDict_Next(values, &position, &key, &found) && key == piece.text.ptr())
                    value = found;
            }
            if (!value)
                value = PyDict_GetItemWithError(values, piece.text.ptr());
            if (!value || (!append_ascii_text(value, out) &&
                           (PyUnicode_CheckExact(value) || !hook || !hook(value, out)))) {
                give_up(out, start);
                if (PyErr_Occurred())
                    throw nb::python_error();
                return false;
            }
        }
        return true;
    }

private:
    void learn_positions(PyObject *values, FieldPositions &positions) const {
        positions.learned = true;
        positions.at.assign(pieces_.size(), -1);
        Py_ssize_t position = 0, before = 0;
        PyObject *key, *value;
        while (PyDict_Next(values, &position, &key, &value)) {
            size_t field_index = 0;
            for (const Piece &piece : pieces_) {
                if (!piece.field)
                    continue;
                if (piece.text.ptr() == key)
                    positions.at[field_index] = before;
                ++field_index;
            }
            before = position;
        }
    }

    // Adjacent literal pieces (text around a "%%") as one.
    void merge_literals() {
        std::vector<Piece> merged;
        for (auto &piece : pieces_) {
            if (!piece.text.is_valid())
                throw nb::python_error();
            if (!piece.field && !merged.empty() && !merged.back().field) {
                PyObject *joined = PyUnicode_Concat(merged.back().text.ptr(), piece.text.ptr());
                if (!joined)
                    throw nb::python_error();
                merged.back().text = nb::steal(joined);
                continue;
            }
            merged.push_back(std::move(piece));
        }
        pieces_ = std::move(merged);
    }

    static bool give_up(TextBuffer &out, size_t start) {
        out.resize(start);
        return false;
    }

    nb::object fill_ascii(PyObject *values, StrHook hook) const {
        TextBuffer &out = scratch();
        size_t start = out.size();
        struct Truncate {
            TextBuffer &out;
            size_t start;
            ~Truncate() { out.resize(start); }
        } truncate{out, start};
        if (!fill_ascii_into(values, hook, out))
            return nb::object();
        return ascii_text(out.data() + start, out.size() - start);
    }

    nb::object fill_any(PyObject *values, StrHook hook) const {
        struct Chunk {
            PyObject *text;  // owned; nullptr for scratch text
            size_t offset, length;
        };
        constexpr size_t inline_count = 24;
        Chunk inline_chunks[inline_count];
        std::vector<Chunk> heap_chunks;
        Chunk *chunks = inline_chunks;
        if (pieces_.size() > inline_count) {
            heap_chunks.resize(pieces_.size());
            chunks = heap_chunks.data();
        }
        TextBuffer &ascii = scratch();
        size_t made = 0, start = ascii.size();
        struct Release {
            Chunk *chunks;
            size_t &made;
            TextBuffer &ascii;
            size_t start;
            ~Release() {
                for (size_t i = 0; i < made; ++i)
                    Py_XDECREF(chunks[i].text);
                ascii.resize(start);
            }
        } release{chunks, made, ascii, start};

        Py_ssize_t total = 0;
        Py_UCS4 widest = 127;
        for (const Piece &piece : pieces_) {
            Chunk &chunk = chunks[made];
            chunk.text = nullptr;
            PyObject *value = piece.text.ptr();
            if (piece.field) {
                value = PyDict_GetItemWithError(values, piece.text.ptr());
                if (!value) {
                    if (!PyErr_Occurred())
                        PyErr_SetObject(PyExc_KeyError, piece.text.ptr());
                    if (PyErr_ExceptionMatches(PyExc_KeyError))
                        raise_missing_field();
                    throw nb::python_error();
                }
            }
            if (PyUnicode_CheckExact(value)) {
                chunk.text = new_ref(value);
            } else {
                size_t before = ascii.size();
                if (PyLong_CheckExact(value) ? append_int(value, ascii) : (hook && hook(value, ascii))) {
                    chunk.offset = before;
                    chunk.length = ascii.size() - before;
                } else {
                    if (PyErr_Occurred())
                        throw nb::python_error();
                    chunk.text = PyObject_Str(value);
                    if (!chunk.text)
                        throw nb::python_error();
                }
            }
            ++made;
            if (chunk.text) {
#if PY_VERSION_HEX < 0x030C0000
                if (PyUnicode_READY(chunk.text) < 0)
                    throw nb::python_error();
#endif
                total += PyUnicode_GET_LENGTH(chunk.text);
                Py_UCS4 top = PyUnicode_MAX_CHAR_VALUE(chunk.text);
                if (top > widest)
                    widest = top;
            } else {
                total += (Py_ssize_t)chunk.length;
            }
        }
        PyObject *result = PyUnicode_New(total, widest);
        if (!result)
            throw nb::python_error();
        nb::object owner = nb::steal(result);
        Py_ssize_t at = 0;
        bool narrow = PyUnicode_KIND(result) == PyUnicode_1BYTE_KIND;
        for (size_t i = 0; i < made; ++i) {
            const Chunk &chunk = chunks[i];
            if (!chunk.text) {
                const char *text = ascii.data() + chunk.offset;
                if (narrow) {
                    memcpy(PyUnicode_1BYTE_DATA(result) + at, text, chunk.length);
                } else {
                    int kind = PyUnicode_KIND(result);
                    void *data = PyUnicode_DATA(result);
                    for (size_t j = 0; j < chunk.length; ++j)
                        PyUnicode_WRITE(kind, data, at + (Py_ssize_t)j, (Py_UCS4)(unsigned char)text[j]);
                }
                at += (Py_ssize_t)chunk.length;
                continue;
            }
            Py_ssize_t length = PyUnicode_GET_LENGTH(chunk.text);
            if (narrow) {
                memcpy(PyUnicode_1BYTE_DATA(result) + at, PyUnicode_1BYTE_DATA(chunk.text), (size_t)length);
            } else if (PyUnicode_CopyCharacters(result, at, chunk.text, 0, length) < 0) {
                throw nb::python_error();
            }
            at += length;
        }
        return owner;
    }

private:
    struct Piece {
        nb::object text;  // literal text, or the field name
        bool field;
        bool ascii;       // literal text that is ASCII
        const char *bytes = nullptr;  // of ASCII literal text, held by `text`
        size_t length = 0;
    };
    nb::object source_;
    std::vector<Piece> pieces_;
    bool simple_ = true;
};

// The parsed form of a template string; a handful of templates are in use
// in a process, so a short list searched by identity suffices. Users hold
// their own reference, as the list may drop an entry while one is in use.
inline std::shared_ptr<const PercentTemplate> parsed_template(PyObject *source) {
    static auto *known = new std::vector<std::shared_ptr<const PercentTemplate>>();
    for (auto &parsed : *known)
        if (parsed->source() == source)
            return parsed;
    if (known->size() >= 64)
        known->erase(known->begin());
    known->push_back(std::make_shared<const PercentTemplate>(source));
    return known->back();
}

// `template % values`, reporting a missing field as the interpreter's
// PercentStyle.format does.
inline nb::object percent_fill(PyObject *template_text, PyObject *values, StrHook hook = nullptr) {
    if (PyDict_CheckExact(values)) {
        std::shared_ptr<const PercentTemplate> parsed = parsed_template(template_text);
        if (parsed->simple())
            return parsed->fill(values, hook);
    }
    PyObject *text = PyUnicode_Format(template_text, values);
    if (text)
        return nb::steal(text);
    if (!PyErr_ExceptionMatches(PyExc_KeyError))
        throw nb::python_error();
    raise_missing_field();
}

// formatter.formatMessage(obj) for the objects of one format() call, with
// the formatter's set-up looked at once. While formatMessage is the stock
// one it is the formatter's style applied to obj; the percent style is
// filled straight from obj.__dict__.
class MessageRenderer {
public:
    // `method_known_stock`: the caller has already found formatMessage to be
    // logging.Formatter's (as when it is reached through super()).
    MessageRenderer(nb::handle formatter, StrHook hook, bool method_known_stock)
        : formatter_(formatter), hook_(hook) {
        const LoggingStock &s = logging_stock();
        if (!method_known_stock &&
            !uses_stock(formatter.ptr(), s.s_formatMessage, s.formatter_format_message)) {
            mode_ = Mode::call_method;
            return;
        }
        nb::object formatter_dict = instance_dict(formatter);
        style_ = field(formatter, formatter_dict.ptr(), s.s_style);
        PyObject *style = style_.ptr();
        if ((PyObject *)Py_TYPE(style) != s.percent_style ||
            !uses_stock(style, s.s_format, s.percent_style_format) ||
            !uses_stock(style, s.s__format, s.percent_style__format))
            return;
        nb::object style_dict = instance_dict(style_);
        nb::object fmt = field(style_, style_dict.ptr(), s.s_fmt);
        if (PyObject *defaults = dict_get(style_dict.ptr(), s.s_defaults); defaults && defaults != Py_None) {
            int truth = PyObject_IsTrue(defaults);
            if (truth < 0)
                throw nb::python_error();
            if (truth)
                return;
        }
        if (!PyUnicode_CheckExact(fmt.ptr()))
            return;
        fmt_ = fmt;
        parsed_ = parsed_template(fmt.ptr());
        mode_ = Mode::fill;
    }

    // Appends the line of `obj` to `out` when the template can be filled
    // in one ASCII pass; false (nothing appended) otherwise.
    bool append_ascii(nb::handle obj, TextBuffer &out) const {
        if (mode_ != Mode::fill || !parsed_->simple())
            return false;
        nb::object values = instance_dict(obj);
        return PyDict_CheckExact(values.ptr()) && parsed_->fill_ascii_into(values.ptr(), hook_, out, &positions_);
    }

    nb::object operator()(nb::handle obj) const {
        switch (mode_) {
        case Mode::fill: {
            nb::object values = instance_dict(obj);
            if (parsed_->simple() && PyDict_CheckExact(values.ptr()))
                return parsed_->fill(values.ptr(), hook_);
            return percent_fill(fmt_.ptr(), values.ptr(), hook_);
        }
        case Mode::call_style:
            return style_.attr(logging_stock().s_format)(obj);
        default: {
            PyObject *args[2] = {formatter_.ptr(), obj.ptr()};
            PyObject *text = PyObject_VectorcallMethod(logging_stock().s_formatMessage, args,
                                                       2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
            if (!text)
                throw nb::python_error();
            return nb::steal(text);
        }
        }
    }

private:
    enum class Mode { call_method, call_style, fill };
    nb::handle formatter_;
    StrHook hook_;
    Mode mode_ = Mode::call_style;
    nb::object style_, fmt_;
    std::shared_ptr<const PercentTemplate> parsed_;
    mutable FieldPositions positions_;  // for the lines of one call
};

// logging.Formatter.formatMessage(formatter, obj)
inline nb::object stock_format_message(nb::handle formatter, nb::handle obj, StrHook hook = nullptr) {
    return MessageRenderer(formatter, hook, true)(obj);
}

}  // namespace tavix::fast
