// MorlanLogTags, MorlanLogRecordPart and MorlanLogRecord, and the module
// constants behind their fields.
#include <unistd.h>

#include <array>
#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "logging_fastpath.hpp"
#include "class_builder.hpp"
#include "records.hpp"

namespace tavix::morlan {

namespace {

using fast::call_method;

struct RecordState {
    PyObject *module_dict;      // borrowed from the module, which lives as long as the process
    PyObject *tags_cls, *part_cls, *record_cls;
    PyObject *log_record_init;  // logging.LogRecord.__init__
    PyObject *record_iter;      // MorlanLogRecord.__dict__["__iter__"]
    PyObject *part_init;        // MorlanLogRecordPart.__dict__["__init__"]
    PyObject *socket_dict, *stock_gethostname, *threading_dict, *stock_active_count;
    PyObject *tags_str_attr, *tags_copy_attr;  // MorlanLogTags.__dict__ entries
    PyObject *count_type;       // itertools.count
    PyObject *defaultdict_type; // collections.defaultdict
    PyObject *one;
    // Entries of module globals, read again only when their module changes.
    fast::DictReading module_reading, socket_reading, threading_reading;
    PyObject *counters, *severities;           // LOG_SEQUENCE_COUNTER, MORLAN_MSG_SEV_MAP
    PyObject *gethostname;                     // socket.gethostname
    PyObject *active_count, *active, *limbo;   // threading.active_count, _active, _limbo
    // The last record's tag items, and a dict of them to copy from.
    PyObject *tags_model;
    PyObject *tags_items[4];
    int tags_count;
    PyObject *names_cache;      // logger name -> (application name, tcl message name or None)
    PyObject *empty_tuple, *empty_text;
    PyObject *s_LOG_SEQUENCE_COUNTER, *s_MORLAN_MSG_SEV_MAP, *s_default_factory, *s_gethostname,
        *s_active_count, *s_process, *s_processName, *s_thread, *s_threadName, *s_name,
        *s_levelname, *s_seqnum, *s_hostname, *s_tags, *s_morlan_appname, *s_morlan_sev,
        *s_morlan_msgname, *s_message, *s_parts, *s_pid, *s_pname, *s_tid, *s_tname, *s_part,
        *s_copy, *s_INFO, *s_startswith, *s_split, *s_upper, *s_dot, *s_MorlanLogRecordPart, *s___init__,
        *s___iter__, *s_splitlines, *s__active, *s__limbo, *s___str__, *s___dict__;
};

RecordState *st = nullptr;

constexpr Py_ssize_t names_cache_limit = 4096;

// A module global as the module currently holds it (tests and users may
// replace constants such as LOG_SEQUENCE_COUNTER).
nb::object module_global(PyObject *name) {
    PyObject *value = fast::dict_get(st->module_dict, name);
    if (!value) {
        PyErr_SetObject(PyExc_NameError, name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

// LOG_SEQUENCE_COUNTER or MORLAN_MSG_SEV_MAP, read once per change of the module.
nb::object record_constant(PyObject *name) {
    if (!st->module_reading.current(st->module_dict)) {
        st->counters = fast::dict_get(st->module_dict, st->s_LOG_SEQUENCE_COUNTER);
        st->severities = fast::dict_get(st->module_dict, st->s_MORLAN_MSG_SEV_MAP);
        st->module_reading.taken(st->module_dict);
    }
    PyObject *value = name == st->s_LOG_SEQUENCE_COUNTER ? st->counters : st->severities;
    if (!value) {
        PyErr_SetObject(PyExc_NameError, name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

void set_item(PyObject *dict, PyObject *key, nb::handle value) {
    if (PyDict_SetItem(dict, key, value.ptr()) < 0)
        throw nb::python_error();
}

// next(LOG_SEQUENCE_COUNTER[process]). Under the interpreter lock no Python
// code runs between looking the counter up and stepping it, and a new
// counter of a defaultdict is inserted with setdefault, so concurrent
// threads never share a number.
nb::object next_seqnum(nb::handle process) {
    nb::object counters = record_constant(st->s_LOG_SEQUENCE_COUNTER);
    PyTypeObject *type = Py_TYPE(counters.ptr());
    nb::object counter;
    if (type == &PyDict_Type || type == (PyTypeObject *)st->defaultdict_type) {
        if (PyObject *found = fast::dict_get(counters.ptr(), process.ptr())) {
            counter = nb::borrow(found);
        } else {
            nb::object factory = type == &PyDict_Type
                                     ? nb::none()
                                     : nb::steal(PyObject_GetAttr(counters.ptr(), st->s_default_factory));
            if (!factory.is_valid())
                throw nb::python_error();
            if (factory.is_none()) {  // what counters[process] raises
                PyObject *key = PyTuple_Pack(1, process.ptr());
                if (key) {
                    PyErr_SetObject(PyExc_KeyError, key);
                    Py_DECREF(key);
                }
                throw nb::python_error();
            }
            nb::object fresh = factory();
            PyObject *kept = PyDict_SetDefault(counters.ptr(), process.ptr(), fresh.ptr());
            if (!kept)
                throw nb::python_error();
            counter = nb::borrow(kept);
        }
    } else {
        PyObject *found = PyObject_GetItem(counters.ptr(), process.ptr());
        if (!found)
            throw nb::python_error();
        counter = nb::steal(found);
    }
    if (!PyIter_Check(counter.ptr())) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not an iterator", Py_TYPE(counter.ptr())->tp_name);
        throw nb::python_error();
    }
    PyObject *number = PyIter_Next(counter.ptr());
    if (!number) {
        if (!PyErr_Occurred())
            PyErr_SetNone(PyExc_StopIteration);
        throw nb::python_error();
    }
    return nb::steal(number);
}

// socket.gethostname(), done here while it is the interpreter's own.
nb::object host_name() {
    if (!st->socket_reading.current(st->socket_dict)) {
        st->gethostname = fast::dict_get(st->socket_dict, st->s_gethostname);
        st->socket_reading.taken(st->socket_dict);
    }
    PyObject *current = st->gethostname;
    if (current != st->stock_gethostname || !current) {
        if (!current) {
            PyErr_SetString(PyExc_AttributeError, "module 'socket' has no attribute 'gethostname'");
            throw nb::python_error();
        }
        return nb::borrow(current)();
    }
    char buffer[1024];
    if (gethostname(buffer, sizeof buffer - 1) < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw nb::python_error();
    }
    buffer[sizeof buffer - 1] = '\0';
    // The name is asked for every record but rarely changes: its text is
    // decoded again only when it does.
    static std::string *last_name = new std::string();
    static PyObject *last_text = nullptr;
    if (last_text && *last_name == buffer)
        return nb::borrow(last_text);
    PyObject *name = PyUnicode_DecodeFSDefault(buffer);
    if (!name)
        throw nb::python_error();
    *last_name = buffer;
    Py_XSETREF(last_text, fast::new_ref(name));
    return nb::steal(name);
}

bool several_threads() {
    if (!st->threading_reading.current(st->threading_dict)) {
        st->active_count = fast::dict_get(st->threading_dict, st->s_active_count);
        st->active = fast::dict_get(st->threading_dict, st->s__active);
        st->limbo = fast::dict_get(st->threading_dict, st->s__limbo);
        st->threading_reading.taken(st->threading_dict);
    }
    PyObject *active_count = st->active_count;
    if (!active_count) {
        PyErr_SetString(PyExc_AttributeError, "module 'threading' has no attribute 'active_count'");
        throw nb::python_error();
    }
    if (active_count == st->stock_active_count) {
        // threading.active_count() is len(_active) + len(_limbo) under a
        // lock that only orders a starting thread's move from one to the
        // other; either side of that move counts more than one thread.
        PyObject *active = st->active, *limbo = st->limbo;
        if (active && limbo && PyDict_CheckExact(active) && PyDict_CheckExact(limbo))
            return PyDict_GET_SIZE(active) + PyDict_GET_SIZE(limbo) > 1;
    }
    nb::object count = nb::borrow(active_count)();
    int more = PyObject_RichCompareBool(count.ptr(), st->one, Py_GT);
    if (more < 0)
        throw nb::python_error();
    return more;
}

nb::object component(nb::handle name, Py_ssize_t index) {
    nb::object pieces = call_method(name, st->s_split, st->s_dot);
    return pieces[nb::int_(index)];
}

bool starts_with(nb::handle name, const char *prefix) {
    nb::object result = call_method(name, st->s_startswith, nb::str(prefix));
    int truth = PyObject_IsTrue(result.ptr());
    if (truth < 0)
        throw nb::python_error();
    return truth;
}

// (application name, message name for tcl loggers or None) of a logger name.
nb::object names_of(nb::handle name) {
    nb::object application, message_name = nb::none();
    int is_main = PyObject_RichCompareBool(name.ptr(), nb::str("__main__").ptr(), Py_EQ);
    if (is_main < 0)
        throw nb::python_error();
    if (is_main) {
        application = nb::str("SCRIPT");
    } else if (starts_with(name, "tavix.log.tcl.")) {
        application = nb::str("TCL");
        message_name = call_method(component(name, 3), st->s_upper);
    } else if (starts_with(name, "tavix.qentest.testscript.")) {
        application = nb::str("SCRIPT");
    } else if (starts_with(name, "tavix.") || starts_with(name, "velmora.") ||
               starts_with(name, "ostrand.") || starts_with(name, "kelvane.")) {
        application = component(name, 1);
    } else {
        application = component(name, 0);
    }
    return nb::make_tuple(call_method(application, st->s_upper), message_name);
}

// names_of, remembered per logger name (a process has few of them).
// logging.makeLogRecord builds its record with no name at all (None) before
// filling in the given fields: such a record has no application name rather
// than failing.
nb::object cached_names_of(nb::handle name) {
    if (!PyUnicode_Check(name.ptr()))
        return nb::make_tuple(nb::borrow(st->empty_text), nb::none());
    if (!PyUnicode_CheckExact(name.ptr()))
        return names_of(name);
    if (PyObject *known = fast::dict_get(st->names_cache, name.ptr()))
        return nb::borrow(known);
    nb::object names = names_of(name);
    if (PyDict_GET_SIZE(st->names_cache) >= names_cache_limit)
        PyDict_Clear(st->names_cache);
    set_item(st->names_cache, name.ptr(), names);
    return names;
}

nb::object new_tags() {
    PyTypeObject *type = (PyTypeObject *)st->tags_cls;
    PyObject *tags = type->tp_new(type, st->empty_tuple, nullptr);
    if (!tags)
        throw nb::python_error();
    return nb::steal(tags);
}

// The tags of a record: pid and pname, then tid and tname while several
// threads live. Consecutive records mostly carry the same items, so a dict
// of the last ones is kept, and copying it fills the new tags in one step.
nb::object record_tags(nb::handle process, nb::handle process_name, nb::handle thread, nb::handle thread_name) {
    int count = several_threads() ? 4 : 2;
    PyObject *items[4] = {process.ptr(), process_name.ptr(), thread.ptr(), thread_name.ptr()};
    bool same = st->tags_model && st->tags_count == count;
    for (int i = 0; same && i < count; ++i)
        same = st->tags_items[i] == items[i];
    if (!same) {
        nb::object model = nb::steal(PyDict_New());
        if (!model.is_valid())
            throw nb::python_error();
        PyObject *keys[4] = {st->s_pid, st->s_pname, st->s_tid, st->s_tname};
        for (int i = 0; i < count; ++i)
            set_item(model.ptr(), keys[i], items[i]);
        PyObject *old = st->tags_model;
        st->tags_model = model.release().ptr();
        for (int i = 0; i < count; ++i)
            st->tags_items[i] = items[i];  // held by the model
        st->tags_count = count;
        Py_XDECREF(old);  // last: its items' finalizers may log
    }
    nb::object tags = new_tags();
    if (PyDict_Update(tags.ptr(), st->tags_model) < 0)
        throw nb::python_error();
    return tags;
}

// The MorlanLog fields, in key order (seqnum, hostname, tags,
// morlan_appname, morlan_sev, morlan_msgname), of a record with these
// LogRecord fields, into out.items[at, at + morlan_field_count).
constexpr Py_ssize_t morlan_field_count = 6;

void morlan_fields(nb::handle name, nb::handle levelname, nb::handle thread, nb::handle thread_name,
                   nb::handle process_name, nb::handle process, FieldValues &out, Py_ssize_t at) {
    out.take(at, next_seqnum(process));
    out.take(at + 1, host_name());
    out.take(at + 2, record_tags(process, process_name, thread, thread_name));

    nb::object names = cached_names_of(name);
    out.borrow(at + 3, PyTuple_GET_ITEM(names.ptr(), 0));

    nb::object severities = record_constant(st->s_MORLAN_MSG_SEV_MAP);
    PyObject *severity = PyDict_Check(severities.ptr()) ? fast::dict_get(severities.ptr(), levelname.ptr())
                                                          : nullptr;
    if (severity) {
        out.borrow(at + 4, severity);
    } else if (PyDict_Check(severities.ptr())) {
        out.take(at + 4, severities[st->s_INFO]);
    } else {
        nb::object fallback = severities[st->s_INFO];
        out.take(at + 4, severities.attr("get")(levelname, fallback));
    }

    PyObject *tcl_name = PyTuple_GET_ITEM(names.ptr(), 1);
    out.borrow(at + 5, tcl_name == Py_None ? levelname.ptr() : tcl_name);
}

// The MorlanLog fields of a record whose LogRecord fields are set.
void add_fields(nb::handle self) {
    nb::object dict_owner = fast::instance_dict(self);
    PyObject *dict = dict_owner.ptr();
    auto get = [&](PyObject *key) { return fast::field(self, dict, key); };
    FieldValues fields;
    morlan_fields(get(st->s_name), get(st->s_levelname), get(st->s_thread), get(st->s_threadName),
                  get(st->s_processName), get(st->s_process), fields, 0);
    PyObject *keys[morlan_field_count] = {st->s_seqnum,         st->s_hostname,   st->s_tags,
                                          st->s_morlan_appname, st->s_morlan_sev, st->s_morlan_msgname};
    for (Py_ssize_t i = 0; i < morlan_field_count; ++i)
        set_item(dict, keys[i], fields.items[i]);
}

// Positions of the LogRecord fields that the MorlanLog fields derive from,
// among the natively made ones.
enum NativeField { f_name = 0, f_levelname = 3, f_thread = 16, f_threadName = 17, f_processName = 18, f_process = 19 };

// A MorlanLogRecord's whole dictionary made at once, when the record is of
// this very class, called as the logging library's factory (positional
// arguments only) and nothing the interpreter's initialiser uses has been
// replaced. False, with nothing done, otherwise.
bool init_natively(PyObject *self, PyObject *base_init, PyObject *args, PyObject *kwargs) {
    Py_ssize_t stock = native_field_count();
    PyTypeObject *type = Py_TYPE(self);
    if (!stock || (kwargs && PyDict_GET_SIZE(kwargs)) || !PyTuple_CheckExact(args) ||
        PyTuple_GET_SIZE(args) < 7 || PyTuple_GET_SIZE(args) > 9 || (PyObject *)type != st->record_cls ||
        base_init != st->log_record_init || type->tp_setattro != PyObject_GenericSetAttr)
        return false;
    FieldValues values;
    if (!make_native_fields(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), values))
        return false;
    PyObject **v = values.items;
    morlan_fields(v[f_name], v[f_levelname], v[f_thread], v[f_threadName], v[f_processName], v[f_process],
                  values, stock);
    nb::object dict = native_record_dict(values, stock + morlan_field_count);
#if PY_VERSION_HEX < 0x030C0000
    int failed = PyObject_GenericSetDict(self, dict.ptr(), nullptr);
#else
    // through the class's __dict__ descriptor, which also retires the
    // attribute values kept inside the object
    int failed = PyObject_SetAttr(self, st->s___dict__, dict.ptr());
#endif
    if (failed < 0)
        throw nb::python_error();
    return true;
}

// The initialiser that follows MorlanLogRecord in the class order of `self`
// (LogRecord's, unless a subclass put another one between them), called as
// super().__init__(*args, **kwargs) would call it.
void run_base_init(PyObject *self, PyObject *base_init, PyObject *args, PyObject *kwargs) {
    if (!base_init) {
        PyErr_SetString(PyExc_TypeError, "MorlanLogRecord has no base initialiser");
        throw nb::python_error();
    }
    nb::object bound;
    if (descrgetfunc get = Py_TYPE(base_init)->tp_descr_get) {
        PyObject *method = get(base_init, self, (PyObject *)Py_TYPE(self));
        if (!method)
            throw nb::python_error();
        bound = nb::steal(method);
    } else {
        bound = nb::borrow(base_init);
    }
    PyObject *result = PyObject_Call(bound.ptr(), args, kwargs);
    if (!result)
        throw nb::python_error();
    Py_DECREF(result);
}

// MorlanLogRecord.__init__(*args, **kwargs): the LogRecord fields, by the
// interpreter's initialiser or natively with the same result, then the
// MorlanLog fields. The class's initialiser slot itself (see
// define_records), so only interpreter errors may leave it.
int record_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    try {
        PyObject *base_init = fast::super_lookup(Py_TYPE(self), st->record_cls, st->s___init__);
        if (init_natively(self, base_init, args, kwargs))
            return 0;
        run_base_init(self, base_init, args, kwargs);
        add_fields(self);
        return 0;
    } catch (nb::python_error &error) {
        error.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected failure in MorlanLogRecord.__init__");
    }
    return -1;
}

// MorlanLogRecord.__init__ as a slot wrapper, the form in which the classes
// written in C define it: the interpreter then calls record_init straight
// from its initialiser slot, with the factory's argument tuple, rather than
// looking the method up and binding it for every record. Its description is
// the one every __init__ slot wrapper shares (object.__init__'s).
nb::object init_slot_wrapper(PyTypeObject *owner) {
    nb::object model = nb::steal(PyObject_GetAttrString((PyObject *)&PyBaseObject_Type, "__init__"));
    if (!model.is_valid())
        throw nb::python_error();
    if (!Py_IS_TYPE(model.ptr(), &PyWrapperDescr_Type)) {
        PyErr_SetString(PyExc_SystemError, "object.__init__ is not a slot wrapper");
        throw nb::python_error();
    }
    struct wrapperbase *base = ((PyWrapperDescrObject *)model.ptr())->d_base;
    PyObject *wrapper = PyDescr_NewWrapper(owner, base, (void *)&record_init);
    if (!wrapper)
        throw nb::python_error();
    return nb::steal(wrapper);
}

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

void part_init(nb::handle self, nb::handle record, nb::handle message, nb::handle index, nb::handle total) {
    init_part(self, Parent(record), message, index, total, false);
}

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

nb::object record_iter(nb::handle self) {
    nb::object lines = lines_of(self);
    PyObject *iterator = PyObject_GetIter(lines.ptr());
    if (!iterator)
        throw nb::python_error();
    return nb::steal(iterator);
}

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

}  // namespace

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

void define_constants(nb::module_ &m) {
    nb::object counters =
        nb::module_::import_("collections").attr("defaultdict")(nb::module_::import_("itertools").attr("count"));
    m.attr("LOG_SEQUENCE_COUNTER") = counters;
    nb::dict severities;
    const char *levels[] = {"EMERGENCY", "ALERT", "CRITICAL", "ERROR", "WARNING", "NOTICE", "INFO", "DEBUG"};
    for (int i = 0; i < 8; ++i)
        severities[levels[i]] = i;
    m.attr("MORLAN_MSG_SEV_MAP") = severities;
}

void define_records(nb::module_ &m) {
    st = new RecordState{};
    st->module_dict = PyModule_GetDict(m.ptr());
    const char *texts[] = {"LOG_SEQUENCE_COUNTER", "MORLAN_MSG_SEV_MAP", "default_factory", "gethostname",
                           "active_count", "process", "processName", "thread", "threadName", "name",
                           "levelname", "seqnum", "hostname", "tags", "morlan_appname", "morlan_sev",
                           "morlan_msgname", "message", "parts", "pid", "pname", "tid", "tname", "part",
                           "copy", "INFO", "startswith", "split", "upper", ".", "MorlanLogRecordPart",
                           "__init__", "__iter__", "splitlines", "_active", "_limbo", "__str__", "__dict__"};
    PyObject **slots[] = {&st->s_LOG_SEQUENCE_COUNTER, &st->s_MORLAN_MSG_SEV_MAP, &st->s_default_factory,
                          &st->s_gethostname, &st->s_active_count, &st->s_process, &st->s_processName,
                          &st->s_thread, &st->s_threadName, &st->s_name, &st->s_levelname, &st->s_seqnum,
                          &st->s_hostname, &st->s_tags, &st->s_morlan_appname, &st->s_morlan_sev,
                          &st->s_morlan_msgname, &st->s_message, &st->s_parts, &st->s_pid, &st->s_pname,
                          &st->s_tid, &st->s_tname, &st->s_part, &st->s_copy, &st->s_INFO,
                          &st->s_startswith, &st->s_split, &st->s_upper, &st->s_dot,
                          &st->s_MorlanLogRecordPart, &st->s___init__, &st->s___iter__, &st->s_splitlines,
                          &st->s__active, &st->s__limbo, &st->s___str__, &st->s___dict__};
    static_assert(sizeof texts / sizeof *texts == sizeof slots / sizeof *slots);
    for (size_t i = 0; i < sizeof slots / sizeof *slots; ++i)
        *slots[i] = fast::intern(texts[i]);
    st->empty_tuple = PyTuple_New(0);
    st->empty_text = fast::intern("");
    st->names_cache = PyDict_New();
    st->one = PyLong_FromLong(1);
    if (!st->empty_tuple || !st->names_cache || !st->one)
        throw nb::python_error();

    nb::module_ socket = nb::module_::import_("socket"), threading = nb::module_::import_("threading");
    st->socket_dict = nb::borrow(PyModule_GetDict(socket.ptr())).release().ptr();
    st->threading_dict = nb::borrow(PyModule_GetDict(threading.ptr())).release().ptr();
    st->stock_gethostname = socket.attr("gethostname").inc_ref().ptr();
    st->stock_active_count = threading.attr("active_count").inc_ref().ptr();
    st->count_type = nb::module_::import_("itertools").attr("count").inc_ref().ptr();
    st->defaultdict_type = nb::module_::import_("collections").attr("defaultdict").inc_ref().ptr();
    nb::object log_record = nb::module_::import_("logging").attr("LogRecord");
    st->log_record_init = log_record.attr("__init__").inc_ref().ptr();

    nb::object tags =
        ClassBuilder(m, "MorlanLogTags", {nb::handle((PyObject *)&PyDict_Type)})
            .doc("Tags of a MorlanLog line; str() gives the line's tags field.")
            .method("__str__", &tags_str)
            .method("copy", &tags_copy)
            .build();
    nb::object part =
        ClassBuilder(m, "MorlanLogRecordPart", {log_record})
            .doc("One line of a multi-line MorlanLogRecord, with its own sequence number and part tag.")
            .method("__init__", &part_init, nb::arg("record"), nb::arg("message"), nb::arg("index"),
                    nb::arg("total"))
            .method("__getstate__", &part_state)
            .build();
    nb::object record =
        ClassBuilder(m, "MorlanLogRecord", {log_record})
            .doc("Log record carrying the fields of the MorlanLog line format.")
            .method("__iter__", &record_iter)
            .method("__getstate__", &record_state)
            .method("__copy__", &record_copy)
            .build();

    st->part_init = nb::object(part.attr("__dict__")["__init__"]).release().ptr();
    st->record_iter = nb::object(record.attr("__dict__")["__iter__"]).release().ptr();
    st->tags_str_attr = nb::object(tags.attr("__dict__")["__str__"]).release().ptr();
    st->tags_copy_attr = nb::object(tags.attr("__dict__")["copy"]).release().ptr();
    st->tags_cls = tags.release().ptr();
    st->part_cls = part.release().ptr();
    if (PyObject_SetAttr(record.ptr(), st->s___init__, init_slot_wrapper((PyTypeObject *)record.ptr()).ptr()) < 0)
        throw nb::python_error();
    st->record_cls = record.release().ptr();
    prepare_native_fields({"seqnum", "hostname", "tags", "morlan_appname", "morlan_sev", "morlan_msgname"});
}

}  // namespace tavix::morlan
