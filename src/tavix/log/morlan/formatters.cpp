// The MorlanLog line formatters: every line of a message, traceback and stack
// dump included, becomes a complete log line with its own header.
#include <cmath>
#include <memory>
#include <optional>

#include "logging_fastpath.hpp"
#include "class_builder.hpp"
#include "records.hpp"

namespace tavix::morlan {

namespace {

using fast::add;
using fast::call_method;

struct FormatterState {
    PyObject *module_dict;
    PyObject *record_cls, *screen_cls;
    PyObject *formatter_init, *set_factory_name;
    PyObject *stock_get_message, *stock_uses_time, *stock_format_time, *stock_style_uses_time;
    PyObject *converter_attr;  // MorlanLogFormatter.__dict__["converter"]
    PyObject *format_attr;     // MorlanLogFormatter.__dict__["format"]
    PyObject *stock_get_time;  // tavix.utils.utils.get_time as imported
    PyObject *logging_dict;
    PyObject *newline, *asctime_search;
    PyObject *s_msg, *s_args, *s_getMessage, *s_usesTime, *s_formatTime, *s_converter, *s_datefmt,
        *s_created, *s_asctime, *s_exc_info, *s_exc_text, *s_stack_info, *s_message, *s_formatException,
        *s_formatStack, *s_get_time, *s_timetuple, *s_MESSAGE_FORMAT, *s_TIMESTAMP_FORMAT, *s___init__,
        *s_setLogRecordFactory;
    // asctime of the last second formatted with the stock converter
    double cached_second;
    PyObject *cached_datefmt, *cached_asctime;
};

FormatterState *st = nullptr;

void set_attr(nb::handle obj, PyObject *name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0)
        throw nb::python_error();
}

// record.getMessage(), done here while it is LogRecord's own.
nb::object message_of(nb::handle record, PyObject *dict) {
    if (!fast::uses_stock(record.ptr(), st->s_getMessage, st->stock_get_message)) {
        PyObject *message = PyObject_CallMethodNoArgs(record.ptr(), st->s_getMessage);
        if (!message)
            throw nb::python_error();
        return nb::steal(message);
    }
    PyObject *text = PyObject_Str(fast::field(record, dict, st->s_msg).ptr());
    if (!text)
        throw nb::python_error();
    nb::object message = nb::steal(text);
    nb::object args = fast::field(record, dict, st->s_args);
    if (!truthy(args))
        return message;
    PyObject *filled = PyNumber_Remainder(message.ptr(), args.ptr());
    if (!filled)
        throw nb::python_error();
    return nb::steal(filled);
}

// self.usesTime()
bool uses_time(nb::handle self, PyObject *self_dict) {
    if (fast::uses_stock(self.ptr(), st->s_usesTime, st->stock_uses_time)) {
        const fast::LoggingStock &stock = fast::logging_stock();
        nb::object style = fast::field(self, self_dict, stock.s_style);
        if ((PyObject *)Py_TYPE(style.ptr()) == stock.percent_style &&
            fast::uses_stock(style.ptr(), st->s_usesTime, st->stock_style_uses_time)) {
            nb::object style_dict = fast::instance_dict(style);
            nb::object fmt = fast::field(style, style_dict.ptr(), stock.s_fmt);
            if (PyUnicode_CheckExact(fmt.ptr())) {
                Py_ssize_t at = PyUnicode_Find(fmt.ptr(), st->asctime_search, 0, PY_SSIZE_T_MAX, 1);
                if (at == -2)
                    throw nb::python_error();
                return at >= 0;
            }
        }
    }
    PyObject *result = PyObject_CallMethodNoArgs(self.ptr(), st->s_usesTime);
    if (!result)
        throw nb::python_error();
    return truthy(nb::steal(result));
}

// The whole second that datetime.fromtimestamp(created) falls in: it rounds
// to microseconds half-to-even, so a time a hair before a full second
// belongs to the next one.
double converted_second(double created) {
    double whole;
    double fraction = std::modf(created, &whole) * 1e6;
    fraction = std::nearbyint(fraction);
    if (fraction >= 1e6)
        whole += 1.0;
    else if (fraction < 0)
        whole -= 1.0;
    return whole;
}

// Whether formatTime, converter and get_time are the stock ones and the
// date format a plain non-empty str: the timestamp then only changes once a
// second.
bool stock_time_of(nb::handle self, PyObject *self_dict) {
    nb::object datefmt = fast::field(self, self_dict, st->s_datefmt);
    return PyUnicode_CheckExact(datefmt.ptr()) && PyUnicode_GET_LENGTH(datefmt.ptr()) > 0 &&
           fast::uses_stock(self.ptr(), st->s_formatTime, st->stock_format_time) &&
           fast::uses_stock(self.ptr(), st->s_converter, st->converter_attr) &&
           fast::dict_get(st->module_dict, st->s_get_time) == st->stock_get_time;
}

// self.formatTime(record, self.datefmt), kept for the second it stands for
// when `stock` (stock_time_of).
nb::object time_text(nb::handle self, PyObject *self_dict, nb::handle record, PyObject *record_dict, bool stock) {
    nb::object datefmt = fast::field(self, self_dict, st->s_datefmt);
    PyObject *self_ptr = self.ptr();
    PyObject *created = stock ? fast::dict_get(record_dict, st->s_created) : nullptr;
    if (!created || !PyFloat_CheckExact(created)) {
        PyObject *args[3] = {self_ptr, record.ptr(), datefmt.ptr()};
        PyObject *text =
            PyObject_VectorcallMethod(st->s_formatTime, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        if (!text)
            throw nb::python_error();
        return nb::steal(text);
    }
    double second = converted_second(PyFloat_AS_DOUBLE(created));
    if (st->cached_asctime && st->cached_second == second &&
        (st->cached_datefmt == datefmt.ptr() ||
         PyUnicode_Compare(st->cached_datefmt, datefmt.ptr()) == 0))
        return nb::borrow(st->cached_asctime);
    PyObject *args[3] = {self_ptr, record.ptr(), datefmt.ptr()};
    PyObject *text = PyObject_VectorcallMethod(st->s_formatTime, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!text)
        throw nb::python_error();
    nb::object result = nb::steal(text);
    PyObject *old_format = st->cached_datefmt, *old_text = st->cached_asctime;
    st->cached_second = second;
    st->cached_datefmt = datefmt.inc_ref().ptr();
    st->cached_asctime = result.inc_ref().ptr();
    Py_XDECREF(old_format);
    Py_XDECREF(old_text);
    return result;
}

bool ends_with_newline(nb::handle text) {
    if (PyUnicode_Check(text.ptr())) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
        return length > 0 && PyUnicode_READ_CHAR(text.ptr(), length - 1) == '\n';
    }
    nb::object tail = nb::steal(PySequence_GetSlice(text.ptr(), -1, PY_SSIZE_T_MAX));
    if (!tail.is_valid())
        throw nb::python_error();
    int same = PyObject_RichCompareBool(tail.ptr(), st->newline, Py_EQ);
    if (same < 0)
        throw nb::python_error();
    return same;
}

nb::object fold_in(nb::handle text, nb::handle more) {
    nb::object joined = ends_with_newline(text) ? nb::borrow(text) : add(text, st->newline);
    return add(joined, more);
}

// The message text with the exception text (formatted once and cached in
// exc_text) and the stack text folded in.
nb::object fold_exception_and_stack(nb::handle self, nb::handle record, PyObject *record_dict, nb::object text) {
    nb::object exc_info = fast::field(record, record_dict, st->s_exc_info);
    if (truthy(exc_info) && !truthy(fast::field(record, record_dict, st->s_exc_text)))
        set_attr(record, st->s_exc_text, call_method(self, st->s_formatException, exc_info));
    nb::object exc_text = fast::field(record, record_dict, st->s_exc_text);
    if (truthy(exc_text))
        text = fold_in(text, exc_text);
    nb::object stack_info = fast::field(record, record_dict, st->s_stack_info);
    if (truthy(stack_info))
        text = fold_in(text, call_method(self, st->s_formatStack, stack_info));
    return text;
}

// True when the instance dictionary of `obj` holds `name`.
bool has_own(PyObject *obj, PyObject *name) {
    PyObject **dict = _PyObject_GetDictPtr(obj);
    if (!dict || !*dict)
        return false;
    int found = PyDict_Contains(*dict, name);
    if (found < 0)
        throw nb::python_error();
    return found;
}

// Parts that were built before any formatter timed their record (when it
// was pickled, or formatted without a time) take the record's time. The
// parts of a record are copies of one dictionary, so the first one tells.
void time_parts(nb::handle lines, nb::handle asctime) {
    if (has_own(PyTuple_GET_ITEM(lines.ptr(), 0), st->s_asctime))
        return;
    for (Py_ssize_t i = 0, count = PyTuple_GET_SIZE(lines.ptr()); i < count; ++i) {
        PyObject *line = PyTuple_GET_ITEM(lines.ptr(), i);
        if (!has_own(line, st->s_asctime))
            set_attr(line, st->s_asctime, asctime);
    }
}

using stock::type_tag;

// What format() found out about the formatter it served last: kept while
// neither the formatter, its style, their classes nor this module's globals
// change, which their version tags tell at the cost of a few comparisons.
struct FormatterPlan {
    nb::object formatter, style;
    PyObject *formatter_dict = nullptr, *style_dict = nullptr;  // held by formatter and style
    unsigned int formatter_tag = 0, style_tag = 0;
    fast::DictReading formatter_reading, style_reading, module_reading;
    bool stock_uses_time = false, uses_time = false, stock_time = false;
    std::optional<fast::MessageRenderer> render;

    bool current(PyObject *self) const {
        if (formatter.ptr() != self || !formatter_tag || type_tag(Py_TYPE(self)) != formatter_tag ||
            !module_reading.current(st->module_dict))
            return false;
        PyObject **dict = _PyObject_GetDictPtr(self);
        if (!dict || *dict != formatter_dict || !formatter_reading.current(formatter_dict))
            return false;
        if (!style.is_valid())
            return true;
        PyObject **style_dict_ptr = _PyObject_GetDictPtr(style.ptr());
        return style_tag && type_tag(Py_TYPE(style.ptr())) == style_tag && style_dict_ptr &&
               *style_dict_ptr == style_dict && style_reading.current(style_dict);
    }
};

// The plans of the last few formatters (a record goes to the task log and
// the console); never destroyed: they hold interpreter objects.
constexpr size_t plan_count = 4;
std::shared_ptr<FormatterPlan> *plans = new std::shared_ptr<FormatterPlan>[plan_count];
size_t next_plan = 0;

// The plan for `self`, made anew unless the last one still holds; its user
// shares it, as formatting may run code that makes another. A class without
// a version tag makes the plan good for one call.
std::shared_ptr<FormatterPlan> plan_for(nb::handle self, PyObject *self_dict) {
    size_t slot = next_plan;
    for (size_t i = 0; i < plan_count; ++i) {
        if (!plans[i] || plans[i]->formatter.ptr() != self.ptr())
            continue;
        if (plans[i]->current(self.ptr()))
            return plans[i];
        slot = i;
    }
    if (slot == next_plan)
        next_plan = (next_plan + 1) % plan_count;
    auto fresh = std::make_shared<FormatterPlan>();
    FormatterPlan &p = *fresh;
    p.formatter = nb::borrow(self);
    p.stock_uses_time = fast::uses_stock(self.ptr(), st->s_usesTime, st->stock_uses_time);
    if (p.stock_uses_time)
        p.uses_time = uses_time(self, self_dict);
    p.stock_time = stock_time_of(self, self_dict);
    p.render.emplace(self, &tags_text, false);
    nb::object style = fast::field_or(self, self_dict, fast::logging_stock().s_style, Py_None);
    // taken last: the lookups above give the classes their tags
    p.formatter_tag = type_tag(Py_TYPE(self.ptr()));
    PyObject **dict = _PyObject_GetDictPtr(self.ptr());
    p.formatter_dict = dict ? *dict : nullptr;
    if (!p.formatter_dict || p.formatter_dict != self_dict)
        p.formatter_tag = 0;
    else
        p.formatter_reading.taken(p.formatter_dict);
    if (!style.is_none()) {
        fast::class_lookup(Py_TYPE(style.ptr()), st->s_usesTime);  // gives the class a tag
        p.style = style;
        p.style_tag = type_tag(Py_TYPE(style.ptr()));
        PyObject **style_dict = _PyObject_GetDictPtr(style.ptr());
        p.style_dict = style_dict ? *style_dict : nullptr;
        if (!p.style_dict)
            p.formatter_tag = 0;
        else
            p.style_reading.taken(p.style_dict);
    }
    p.module_reading.taken(st->module_dict);
    std::shared_ptr<FormatterPlan> old = std::move(plans[slot]);
    plans[slot] = fresh;
    return fresh;  // `old` goes last: releasing it may run Python code
}

// MorlanLogFormatter.format, followed by `terminator` when given.
nb::object format_text(nb::handle self, nb::handle record, nb::handle terminator) {
    nb::object self_dict = fast::instance_dict(self), record_dict = fast::instance_dict(record);
    nb::object text = message_of(record, record_dict.ptr());
    std::shared_ptr<FormatterPlan> shared_plan = plan_for(self, self_dict.ptr());
    const FormatterPlan &p = *shared_plan;
    bool stock_time = p.stock_time;
    const fast::MessageRenderer &render = *p.render;
    nb::object asctime;
    if (p.stock_uses_time ? p.uses_time : uses_time(self, self_dict.ptr())) {
        asctime = time_text(self, self_dict.ptr(), record, record_dict.ptr(), stock_time);
        set_attr(record, st->s_asctime, asctime);
    }
    text = fold_exception_and_stack(self, record, record_dict.ptr(), std::move(text));
    set_attr(record, st->s_message, text);

    fast::TextBuffer &out = fast::scratch();
    size_t start = out.size();
    struct Truncate {
        fast::TextBuffer &out;
        size_t start;
        ~Truncate() { out.resize(start); }
    } truncate{out, start};
    auto finish = [&](nb::object joined) {
        if (!terminator.is_valid())
            return joined;
        return add(joined, terminator);
    };
    if (yields_itself(record, text)) {
        // The common case: one line, filled straight into text.
        if (render.append_ascii(record, out) &&
            (!terminator.is_valid() || fast::append_ascii_text(terminator.ptr(), out)))
            return fast::ascii_text(out.data() + start, out.size() - start);
        out.resize(start);
        nb::object line = render(record);
        if (!PyUnicode_CheckExact(line.ptr())) {
            PyObject *joined = PyUnicode_Join(st->newline, nb::make_tuple(line).ptr());
            if (!joined)
                throw nb::python_error();
            line = nb::steal(joined);
        }
        return finish(line);
    }

    nb::object lines = record_lines(record);
    if (!lines.is_valid()) {
        PyObject *all = PySequence_Tuple(record.ptr());
        if (!all)
            throw nb::python_error();
        lines = nb::steal(all);
    }
    Py_ssize_t count = PyTuple_GET_SIZE(lines.ptr());
    if (asctime.is_valid() && count > 0 && PyTuple_GET_ITEM(lines.ptr(), 0) != record.ptr())
        time_parts(lines, asctime);
    std::optional<TagsMemo> memo;
    if (count > 1)
        memo.emplace();
    // All lines at once into one text, when each fills in one ASCII pass.
    Py_ssize_t done = 0;
    for (; done < count; ++done) {
        if (done)
            out += '\n';
        if (!render.append_ascii(PyTuple_GET_ITEM(lines.ptr(), done), out))
            break;
    }
    if (done == count && count > 0 && (!terminator.is_valid() || fast::append_ascii_text(terminator.ptr(), out)))
        return fast::ascii_text(out.data() + start, out.size() - start);
    out.resize(start);
    nb::object rendered = nb::steal(PyList_New(count));
    if (!rendered.is_valid())
        throw nb::python_error();
    for (Py_ssize_t i = 0; i < count; ++i)
        PyList_SET_ITEM(rendered.ptr(), i, render(PyTuple_GET_ITEM(lines.ptr(), i)).release().ptr());
    PyObject *joined = PyUnicode_Join(st->newline, rendered.ptr());
    if (!joined)
        throw nb::python_error();
    return finish(nb::steal(joined));
}

// MorlanLogFormatter.format
nb::object format(nb::handle self, nb::handle record) { return format_text(self, record, nb::handle()); }

// MorlanLogFormatter.converter: broken-down time of get_time(seconds)
nb::object converter(nb::handle self, nb::handle seconds) {
    PyObject *get_time = fast::dict_get(st->module_dict, st->s_get_time);
    if (!get_time) {
        PyErr_SetObject(PyExc_NameError, st->s_get_time);
        throw nb::python_error();
    }
    nb::object moment = nb::borrow(get_time)(seconds);
    PyObject *broken_down = PyObject_CallMethodNoArgs(moment.ptr(), st->s_timetuple);
    if (!broken_down)
        throw nb::python_error();
    return nb::steal(broken_down);
}

// MorlanLogFormatter.__init__(*args, **kwargs)
void formatter_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    nb::object all = nb::steal(PySequence_Concat(nb::make_tuple(self).ptr(), args.ptr()));
    if (!all.is_valid())
        throw nb::python_error();
    nb::object done = nb::steal(PyObject_Call(st->formatter_init, all.ptr(), kwargs.ptr()));
    if (!done.is_valid())
        throw nb::python_error();
    PyObject *set_factory = fast::dict_get(st->logging_dict, st->s_setLogRecordFactory);
    if (!set_factory) {
        PyErr_SetString(PyExc_AttributeError, "module 'logging' has no attribute 'setLogRecordFactory'");
        throw nb::python_error();
    }
    nb::borrow(set_factory)(nb::handle(st->record_cls));
}

// ScreenFormatter.__init__(): the class's own template and timestamp pattern
void screen_init(nb::handle self) {
    nb::object parent_init = super_of(st->screen_cls, self).attr(st->s___init__);
    nb::dict kwargs;
    kwargs["fmt"] = self.attr(st->s_MESSAGE_FORMAT);
    kwargs["datefmt"] = self.attr(st->s_TIMESTAMP_FORMAT);
    nb::object done = nb::steal(PyObject_Call(parent_init.ptr(), nb::tuple().ptr(), kwargs.ptr()));
    if (!done.is_valid())
        throw nb::python_error();
}

}  // namespace

nb::object format_with_terminator(nb::handle formatter, nb::handle record, nb::handle terminator) {
    return format_text(formatter, record, terminator);
}

PyObject *stock_morlan_format() { return st->format_attr; }

nb::object full_message(nb::handle formatter, nb::handle record) {
    nb::object record_dict = fast::instance_dict(record);
    return fold_exception_and_stack(formatter, record, record_dict.ptr(), message_of(record, record_dict.ptr()));
}

void define_formatters(nb::module_ &m) {
    st = new FormatterState{};
    st->module_dict = PyModule_GetDict(m.ptr());
    const char *texts[] = {"msg", "args", "getMessage", "usesTime", "formatTime", "converter", "datefmt",
                           "created", "asctime", "exc_info", "exc_text", "stack_info", "message",
                           "formatException", "formatStack", "get_time", "timetuple", "MESSAGE_FORMAT",
                           "TIMESTAMP_FORMAT", "__init__", "setLogRecordFactory"};
    PyObject **slots[] = {&st->s_msg, &st->s_args, &st->s_getMessage, &st->s_usesTime, &st->s_formatTime,
                          &st->s_converter, &st->s_datefmt, &st->s_created, &st->s_asctime, &st->s_exc_info,
                          &st->s_exc_text, &st->s_stack_info, &st->s_message, &st->s_formatException,
                          &st->s_formatStack, &st->s_get_time, &st->s_timetuple, &st->s_MESSAGE_FORMAT,
                          &st->s_TIMESTAMP_FORMAT, &st->s___init__, &st->s_setLogRecordFactory};
    static_assert(sizeof texts / sizeof *texts == sizeof slots / sizeof *slots);
    for (size_t i = 0; i < sizeof slots / sizeof *slots; ++i)
        *slots[i] = fast::intern(texts[i]);
    st->newline = fast::intern("\n");
    st->asctime_search = fast::intern("%(asctime)");

    nb::module_ logging = nb::module_::import_("logging");
    st->logging_dict = nb::borrow(PyModule_GetDict(logging.ptr())).release().ptr();
    nb::object formatter = logging.attr("Formatter");
    auto own = [](nb::handle cls, const char *name) {
        return nb::object(cls.attr("__dict__")[name]).release().ptr();
    };
    st->formatter_init = own(formatter, "__init__");
    st->stock_uses_time = own(formatter, "usesTime");
    st->stock_format_time = own(formatter, "formatTime");
    st->stock_get_message = own(logging.attr("LogRecord"), "getMessage");
    st->stock_style_uses_time = own(logging.attr("PercentStyle"), "usesTime");
    st->stock_get_time = nb::handle(fast::dict_get(st->module_dict, st->s_get_time)).inc_ref().ptr();
    st->record_cls = m.attr("MorlanLogRecord").inc_ref().ptr();
    nb::object coloured_base = m.attr("ColouredLogLevelFormatter");

    nb::object morlan =
        ClassBuilder(m, "MorlanLogFormatter", {formatter})
            .doc("Formatter that gives every line of a message, traceback and stack its own full header.")
            .method("__init__", &formatter_init)
            .method("converter", &converter, nb::arg("seconds"))
            .method("format", &format, nb::arg("record"))
            .build();
    st->converter_attr = own(morlan, "converter");
    st->format_attr = own(morlan, "format");

    nb::object screen =
        ClassBuilder(m, "ScreenFormatter", {morlan})
            .doc("Short console lines: time, application and message name, message.")
            .attr("TIMESTAMP_FORMAT", nb::str("%Y-%m-%dT%H:%M:%S"))
            .attr("MESSAGE_FORMAT", nb::str("%(asctime)s: %%%(morlan_appname)s-%(morlan_msgname)s: %(message)s"))
            .method("__init__", &screen_init)
            .build();
    st->screen_cls = screen.inc_ref().ptr();
    ClassBuilder(m, "ColouredScreenFormatter", {coloured_base, screen})
        .doc("Console lines with the message coloured by level or by request.")
        .attr("MESSAGE_FORMAT",
              nb::str("%(asctime)s: %%%(morlan_appname)s-%(morlan_msgname)s: %(coloured_message)s"))
        .build();
    nb::object task =
        ClassBuilder(m, "TaskLogFormatter", {screen})
            .doc("Task log lines in the MorlanLog format.")
            .attr("MESSAGE_FORMAT",
                  nb::str("%(seqnum)s: %(hostname)s: %(asctime)s: "
                          "%%%(morlan_appname)s-%(morlan_sev)s-%(morlan_msgname)s: %(tags)s%(message)s"))
            .build();
    ClassBuilder(m, "ColouredTaskLogFormatter", {coloured_base, task})
        .doc("Task log lines with the message coloured by level or by request.")
        .attr("MESSAGE_FORMAT",
              nb::str("%(seqnum)s: %(hostname)s: %(asctime)s: "
                      "%%%(morlan_appname)s-%(morlan_sev)s-%(morlan_msgname)s: %(tags)s%(coloured_message)s"))
        .build();
}

}  // namespace tavix::morlan
