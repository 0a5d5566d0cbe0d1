#include "terminal_output.hpp"

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
    terminal_ = colour_output();  // standard output is a terminal
    coloured_ = terminal_ && !no_colour();
}

void Output::append_shown(std::string &out, std::string_view utf8) const {
    if (!terminal_) {
        out += utf8;
        return;
    }
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            out += '^';
            out += char(c ^ 0x40);
        } else if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0) {
            out += "\xEF\xBF\xBD";  // a C1 control (U+0080 to U+009F)
            ++i;
        } else {
            out += char(c);
        }
    }
}

nb::object Output::shown(nb::handle text) const {
    if (!terminal_)
        return nb::borrow(text);
    std::string out;
    append_shown(out, utf8_of(text));
    PyObject *value = PyUnicode_DecodeUTF8(out.data(), Py_ssize_t(out.size()), "replace");
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
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
        PyObject *text = PyUnicode_DecodeUTF8(pending_.data(), Py_ssize_t(pending_.size()), "replace");
        if (!text)
            throw nb::python_error();
        pending_.clear();
        stream_.attr("write")(nb::steal(text));
    }
    stream_.attr("flush")();
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
