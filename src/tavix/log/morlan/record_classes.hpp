// What the files of the record classes share (record.cpp, tags.cpp,
// parts.cpp): the classes, stock methods and interned names the module made
// when it defined them, and the small helpers all of them use.
#pragma once

#include "class_builder.hpp"
#include "logging_fastpath.hpp"
#include "records.hpp"

namespace tavix::morlan::record_classes {

using fast::call_method;

// The classes the module made, their stock methods, the module globals read
// last and the interned names.
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

// Made by define_records, kept for the process lifetime.
extern RecordState *st;

// A module global as the module currently holds it (tests and users may
// replace constants such as LOG_SEQUENCE_COUNTER).
inline nb::object module_global(PyObject *name) {
    PyObject *value = fast::dict_get(st->module_dict, name);
    if (!value) {
        PyErr_SetObject(PyExc_NameError, name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

inline void set_item(PyObject *dict, PyObject *key, nb::handle value) {
    if (PyDict_SetItem(dict, key, value.ptr()) < 0)
        throw nb::python_error();
}

// A new, empty MorlanLogTags.
inline nb::object new_tags() {
    PyTypeObject *type = (PyTypeObject *)st->tags_cls;
    PyObject *tags = type->tp_new(type, st->empty_tuple, nullptr);
    if (!tags)
        throw nb::python_error();
    return nb::steal(tags);
}

// record.cpp: next(LOG_SEQUENCE_COUNTER[process]).
nb::object next_seqnum(nb::handle process);

// tags.cpp: MorlanLogTags.__str__ and copy, and whether a dict's keys are all
// str (as keyword arguments must be).
nb::object tags_str(nb::handle self);
nb::object tags_copy(nb::handle self);
bool string_keys(PyObject *dict);

// parts.cpp: MorlanLogRecordPart.__init__ and MorlanLogRecord.__iter__.
void part_init(nb::handle self, nb::handle record, nb::handle message, nb::handle index, nb::handle total);
nb::object record_iter(nb::handle self);

}  // namespace tavix::morlan::record_classes
