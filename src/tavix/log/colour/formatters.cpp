// ColourizingFormatter and ColouredLogLevelFormatter: put a coloured copy of
// the message on the record as `coloured_message` before its line is rendered.
#include "class_builder.hpp"
#include "colour.hpp"
#include "logging_fastpath.hpp"

namespace tavix::colour {

namespace {


struct FormatterState {
    PyObject *colourizing, *level;           // the two classes
    PyObject *base_apply, *level_apply;      // their _apply_colour functions
    PyObject *s_colour, *s_bg_colour, *s_style, *s_message, *s_coloured_message, *s_levelno,
        *s_LEVEL_MAP, *s__apply_colour, *s_formatMessage, *s_upper, *s_get, *null_text;
};

FormatterState *state = nullptr;

// The member of `palette_enum` that the record's attribute `name` names in any
// letter case, or None (also when the record has no such attribute).
nb::object requested_member(nb::handle record, PyObject *dict, PyObject *name, PyObject *palette_enum) {
    nb::object requested = fast::field_or(record, dict, name, state->null_text);
    if (requested.ptr() == state->null_text)
        return nb::none();  // "NULL" names no member
    PyObject *upper = PyObject_CallMethodNoArgs(requested.ptr(), state->s_upper);
    if (!upper)
        throw nb::python_error();
    nb::object upper_name = nb::steal(upper);
    PyObject *member = PyObject_GetAttr(palette_enum, upper_name.ptr());
    if (member)
        return nb::steal(member);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return nb::none();
}

void set_coloured_message(nb::handle record, nb::handle text) {
    if (PyObject_SetAttr(record.ptr(), state->s_coloured_message, text.ptr()) < 0)
        throw nb::python_error();
}

// ColourizingFormatter._apply_colour: explicit colours of the record.
bool apply_requested_colour(nb::handle self, nb::handle record) {
    const PaletteClasses &classes = palette_classes();
    nb::object dict = fast::instance_dict(record);
    nb::object fg = requested_member(record, dict.ptr(), state->s_colour, classes.fg);
    nb::object bg = requested_member(record, dict.ptr(), state->s_bg_colour, classes.bg);
    nb::object style = requested_member(record, dict.ptr(), state->s_style, classes.style);
    nb::object message = fast::field(record, dict.ptr(), state->s_message);
    PyObject *colours[3] = {fg.ptr(), bg.ptr(), style.ptr()};
    set_coloured_message(record, paint(message, colours, 3));
    return truthy(fg) || truthy(bg) || truthy(style);
}

// super(ColouredLogLevelFormatter, self)._apply_colour(record)
bool apply_colour_after_level(nb::handle self, nb::handle record) {
    PyObject *next = fast::super_lookup(Py_TYPE(self.ptr()), state->level, state->s__apply_colour);
    if (next == state->base_apply)
        return apply_requested_colour(self, record);
    return truthy(super_of(state->level, self).attr(state->s__apply_colour)(record));
}

// ColouredLogLevelFormatter._apply_colour: explicit colours, else the level's.
bool apply_level_colour(nb::handle self, nb::handle record) {
    if (apply_colour_after_level(self, record))
        return false;
    nb::object level_map = self.attr(state->s_LEVEL_MAP);
    nb::object levelno = record.attr(state->s_levelno);
    nb::object paint_level;
    if (PyDict_CheckExact(level_map.ptr())) {
        PyObject *found = fast::dict_get(level_map.ptr(), levelno.ptr());
        paint_level = found ? nb::borrow(found) : nb::none();
    } else {
        paint_level = level_map.attr(state->s_get)(levelno, nb::none());
    }
    if (!truthy(paint_level))
        return false;
    set_coloured_message(record, paint_level(record.attr(state->s_message)));
    return true;
}

// self._apply_colour(record), run natively for the two stock versions.
void apply_colour(nb::handle self, nb::handle record) {
    PyObject *self_ptr = self.ptr();
    if (fast::uses_stock(self_ptr, state->s__apply_colour, state->level_apply))
        apply_level_colour(self, record);
    else if (fast::uses_stock(self_ptr, state->s__apply_colour, state->base_apply))
        apply_requested_colour(self, record);
    else
        self.attr(state->s__apply_colour)(record);
}

nb::object format_message(nb::handle self, nb::handle record) {
    apply_colour(self, record);
    // super(ColourizingFormatter, self).formatMessage(record)
    PyObject *next = fast::super_lookup(Py_TYPE(self.ptr()), state->colourizing, state->s_formatMessage);
    if (next == fast::logging_stock().formatter_format_message)
        return fast::stock_format_message(self, record);
    return super_of(state->colourizing, self).attr(state->s_formatMessage)(record);
}

}  // namespace

void define_formatters(nb::module_ &m) {
    state = new FormatterState{};
    state->s_colour = fast::intern("colour");
    state->s_bg_colour = fast::intern("bg_colour");
    state->s_style = fast::intern("style");
    state->s_message = fast::intern("message");
    state->s_coloured_message = fast::intern("coloured_message");
    state->s_levelno = fast::intern("levelno");
    state->s_LEVEL_MAP = fast::intern("LEVEL_MAP");
    state->s__apply_colour = fast::intern("_apply_colour");
    state->s_formatMessage = fast::intern("formatMessage");
    state->s_upper = fast::intern("upper");
    state->s_get = fast::intern("get");
    state->null_text = fast::intern("null");

    nb::module_ logging = nb::module_::import_("logging");
    nb::object colourizing =
        ClassBuilder(m, "ColourizingFormatter", {logging.attr("Formatter")})
            .doc("Formatter that colours each message as the record asks (colour, bg_colour, style).")
            .method("formatMessage", &format_message, nb::arg("record"))
            .method("_apply_colour", &apply_requested_colour, nb::arg("record"))
            .build();

    const PaletteClasses &classes = palette_classes();
    nb::handle fg(classes.fg);
    nb::dict level_map;
    level_map[logging.attr("DEBUG")] = fg.attr("CYAN").attr("apply");
    level_map[logging.attr("WARNING")] = fg.attr("YELLOW").attr("apply");
    level_map[logging.attr("ERROR")] = fg.attr("RED").attr("apply");
    level_map[logging.attr("CRITICAL")] = nb::cpp_function(
        [](nb::handle msg) {
            const PaletteClasses &classes = palette_classes();
            nb::object bold = nb::handle(classes.style).attr("BOLD");
            nb::object red = nb::handle(classes.fg).attr("RED");
            PyObject *colours[2] = {bold.ptr(), red.ptr()};
            return paint(msg, colours, 2);
        },
        nb::name("paint_bold_red"), nb::arg("msg"));

    nb::object level = ClassBuilder(m, "ColouredLogLevelFormatter", {colourizing})
                           .doc("Formatter that colours messages by level unless the record asks for colours.")
                           .attr("LEVEL_MAP", level_map)
                           .method("_apply_colour", &apply_level_colour, nb::arg("record"))
                           .build();

    state->base_apply = nb::object(colourizing.attr("__dict__")["_apply_colour"]).release().ptr();
    state->level_apply = nb::object(level.attr("__dict__")["_apply_colour"]).release().ptr();
    state->colourizing = colourizing.release().ptr();
    state->level = level.release().ptr();
}

}  // namespace tavix::colour
