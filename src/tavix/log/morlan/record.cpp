// MorlanLogRecord: the MorlanLog fields of a record (its sequence number
// from the module's counters, the host name, the tags, the application and
// severity), made natively with the interpreter's LogRecord fields where
// nothing they depend on was replaced; and the module constants.
#include <unistd.h>

#include <string>

#include "record_classes.hpp"

namespace tavix::morlan {

namespace record_classes {

RecordState *st = nullptr;

namespace {

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

}  // namespace

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

namespace {

constexpr Py_ssize_t names_cache_limit = 4096;

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

}  // namespace

}  // namespace record_classes

using namespace record_classes;

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
