// Palette and the three enumerations of ANSI escape sequences built on it.
#include "class_builder.hpp"
#include "colour.hpp"
#include "logging_fastpath.hpp"

namespace tavix::colour {

namespace {

using fast::add;

struct PaletteState {
    PaletteClasses classes;
    PyObject *reset_value;    // Style.RESET.value
    PyObject *mix_attr;       // Palette.__dict__["mix"]
    PyObject *enum_value;     // enum.Enum.__dict__["value"]
    PyObject *s_value, *s__value_, *s_mix, *empty;
};

PaletteState *state = nullptr;

// member.value; read straight from the member while `value` is Enum's own.
nb::object value_of(PyObject *member) {
    if (fast::class_lookup(Py_TYPE(member), state->s_value) == state->enum_value) {
        if (PyObject **dict = _PyObject_GetDictPtr(member); dict && *dict)
            if (PyObject *value = fast::dict_get(*dict, state->s__value_))
                return nb::borrow(value);
    }
    PyObject *value = PyObject_GetAttr(member, state->s_value);
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

nb::object mix_values(PyObject *const *colours, Py_ssize_t count) {
    nb::list values;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (truthy(colours[i]))
            values.append(value_of(colours[i]));
    PyObject *joined = PyUnicode_Join(state->empty, values.ptr());
    if (!joined)
        throw nb::python_error();
    return nb::steal(joined);
}

nb::object paint_on(nb::handle cls, nb::handle msg, PyObject *const *colours, Py_ssize_t count) {
    bool any = false;
    for (Py_ssize_t i = 0; i < count && !any; ++i)
        any = truthy(colours[i]);
    if (!any)
        return nb::borrow(msg);
    nb::object codes;
    if (PyType_Check(cls.ptr()) &&
        fast::class_lookup((PyTypeObject *)cls.ptr(), state->s_mix) == state->mix_attr) {
        codes = mix_values(colours, count);
    } else {
        nb::object mix = cls.attr(state->s_mix);
        PyObject *result = PyObject_Vectorcall(mix.ptr(), colours, (size_t)count, nullptr);
        if (!result)
            throw nb::python_error();
        codes = nb::steal(result);
    }
    return add(add(codes, msg), state->reset_value);
}

// mix is a plain builtin (not a nanobind function) so that its __doc__ is
// exactly its documentation text.
PyObject *mix_impl(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "mix() missing required argument 'cls'");
        return nullptr;
    }
    try {
        return mix_values(args + 1, nargs - 1).release().ptr();
    } catch (nb::python_error &error) {
        error.restore();
        return nullptr;
    }
}

PyMethodDef mix_def = {"mix", (PyCFunction)(void (*)(void))mix_impl, METH_FASTCALL,
                       "mixes multiple colors together and return one color code"};

nb::object build_enum(nb::module_ &module, const char *name, nb::handle palette, nb::handle enum_cls,
                      std::initializer_list<std::pair<const char *, const char *>> members) {
    ClassBuilder builder(module, name, {palette, enum_cls});
    for (auto &[member, code] : members)
        builder.attr(member, nb::str(code));
    return builder.build();
}

}  // namespace

const PaletteClasses &palette_classes() { return state->classes; }

nb::object paint(nb::handle msg, PyObject *const *colours, Py_ssize_t count) {
    return paint_on(state->classes.palette, msg, colours, count);
}

void define_palette(nb::module_ &m) {
    state = new PaletteState{};
    state->s_value = fast::intern("value");
    state->s__value_ = fast::intern("_value_");
    state->s_mix = fast::intern("mix");
    state->empty = fast::intern("");
    nb::object enum_cls = nb::module_::import_("enum").attr("Enum");
    state->enum_value = nb::object(enum_cls.attr("__dict__")["value"]).release().ptr();

    nb::object mix_function = nb::steal(PyCFunction_NewEx(&mix_def, nullptr, m.attr("__name__").ptr()));
    if (!mix_function.is_valid())
        throw nb::python_error();
    nb::object classmethod = nb::module_::import_("builtins").attr("classmethod");

    nb::object palette =
        ClassBuilder(m, "Palette", {nb::handle((PyObject *)&PyBaseObject_Type)})
            .doc("Mixin of the colour enumerations: wraps text in their escape sequences.")
            .method("apply",
                    [](nb::handle self, nb::handle msg) {
                        return add(add(value_of(self.ptr()), msg), state->reset_value);
                    },
                    nb::arg("msg"))
            .attr("mix", classmethod(mix_function))
            .class_method("paint",
                          [](nb::handle cls, nb::handle msg, nb::args colours) {
                              return paint_on(cls, msg, ((PyTupleObject *)colours.ptr())->ob_item,
                                              PyTuple_GET_SIZE(colours.ptr()));
                          },
                          nb::arg("cls"), nb::arg("msg"), nb::arg("colours"))
            .build();
    state->mix_attr = nb::object(palette.attr("__dict__")["mix"]).release().ptr();

    nb::object style = build_enum(m, "Style", palette, enum_cls,
                                  {{"BOLD", "\x1b[1m"}, {"LIGHT", "\x1b[2m"}, {"RESET", "\x1b[0m\x1b[39m"}});
    nb::object fg = build_enum(m, "FgColour", palette, enum_cls,
                               {{"BLACK", "\x1b[30m"},         {"RED", "\x1b[31m"},
                                {"GREEN", "\x1b[32m"},         {"YELLOW", "\x1b[33m"},
                                {"BLUE", "\x1b[34m"},          {"MAGENTA", "\x1b[35m"},
                                {"CYAN", "\x1b[36m"},          {"WHITE", "\x1b[37m"},
                                {"BRIGHT_BLACK", "\x1b[90m"},  {"BRIGHT_RED", "\x1b[91m"},
                                {"BRIGHT_GREEN", "\x1b[92m"},  {"BRIGHT_YELLOW", "\x1b[93m"},
                                {"BRIGHT_BLUE", "\x1b[94m"},   {"BRIGHT_MAGENTA", "\x1b[95m"},
                                {"BRIGHT_CYAN", "\x1b[96m"},   {"BRIGHT_WHITE", "\x1b[97m"}});
    nb::object bg = build_enum(m, "BgColour", palette, enum_cls,
                               {{"BLACK", "\x1b[40m"},          {"RED", "\x1b[41m"},
                                {"GREEN", "\x1b[42m"},          {"YELLOW", "\x1b[43m"},
                                {"BLUE", "\x1b[44m"},           {"MAGENTA", "\x1b[45m"},
                                {"CYAN", "\x1b[46m"},           {"WHITE", "\x1b[47m"},
                                {"BRIGHT_BLACK", "\x1b[100m"},  {"BRIGHT_RED", "\x1b[101m"},
                                {"BRIGHT_GREEN", "\x1b[102m"},  {"BRIGHT_YELLOW", "\x1b[103m"},
                                {"BRIGHT_BLUE", "\x1b[104m"},   {"BRIGHT_MAGENTA", "\x1b[105m"},
                                {"BRIGHT_CYAN", "\x1b[106m"},   {"BRIGHT_WHITE", "\x1b[107m"}});
    state->reset_value = nb::object(style.attr("RESET").attr("value")).release().ptr();
    state->classes = {palette.release().ptr(), style.release().ptr(), fg.release().ptr(),
                      bg.release().ptr()};
}

}  // namespace tavix::colour
