#include "terminal_output.hpp"

namespace tavix::logs {

namespace {

// Pieces gathered before one write: few calls into the stream, bounded memory.
constexpr size_t kPiecesPerWrite = 4096;

// NO_COLOR set to anything non-empty turns colours off (no-color.org).
bool wants_colour(nb::handle stream) {
    nb::object environ = state().os.attr("environ");
    if (truthy(environ.attr("get")("NO_COLOR", "")))
        return false;
    nb::object isatty = nb::getattr(stream, "isatty", nb::none());
    return !isatty.is_none() && truthy(isatty());
}

}  // namespace

nb::object Paint::operator()(nb::handle text) const {
    if (!before.is_valid())
        return nb::borrow(text);
    return before + nb::borrow(text) + after;
}

Output::Output() : stream_(state().sys.attr("stdout")) { coloured_ = wants_colour(stream_); }

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
    paint.before = halves[0];
    paint.after = halves[1];
    return paint;
}

void Output::add(nb::handle text) {
    pending_.append(text);
    if (++pending_count_ >= kPiecesPerWrite)
        flush();
}

void Output::flush() {
    if (pending_count_) {
        stream_.attr("write")(nb::str("").attr("join")(pending_));
        pending_ = nb::list();
        pending_count_ = 0;
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
