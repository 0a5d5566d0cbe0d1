// The one filter of device commands: a device compared exactly, a text found
// in the title or the block text ignoring case (as str.casefold compares).
// The table judges its untouched rows by their bytes in the log; an object
// handed out, or any execution while to_json is not the stock one, is judged
// by its JSON form.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace tavix::parser_base {

namespace nb = nanobind;

class CommandFilter {
public:
    CommandFilter(nb::handle device, nb::handle text);

    bool by_device() const { return by_device_; }
    bool by_text() const { return by_text_; }
    bool empty() const { return !by_device_ && !by_text_; }
    const nb::object &device() const { return device_; }

    // Whether UTF-8 `text` holds the needle: 1 or 0 without the interpreter
    // (ASCII on both sides), -1 when holds_decoded must tell.
    int holds_bytes(std::string_view text) const;
    // The same with the interpreter's casefold(), the lock held.
    bool holds_decoded(std::string_view text) const;
    // Whether the interpreter text `text` holds the needle (nothing else does).
    bool holds(nb::handle text) const;

    // Whether an execution object (judged by its JSON form: its attributes
    // while its to_json is the stock one) or a JSON form matches.
    bool matches(nb::handle item) const;

private:
    nb::object device_, folded_;
    std::string needle_;  // the folded needle, when ASCII
    bool by_device_, by_text_, ascii_needle_;
};

}  // namespace tavix::parser_base
