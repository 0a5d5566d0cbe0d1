#include "terminal_output.hpp"

#include "terminal_text.hpp"
#include "xml_text.hpp"

namespace tavix::logs {

namespace {

// Bytes gathered before one write: few calls into the stream, bounded memory.
constexpr size_t kBytesPerWrite = size_t(1) << 20;

// NO_COLOR set to anything non-empty turns colours off (no-color.org).
bool no_colour() { return truthy(state().os.attr("environ").attr("get")("NO_COLOR", "")); }

}  // namespace

nb::object Paint::operator()(nb::handle text) const {
    if (before.empty())
        return nb::borrow(text);
    return nb::str(before.c_str()) + nb::borrow(text) + nb::str(after.c_str());
}

Output::Output() : stream_(state().sys.attr("stdout")) {
    terminal_ = is_terminal(stream_);
    coloured_ = terminal_ && !no_colour();
}

void Output::append_shown(std::string &out, std::string_view utf8) const {
    if (terminal_)
        append_terminal_text(out, utf8);
    else
        out += utf8;
}

bool is_terminal(nb::handle stream) {
    nb::object isatty = nb::getattr(stream, "isatty", nb::none());
    return !isatty.is_none() && truthy(isatty());
}

namespace {

nb::object decoded(const std::string &utf8) {
    PyObject *value = PyUnicode_DecodeUTF8(utf8.data(), Py_ssize_t(utf8.size()), "replace");
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

// `text` as a terminal may be given it.
nb::object escaped(nb::handle text) {
    std::string utf8 = utf8_of(text), out;
    append_terminal_text(out, utf8);
    return out.size() == utf8.size() ? nb::borrow(text) : decoded(out);  // an escape is longer than its character
}

}  // namespace

nb::object Output::shown(nb::handle text) const { return terminal_ ? escaped(text) : nb::borrow(text); }

nb::object terminal_text(nb::handle text, nb::handle stream) {
    return is_terminal(stream.is_none() ? state().sys.attr("stdout") : nb::borrow(stream)) ? escaped(text)
                                                                                          : nb::borrow(text);
}

nb::object json_text(nb::handle value, nb::handle indent) {
    nb::object dumped = nb::module_::import_("json").attr("dumps")(value, nb::arg("ensure_ascii") = false,
                                                                   nb::arg("indent") = indent);
    std::string utf8 = utf8_of(dumped), out;
    append_json_text(out, utf8);
    return out.size() == utf8.size() ? dumped : decoded(out);  // an escape is longer than its character
}

Paint Output::paint(std::initializer_list<const char *> colours) const {
    Paint paint;
    if (!coloured_)
        return paint;
    nb::module_ colour = nb::module_::import_("tavix.log.colour");
    nb::list codes;
    for (const char *name : colours) {
        nb::str dotted(name);
        nb::object parts = dotted.attr("split")(".");
        codes.append(colour.attr(parts[0]).attr(parts[1]));
    }
    // The palette wraps a marker; what stands before and after it is the paint.
    nb::str marker("\x01");
    nb::object painted = colour.attr("Palette").attr("paint")(marker, *codes);
    nb::object halves = painted.attr("split")(marker);
    paint.before = utf8_of(halves[0]);
    paint.after = utf8_of(halves[1]);
    return paint;
}

void Output::add(nb::handle text) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8) {
        pending_.append(utf8, size_t(size));
    } else {
        PyErr_Clear();  // a lone surrogate: written replaced
        pending_ += utf8_of(text);
    }
    added();
}

void Output::add(std::string_view utf8) {
    pending_ += utf8;
    added();
}

void Output::added() {
    if (pending_.size() >= kBytesPerWrite)
        flush();
}

void Output::flush() {
    if (!pending_.empty()) {
        nb::object text = decoded(pending_);
        pending_.clear();
        stream_.attr("write")(text);
    }
    stream_.attr("flush")();
}

void define_terminal_functions(nb::module_ &m) {
    m.def("terminal_text", &terminal_text, nb::arg("text"), nb::arg("stream").none() = nb::none(),
          "Text of an archive as it may be written on stream (default sys.stdout): on a terminal,\n"
          "C0 controls and DEL in caret notation (ESC as ^[), C1 controls and bidirectional\n"
          "formatting characters as <U+XXXX>; elsewhere as it is.");
    m.def("json_text", &json_text, nb::arg("value"), nb::arg("indent").none() = nb::none(),
          "json.dumps(value, ensure_ascii=False, indent=indent) with C1 controls, DEL and\n"
          "bidirectional formatting characters written \\uXXXX: the same JSON, safe to show.");
}

void quiet_on_closed_pipe(const std::function<void()> &body) {
    try {
        body();
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_BrokenPipeError))
            throw;
        State &s = state();
        nb::object stdout_ = s.sys.attr("stdout");
        nb::object fileno = nb::getattr(stdout_, "fileno", nb::none());
        try {
            if (!fileno.is_none()) {
                nb::object null = s.os.attr("open")(s.os.attr("devnull"), s.os.attr("O_WRONLY"));
                s.os.attr("dup2")(null, fileno());
                s.os.attr("close")(null);
            }
        } catch (nb::python_error &error) {
            // A stream without a descriptor (a test's capture) has nothing to redirect.
            if (!error.matches(PyExc_Exception))
                throw;
        }
    }
}

}  // namespace tavix::logs
