// Records that leave their process: what a MorlanLogRecord and its parts
// keep when they are pickled (multiprocessing queues, sockets) or deep-copied.
// A traceback object cannot travel; its text does, in exc_text and in the
// lines of the parts, which are built before the record leaves so that
// their numbers are drawn in the process that made the record.
#include "logging_fastpath.hpp"
#include "records.hpp"

namespace tavix::morlan {

namespace {

struct TravelState {
    PyObject *exc_info, *new_method;
    PyObject *formatter;  // a logging.Formatter: the interpreter's traceback and stack text
};

const TravelState *st = nullptr;

// The instance dictionary of `obj`, or a copy of it whose exc_info is None.
nb::object state_without_traceback(nb::handle obj) {
    nb::object dict = fast::instance_dict(obj);
    PyObject *exc_info = fast::dict_get(dict.ptr(), st->exc_info);
    if (!exc_info || exc_info == Py_None)
        return dict;
    nb::object state = nb::steal(PyDict_Copy(dict.ptr()));
    if (!state.is_valid() || PyDict_SetItem(state.ptr(), st->exc_info, Py_None) < 0)
        throw nb::python_error();
    return state;
}

}  // namespace

void prepare_travel() {
    nb::object formatter = nb::module_::import_("logging").attr("Formatter")();
    st = new TravelState{fast::intern("exc_info"), fast::intern("__new__"), formatter.release().ptr()};
}

// MorlanLogRecord.__getstate__: the record formatted as far as its lines
// (exc_text cached, parts built), without its traceback.
nb::object record_state(nb::handle record) {
    build_parts(record, full_message(st->formatter, record));
    return state_without_traceback(record);
}

// MorlanLogRecordPart.__getstate__
nb::object part_state(nb::handle part) { return state_without_traceback(part); }

// MorlanLogRecord.__copy__: the plain shallow copy copy.copy makes of any
// object. The copy stays in this process, so it keeps the traceback and
// shares the parts, if any, or builds its own when first formatted.
nb::object record_copy(nb::handle record) {
    nb::handle cls((PyObject *)Py_TYPE(record.ptr()));
    nb::object copy = cls.attr(st->new_method)(cls);
    nb::object copy_dict = fast::instance_dict(copy);
    if (PyDict_Update(copy_dict.ptr(), fast::instance_dict(record).ptr()) < 0)
        throw nb::python_error();
    return copy;
}

}  // namespace tavix::morlan
