// What the terminal subcommands print on standard output: written through
// sys.stdout in large pieces, coloured only on a terminal, and ended
// quietly when the reader goes away (`| head`).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "common.hpp"

namespace tavix::logs {

// The escape sequences around a painted text, from the colour palette;
// empty when standard output is not coloured.
struct Paint {
    std::string before, after;  // UTF-8
    nb::object operator()(nb::handle text) const;
    void append(std::string &out, std::string_view utf8) const {
        out += before;
        out += utf8;
        out += after;
    }
};

class Output {
public:
    Output();  // sys.stdout as it is now
    bool coloured() const { return coloured_; }
    // Text of the archive as it may be shown (see terminal_text).
    void append_shown(std::string &out, std::string_view utf8) const;
    nb::object shown(nb::handle text) const;
    // A paint of Palette.paint's colours, e.g. paint({"FgColour.RED", "Style.BOLD"}).
    Paint paint(std::initializer_list<const char *> colours) const;
    void add(nb::handle text);         // a str, written with the next flush
    void add(std::string_view utf8);  // the same in UTF-8
    // What is written with the next flush, to append to; then call added().
    std::string &pending() { return pending_; }
    void added();
    void flush();

private:
    nb::object stream_;
    std::string pending_;
    bool terminal_ = false, coloured_ = false;
};

// Whether `stream` is a terminal: text bound for it is shown escaped.
bool is_terminal(nb::handle stream);

// Text of the archive as it may be written on `stream` (none: sys.stdout):
// on a terminal, what it would act on instead of showing (controls,
// bidirectional formatting) as visible escapes, so that a hostile archive
// cannot send it escape sequences or reorder its lines; elsewhere as it is,
// as grep does.
nb::object terminal_text(nb::handle text, nb::handle stream = nb::none());

// json.dumps(value, ensure_ascii=False, indent=indent), C1 controls, DEL
// and bidirectional formatting written \uXXXX: the same JSON, safe to show.
nb::object json_text(nb::handle value, nb::handle indent = nb::none());

// Defines terminal_text and json_text in the module, for the commands
// written in Python.
void define_terminal_functions(nb::module_ &m);

// Runs `body`; a reader that closed standard output ends it quietly: the
// rest of the output goes to the null device, so that the interpreter's own
// flush at exit has nothing to complain about.
void quiet_on_closed_pipe(const std::function<void()> &body);

}  // namespace tavix::logs
