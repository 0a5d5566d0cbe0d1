// Declarations shared by the files of tavix.log.colour.
#pragma once

#include <nanobind/nanobind.h>

namespace tavix::colour {

namespace nb = nanobind;

// Defines Palette, Style, FgColour and BgColour on the module, in that order.
void define_palette(nb::module_ &module);

// Defines ColourizingFormatter and ColouredLogLevelFormatter; needs the palette.
void define_formatters(nb::module_ &module);

// Palette.paint(msg, *colours) on Palette itself: the colours' sequences, the
// message and the reset sequence, or `msg` unchanged when no colour is true.
nb::object paint(nb::handle msg, PyObject *const *colours, Py_ssize_t count);

// The enumeration classes, kept for the process lifetime.
struct PaletteClasses {
    PyObject *palette, *style, *fg, *bg;
};
const PaletteClasses &palette_classes();

}  // namespace tavix::colour
