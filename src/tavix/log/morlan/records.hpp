// The record half of tavix.log.morlan: MorlanLog records, their tags and
// parts, and the line formatters.
//
// The handler half (handlers.hpp) finds these classes on the module by name,
// e.g. module.attr("TaskLogFormatter").
#pragma once

#include <nanobind/nanobind.h>
#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "logging_fastpath.hpp"

namespace tavix::morlan {

namespace nb = nanobind;

// Defines LOG_SEQUENCE_COUNTER and MORLAN_MSG_SEV_MAP.
void define_constants(nb::module_ &module);

// Defines MorlanLogTags, MorlanLogRecordPart and MorlanLogRecord, in that order.
void define_records(nb::module_ &module);

// Defines MorlanLogFormatter, ScreenFormatter, ColouredScreenFormatter,
// TaskLogFormatter and ColouredTaskLogFormatter, in that order.
void define_formatters(nb::module_ &module);

// The fields of the interpreter's LogRecord.__init__, made natively
// (record_fields.cpp). prepare_native_fields runs at import; it works out
// the interpreter's rules, and leaves natively made records off when they
// cannot be matched. A natively made record's dictionary holds those fields
// and then `extra_keys`, in that order.
constexpr Py_ssize_t max_native_fields = 32;

// Owned references to the fields of a record being made, in key order.
struct FieldValues {
    PyObject *items[max_native_fields] = {};
    FieldValues() = default;
    FieldValues(const FieldValues &) = delete;
    FieldValues &operator=(const FieldValues &) = delete;
    ~FieldValues() {
        for (PyObject *item : items)
            Py_XDECREF(item);
    }
    void take(Py_ssize_t i, nb::object value) { Py_XSETREF(items[i], value.release().ptr()); }
    void borrow(Py_ssize_t i, PyObject *value) { Py_XSETREF(items[i], fast::new_ref(value)); }
};
void prepare_native_fields(std::initializer_list<const char *> extra_keys);
// How many of the LogRecord fields there are; 0 while natively made records are off.
Py_ssize_t native_field_count();
// Fills values[0, native_field_count()) for the factory's positional
// arguments (7 to 9 of them) as the initialiser would; false, with nothing
// done, when something the initialiser uses has been replaced.
bool make_native_fields(PyObject *const *args, Py_ssize_t nargs, FieldValues &values);
// A new dictionary of all keys, holding values.items[0, count) in key order.
nb::object native_record_dict(const FieldValues &values, Py_ssize_t count);
// os.getpid() of this process, asked of the system once per process.
nb::handle current_process_id();
pid_t current_pid();

// Used by the formatters: the objects a record yields to be formatted as one
// line each (the record itself, or its cached parts). Null when the record's
// class has replaced __iter__; the caller then iterates it the ordinary way.
nb::object record_lines(nb::handle record);

// True when iterating the record yields the record itself, its full text
// being `message`: the class's own __iter__ and fewer than two lines.
bool yields_itself(nb::handle record, nb::handle message);

// MorlanLogFormatter.format(record) + terminator, as one text; for handlers
// whose formatter's format is MorlanLogFormatter's own.
nb::object format_with_terminator(nb::handle formatter, nb::handle record, nb::handle terminator);
// MorlanLogFormatter.format as the class holds it.
PyObject *stock_morlan_format();

// The text format() splits into lines: the record's message with the
// exception text (cached in exc_text) and the stack text of `formatter`.
nb::object full_message(nb::handle formatter, nb::handle record);

// Builds and caches the parts of a record whose full text is `message` (not
// yet stored on the record), when it has several lines. Nothing happens when
// the record's class has replaced __iter__.
void build_parts(nb::handle record, nb::handle message);

// What records and parts keep when they leave their process (travel.cpp):
// MorlanLogRecord.__getstate__ and __copy__, MorlanLogRecordPart.__getstate__,
// usable once prepare_travel has run.
void prepare_travel();
nb::object record_state(nb::handle record);
nb::object record_copy(nb::handle record);
nb::object part_state(nb::handle part);

// While one exists, the first tags rendered on this thread leave the text of
// their items in it, and later tags copy the text of the leading items they
// share with those by identity: the parts of a record, whose tags share every
// item but the part tag, render them once. The memo keeps the items alive
// and holds only exact str and int ones, whose text never changes.
class TagsMemo {
public:
    TagsMemo();
    ~TagsMemo();
    TagsMemo(const TagsMemo &) = delete;
    TagsMemo &operator=(const TagsMemo &) = delete;

    void add(nb::object key, nb::object value, const char *item, size_t length);

    std::vector<std::pair<nb::object, nb::object>> items;
    std::vector<size_t> ends;  // end of each item's text in `text`
    std::string text;

private:
    TagsMemo *outer_;
};

// Appends str() of a MorlanLogTags to `out` while its __str__ is the stock
// one and its text is ASCII, else returns false: a hook for the template
// filler.
bool tags_text(PyObject *value, fast::TextBuffer &out);

}  // namespace tavix::morlan
