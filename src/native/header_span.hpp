// Where the parts of a record line's header lie, for the viewer, which dims
// the header and shortens it to the time and severity without parsing lines.
// Positions are counted in UTF-16 code units of the line's text as the
// browser holds it (decoded as decode_text decodes log text), from the line's
// first character.
#pragma once

#include <string>
#include <string_view>

#include "py_helpers.hpp"
#include "record_line.hpp"

namespace tavix::record_line {

// Byte offsets from the line's start of a record line's header parts.
struct HeaderSpan {
    int severity = NO_SEVERITY;
    size_t stamp_from = 0, stamp_to = 0;  // the time stamp field
    size_t message_from = 0;              // where the header ends
};

// The span of `line` (has_fields() only), when its header lies within the
// first `available` bytes of the line.
inline bool header_span(const RecordLine &line, size_t available, HeaderSpan &span) {
    if (!line.has_fields())
        return false;
    span.severity = line.severity;
    span.stamp_from = size_t(line.separator[1] + 2 - line.start);
    span.stamp_to = size_t(line.separator[2] - line.start);
    span.message_from = size_t(line.message_start() - line.start);
    return span.message_from <= available;
}

// [severity, stamp start, stamp end, message start] of a span, in UTF-16
// code units of `head` (the line's first bytes, the header at least).
inline nb::list header_span_units(std::string_view head, const HeaderSpan &span) {
    auto units = [&](size_t bytes) {
        nb::str text = decode_text(head.data(), bytes);
        Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr()), total = length;
        if (PyUnicode_KIND(text.ptr()) == PyUnicode_4BYTE_KIND) {
            const Py_UCS4 *chars = PyUnicode_4BYTE_DATA(text.ptr());
            for (Py_ssize_t i = 0; i < length; ++i)
                total += chars[i] > 0xFFFF;  // a surrogate pair in the browser
        }
        return total;
    };
    nb::list answer;
    answer.append(span.severity);
    answer.append(units(span.stamp_from));
    answer.append(units(span.stamp_to));
    answer.append(units(span.message_from));
    return answer;
}

}  // namespace tavix::record_line
