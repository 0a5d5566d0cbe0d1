// The record half of tavix.log.morlan: MorlanLog records, their tags and
// parts, and the line formatters.
//
// The handler half (handlers.hpp) finds these classes on the module by name,
// e.g. module.attr("TaskLogFormatter").
#pragma once

#include <nanobind/nanobind.h>

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

// Used by the formatters: the objects a record yields to be formatted as one
// line each (the record itself, or its cached parts). Null when the record's
// class has replaced __iter__; the caller then iterates it the ordinary way.
nb::object record_lines(nb::handle record);

// Appends str() of a MorlanLogTags to `out` while its __str__ is the stock
// one and its text is ASCII, else returns false: a hook for the template
// filler.
bool tags_text(PyObject *value, fast::TextBuffer &out);

}  // namespace tavix::morlan
