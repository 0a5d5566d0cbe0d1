// How a section or step went, as its record's "result" and "run_time" tell,
// for the native readers and for Python (the run index).
#include <nanobind/nanobind.h>

#include "base.hpp"
#include "py_helpers.hpp"
#include "section_results.hpp"

namespace tavix::parser_base {

bool is_failure(nb::handle result) {
    if (!PyUnicode_Check(result.ptr()))
        return false;
    std::optional<std::string_view> text = utf8_view(result);
    return text && section_results::is_failing(*text);
}

nb::object run_time_seconds(nb::handle run_time) {
    nb::object text = PyUnicode_Check(run_time.ptr()) ? nb::borrow(run_time) : nb::object(as_text(run_time));
    std::optional<std::string_view> utf8 = utf8_view(text);
    std::optional<double> seconds = utf8 ? section_results::run_time_seconds(*utf8) : std::nullopt;
    return seconds ? nb::object(nb::float_(*seconds)) : nb::none();
}

void define_section_results(nb::module_ &module) {
    module.def("is_failing_result", &is_failure, nb::arg("result").none(),
               "Whether a section's or step's result is a failing one: \"failed\", \"errored\",\n"
               "\"aborted\" or \"blocked\", in any ASCII case, with white space around it (as\n"
               "str.strip removes it). Anything but text is not.");
    module.def("run_time_seconds", &run_time_seconds, nb::arg("run_time").none(),
               "A section's run time in seconds: \"S\", \"M:S\" or \"H:M:S\" (\"7.00\", \"0:03:07.2\"),\n"
               "each part digits with an optional fraction, white space around the whole; None for\n"
               "any other text. A value that is not text is read as its str().");
}

}  // namespace tavix::parser_base
