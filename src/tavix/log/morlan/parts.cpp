// MorlanLogRecordPart: the parts a multi-line record is logged as, one line
// each with its own sequence number and part tag, built once per record.
#include <array>
#include <charconv>
#include <optional>
#include <string>

#include "record_classes.hpp"

namespace tavix::morlan {

namespace record_classes {

namespace {

// The text form of a part tag: "{seqnum}.{index}/{total}".
nb::object part_tag(nb::handle seqnum, nb::handle index, nb::handle total) {
    if (PyLong_CheckExact(seqnum.ptr()) && PyLong_CheckExact(index.ptr()) && PyLong_CheckExact(total.ptr())) {
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(seqnum.ptr(), &overflow);
        long long position = PyLong_AsLongLong(index.ptr()), count = PyLong_AsLongLong(total.ptr());
        if (!overflow && !PyErr_Occurred()) {
            char text[80], *end = text + sizeof text;
            char *at = std::to_chars(text, end, number).ptr;
            *at++ = '.';
            at = std::to_chars(at, end, position).ptr;
            *at++ = '/';
            at = std::to_chars(at, end, count).ptr;
            return fast::ascii_text(text, (size_t)(at - text));
        }
        PyErr_Clear();
    }
    PyObject *pieces[3] = {seqnum.ptr(), index.ptr(), total.ptr()};
    nb::object formatted[3];
    for (int i = 0; i < 3; ++i) {
        PyObject *text = PyObject_Format(pieces[i], st->empty_text);
        if (!text)
            throw nb::python_error();
        formatted[i] = nb::steal(text);
    }
    PyObject *tag = PyUnicode_FromFormat("%U.%U/%U", formatted[0].ptr(), formatted[1].ptr(),
                                         formatted[2].ptr());
    if (!tag)
        throw nb::python_error();
    return nb::steal(tag);
}

// True when `process` is the id of a process other than this one. A record
// that does not know its process (logging.logProcesses off) counts as this
// process's own.
bool made_elsewhere(nb::handle process) {
    if (!PyLong_CheckExact(process.ptr()))
        return false;
    int overflow = 0;
    long long pid = PyLong_AsLongLongAndOverflow(process.ptr(), &overflow);
    if (pid == -1 && PyErr_Occurred())
        throw nb::python_error();
    return overflow || pid != (long long)current_pid();
}

// What the parts of a record take from it.
struct Parent {
    nb::handle record;
    nb::object dict, tags, seqnum;
    bool stock_tags_copy;
    // Made by another process (it came through a socket, a queue or a fork):
    // only the process that made a record draws numbers for it.
    bool foreign;
    // Set by prepare_batch: `part_tags` (when valid) is a copy of plain
    // MorlanLogTags with str keys that already holds the part tag's key, so
    // that each part's copy only replaces its value; `counter` (when valid) is
    // the itertools.count of the record's process.
    nb::object part_tags, counter;
    // Set by prepare_batch when seqnum and the count of parts are plain ints:
    // the text of a part tag before and after the part's index.
    std::string tag_head, tag_tail;

    explicit Parent(nb::handle record) : record(record), dict(fast::instance_dict(record)) {
        tags = fast::field(record, dict.ptr(), st->s_tags);
        seqnum = fast::field(record, dict.ptr(), st->s_seqnum);
        stock_tags_copy = fast::uses_stock(tags.ptr(), st->s_copy, st->tags_copy_attr);
        foreign = made_elsewhere(fast::field_or(record, dict.ptr(), st->s_process, Py_None));
    }

    // For parts built in one go by this module: with plain tags (no item
    // assignment of their own), copying them and drawing from an
    // itertools.count run no Python code, so nothing can replace the counter
    // or change the tags between the parts, and both are looked at once for
    // all of them.
    void prepare_batch(Py_ssize_t total) {
        if (PyLong_CheckExact(seqnum.ptr())) {
            fast::TextBuffer text;
            if (fast::append_int(seqnum.ptr(), text)) {
                tag_head.assign(text.data(), text.size());
                tag_head += '.';
                tag_tail = '/' + std::to_string(total);
            }
        }
        PyTypeObject *tags_type = Py_TYPE(tags.ptr());
        if (!stock_tags_copy || (PyObject *)tags_type != st->tags_cls ||
            tags_type->tp_as_mapping->mp_ass_subscript != PyDict_Type.tp_as_mapping->mp_ass_subscript ||
            !string_keys(tags.ptr()))
            return;
        part_tags = new_tags();
        if (PyDict_Update(part_tags.ptr(), tags.ptr()) < 0 || PyObject_SetItem(part_tags.ptr(), st->s_part, Py_None) < 0)
            throw nb::python_error();
        PyObject *process = fast::dict_get(dict.ptr(), st->s_process);
        if (foreign || !process || !PyLong_CheckExact(process))
            return;
        nb::object counters = module_global(st->s_LOG_SEQUENCE_COUNTER);
        if (!PyDict_Check(counters.ptr()))
            return;
        PyObject *found = fast::dict_get(counters.ptr(), process);
        if (found && (PyObject *)Py_TYPE(found) == st->count_type)
            counter = nb::borrow(found);
    }
};

// MorlanLogRecordPart.__init__(record, message, index, total). A part that
// was just allocated takes a copy of the parent's dictionary as its own
// (much cheaper than inserting entry by entry). A part of a record made in
// another process keeps the record's number.
void init_part(nb::handle self, const Parent &parent, nb::handle message, nb::handle index, nb::handle total,
               bool fresh, Py_ssize_t known_index = 0) {
    nb::object dict_owner;
    if (fresh) {
        dict_owner = nb::steal(PyDict_Copy(parent.dict.ptr()));
        if (!dict_owner.is_valid())
            throw nb::python_error();
#if PY_VERSION_HEX < 0x030C0000
        int failed = PyObject_GenericSetDict(self.ptr(), dict_owner.ptr(), nullptr);
#else
        // through the class's __dict__ descriptor, which also retires the
        // attribute values kept inside the object
        int failed = PyObject_SetAttr(self.ptr(), st->s___dict__, dict_owner.ptr());
#endif
        if (failed < 0)
            throw nb::python_error();
    } else {
        dict_owner = fast::instance_dict(self);
        if (PyDict_Update(dict_owner.ptr(), parent.dict.ptr()) < 0)
            throw nb::python_error();
    }
    PyObject *dict = dict_owner.ptr();
    int later = parent.foreign ? 0
                : known_index  ? known_index > 1
                               : PyObject_RichCompareBool(index.ptr(), st->one, Py_GT);
    if (later < 0)
        throw nb::python_error();
    if (later && parent.counter.is_valid()) {
        PyObject *number = PyIter_Next(parent.counter.ptr());
        if (!number) {
            if (!PyErr_Occurred())
                PyErr_SetNone(PyExc_StopIteration);
            throw nb::python_error();
        }
        set_item(dict, st->s_seqnum, nb::steal(number));
    } else if (later) {
        set_item(dict, st->s_seqnum, next_seqnum(fast::field(self, dict, st->s_process)));
    }
    nb::object tags;
    if (parent.part_tags.is_valid()) {
        tags = new_tags();
        if (PyDict_Update(tags.ptr(), parent.part_tags.ptr()) < 0)
            throw nb::python_error();
    } else {
        tags = parent.stock_tags_copy ? tags_copy(parent.tags) : call_method(parent.tags, st->s_copy);
    }
    nb::object tag;
    if (known_index && !parent.tag_head.empty()) {
        char text[96];
        size_t head = parent.tag_head.size(), tail = parent.tag_tail.size();
        memcpy(text, parent.tag_head.data(), head);
        char *at = std::to_chars(text + head, text + sizeof text - tail, (long long)known_index).ptr;
        memcpy(at, parent.tag_tail.data(), tail);
        tag = fast::ascii_text(text, (size_t)(at - text) + tail);
    } else {
        tag = part_tag(parent.seqnum, index, total);
    }
    if (PyObject_SetItem(tags.ptr(), st->s_part, tag.ptr()) < 0)
        throw nb::python_error();
    set_item(dict, st->s_tags, tags);
    set_item(dict, st->s_message, message);
}

}  // namespace

void part_init(nb::handle self, nb::handle record, nb::handle message, nb::handle index, nb::handle total) {
    init_part(self, Parent(record), message, index, total, false);
}

namespace {

// Position just past the first line boundary of `text` (as str.splitlines
// sees them), or -1 when there is none.
template <typename Char>
Py_ssize_t first_line_end(const Char *data, Py_ssize_t length) {
    // Characters that may end a line, by their low byte: most characters of
    // a message are ruled out by one table look-up.
    static constexpr auto candidates = [] {
        std::array<bool, 256> table{};
        for (unsigned c : {0x0a, 0x0b, 0x0c, 0x0d, 0x1c, 0x1d, 0x1e, 0x85, 0x28, 0x29})
            table[c] = true;
        return table;
    }();
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = data[i];
        if (!candidates[c & 0xff])
            continue;
        switch (c) {
        case '\r':
            return (i + 1 < length && data[i + 1] == '\n') ? i + 2 : i + 1;
        case '\n': case 0x0b: case 0x0c: case 0x1c: case 0x1d: case 0x1e: case 0x85:
        case 0x2028: case 0x2029:
            return i + 1;
        default:
            break;
        }
    }
    return -1;
}

// True when splitlines() of `message` gives at least two lines.
bool several_lines(nb::handle message) {
    PyObject *text = message.ptr();
    if (!PyUnicode_CheckExact(text))
        return nb::len(call_method(message, st->s_splitlines)) >= 2;
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0)
        throw nb::python_error();
#endif
    Py_ssize_t length = PyUnicode_GET_LENGTH(text), end;
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: end = first_line_end(PyUnicode_1BYTE_DATA(text), length); break;
    case PyUnicode_2BYTE_KIND: end = first_line_end(PyUnicode_2BYTE_DATA(text), length); break;
    default: end = first_line_end(PyUnicode_4BYTE_DATA(text), length); break;
    }
    return end >= 0 && end < length;
}

// The cached parts of a multi-line record, built on first use.
nb::object parts_of(nb::handle record, PyObject *dict, nb::handle message) {
    if (PyObject *parts = fast::dict_get(dict, st->s_parts)) {
        if (PyTuple_CheckExact(parts))
            return nb::borrow(parts);
        PyObject *copy = PySequence_Tuple(parts);  // set from outside
        if (!copy)
            throw nb::python_error();
        return nb::steal(copy);
    }
    nb::object lines = nb::steal(PyUnicode_CheckExact(message.ptr())
                                     ? PyUnicode_Splitlines(message.ptr(), 0)
                                     : PySequence_List(call_method(message, st->s_splitlines).ptr()));
    if (!lines.is_valid())
        throw nb::python_error();
    Py_ssize_t total = PyList_GET_SIZE(lines.ptr());
    nb::object part_cls = module_global(st->s_MorlanLogRecordPart);
    nb::object parts = nb::steal(PyTuple_New(total));
    if (!parts.is_valid())
        throw nb::python_error();
    PyTypeObject *type = (PyTypeObject *)part_cls.ptr();
    // While the part class is this module's own, a part is allocated as
    // object.__new__ would (up to 3.11 minus preparing an empty attribute
    // store, which later versions keep inside the object) and is given its
    // dictionary whole, right away.
    bool stock = part_cls.ptr() == st->part_cls && type->tp_new == PyBaseObject_Type.tp_new &&
                 fast::class_lookup(type, st->s___init__) == st->part_init;
    std::optional<Parent> parent;
    if (stock) {
        parent.emplace(record);
        parent->prepare_batch(total);
    }
    nb::int_ count(total);
    for (Py_ssize_t i = 0; i < total; ++i) {
        nb::int_ index(i + 1);
        nb::handle line = PyList_GET_ITEM(lines.ptr(), i);
        nb::object part;
        if (stock) {
#if PY_VERSION_HEX < 0x030C0000
            part = nb::steal(type->tp_alloc(type, 0));
#else
            part = nb::steal(type->tp_new(type, st->empty_tuple, nullptr));
#endif
            if (!part.is_valid())
                throw nb::python_error();
            init_part(part, *parent, line, index, count, true, i + 1);
        } else {
            part = part_cls(record, line, index, count);
        }
        PyTuple_SET_ITEM(parts.ptr(), i, part.release().ptr());
    }
    if (PyObject_SetAttr(record.ptr(), st->s_parts, parts.ptr()) < 0)
        throw nb::python_error();
    return parts;
}

nb::object lines_for(nb::handle record, PyObject *dict, nb::handle message) {
    if (!several_lines(message))
        return nb::make_tuple(record);
    return parts_of(record, dict, message);
}

nb::object lines_of(nb::handle record) {
    nb::object dict = fast::instance_dict(record);
    return lines_for(record, dict.ptr(), fast::field(record, dict.ptr(), st->s_message));
}

}  // namespace

nb::object record_iter(nb::handle self) {
    nb::object lines = lines_of(self);
    PyObject *iterator = PyObject_GetIter(lines.ptr());
    if (!iterator)
        throw nb::python_error();
    return nb::steal(iterator);
}

}  // namespace record_classes

using namespace record_classes;

nb::object record_lines(nb::handle record) {
    if (!fast::uses_stock(record.ptr(), st->s___iter__, st->record_iter))
        return nb::object();
    return lines_of(record);
}

bool yields_itself(nb::handle record, nb::handle message) {
    return fast::uses_stock(record.ptr(), st->s___iter__, st->record_iter) && !several_lines(message);
}

void build_parts(nb::handle record, nb::handle message) {
    if (!fast::uses_stock(record.ptr(), st->s___iter__, st->record_iter))
        return;
    nb::object dict = fast::instance_dict(record);
    lines_for(record, dict.ptr(), message);
}

}  // namespace tavix::morlan
