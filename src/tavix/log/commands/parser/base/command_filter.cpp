#include "command_filter.hpp"

#include "base.hpp"
#include "py_helpers.hpp"
#include "stock_check.hpp"

namespace tavix::parser_base {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// Whether the folded ASCII `needle` occurs in ASCII `text`, ignoring case.
bool contains_folded(std::string_view text, std::string_view needle) {
    if (needle.size() > text.size())
        return false;
    for (size_t i = 0; i + needle.size() <= text.size(); ++i) {
        if (lower(text[i]) != needle[0])
            continue;
        size_t j = 1;
        while (j < needle.size() && lower(text[i + j]) == needle[j])
            ++j;
        if (j == needle.size())
            return true;
    }
    return false;
}

bool ascii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

// A field of a JSON form (a dictionary) or, of anything else, its attribute;
// invalid when absent.
nb::object field(nb::handle source, const char *name) {
    if (PyDict_Check(source.ptr())) {
        PyObject *value = PyDict_GetItemString(source.ptr(), name);
        return value ? nb::borrow(value) : nb::object();
    }
    nb::object value;
    return find_attr(source, name, value) ? value : nb::object();
}

}  // namespace

CommandFilter::CommandFilter(nb::handle device, nb::handle text)
    : device_(nb::borrow(device)), folded_(text.attr("casefold")()) {
    by_device_ = PyObject_Length(device.ptr()) > 0;
    by_text_ = PyObject_Length(folded_.ptr()) > 0;
    if (PyErr_Occurred())
        throw nb::python_error();
    ascii_needle_ = PyUnicode_Check(folded_.ptr()) && PyUnicode_IS_ASCII(folded_.ptr());
    if (ascii_needle_)
        needle_.assign(static_cast<const char *>(PyUnicode_DATA(folded_.ptr())),
                       size_t(PyUnicode_GET_LENGTH(folded_.ptr())));
}

int CommandFilter::holds_bytes(std::string_view text) const {
    if (ascii_needle_ && ascii(text))
        return contains_folded(text, needle_);
    return -1;
}

bool CommandFilter::holds_decoded(std::string_view text) const {
    nb::object folded = decode_text(text.data(), text.size()).attr("casefold")();
    int found = PySequence_Contains(folded.ptr(), folded_.ptr());
    if (found < 0)
        throw nb::python_error();
    return found;
}

bool CommandFilter::holds(nb::handle text) const {
    if (!text.is_valid() || !PyUnicode_Check(text.ptr()))
        return false;
    if (ascii_needle_ && PyUnicode_IS_ASCII(text.ptr()))
        return contains_folded(std::string_view(static_cast<const char *>(PyUnicode_DATA(text.ptr())),
                                                size_t(PyUnicode_GET_LENGTH(text.ptr()))),
                               needle_);
    nb::object folded = text.attr("casefold")();
    int found = PySequence_Contains(folded.ptr(), folded_.ptr());
    if (found < 0)
        throw nb::python_error();
    return found;
}

bool CommandFilter::matches(nb::handle item) const {
    if (empty())
        return true;
    nb::object source = nb::borrow(item);
    if (!PyDict_Check(item.ptr()) &&
        !stock::uses_stock(item.ptr(), names().to_json, shared().execute_to_json.ptr()))
        source = item.attr("to_json")();
    if (by_device_) {
        nb::object device = field(source, "device");
        if (!device.is_valid() || !device.equal(device_))
            return false;
    }
    return !by_text_ || holds(field(source, "title")) || holds(field(source, "logs"));
}

}  // namespace tavix::parser_base
