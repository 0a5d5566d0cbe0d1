// ScreenHandler: the console handler, short line format, coloured by default.
#include <class_builder.hpp>

#include "handlers.hpp"

namespace tavix::morlan::handlers_detail {

static void screen_init(nb::handle self, nb::handle stream, nb::handle coloured) {
    // The base Handler constructor, not StreamHandler's: the stream is a
    // property here, resolved at each write.
    shared().logging_handler.attr("__init__")(self);
    self.attr("stream") = stream;
    self.attr("coloured") = coloured;
}

static void screen_set_coloured(nb::handle self, nb::handle value) {
    set_coloured(self, value, "ColouredScreenFormatter", "ScreenFormatter");
}

static nb::object screen_get_stream(nb::handle self) {
    nb::object stream = self.attr("_stream");
    // Followed at every read, so a replaced standard output (capturing,
    // redirection) is honoured without reconfiguring the handler.
    return stream.is_none() ? nb::object(shared().sys.attr("stdout")) : stream;
}

static void screen_set_stream(nb::handle self, nb::handle value) { self.attr("_stream") = value; }

static nb::str screen_str(nb::handle self) {
    nb::str class_name = nb::borrow<nb::str>(nb::handle(Py_TYPE(self.ptr())).attr("__name__"));
    nb::object stream_name = self.attr("stream").attr("name");
    return nb::str("< {} - {} >").format(class_name, nb::str(stream_name));
}

void define_screen_handler(nb::module_ &module) {
    ClassBuilder(module, "ScreenHandler", {shared().logging_stream_handler})
        .doc("Console handler: writes the short line format to standard output (or the given "
             "stream), coloured by level unless `coloured` is false.")
        .method("__init__", &screen_init, nb::arg("stream").none() = nb::none(),
                nb::arg("coloured").none() = true)
        .property("coloured", &get_coloured, &screen_set_coloured,
                  "Whether lines are coloured; setting it installs a new formatter.")
        .property("stream", &screen_get_stream, &screen_set_stream,
                  "The stream written to: the current standard output unless one was given.")
        .method("__str__", &screen_str)
        .build();
}

}  // namespace tavix::morlan::handlers_detail
