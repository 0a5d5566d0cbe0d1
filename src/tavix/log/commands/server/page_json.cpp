// The JSON body of a log page, written natively.
//
// A page is mostly one long string; json.dumps spends most of a page request
// escaping it (non-ASCII text takes its slow path). This writer produces the
// very bytes json.dumps gives with its defaults (ASCII output, ", " and ": "
// separators) in two passes over the text: one to size the body, one to fill
// it in place, so the body is allocated once and never copied.
#include "json_text.hpp"
#include "server.hpp"

namespace tavix::server {

namespace {

using json_text::Value;

bool null_or_str(nb::handle value) { return value.is_none() || PyUnicode_CheckExact(value.ptr()); }

template <size_t N>
char *put_literal(char *out, const char (&text)[N]) {
    std::memcpy(out, text, N - 1);
    return out + N - 1;
}

}  // namespace

Py_ssize_t json_size(nb::handle text) {
    if (!PyUnicode_Check(text.ptr()))
        return 0;
    return Value{text.ptr()}.size();
}

nb::object page_answer(nb::handle self, nb::handle previous, nb::handle next, nb::handle content) {
    if (!null_or_str(previous) || !null_or_str(next) || !null_or_str(content)) {
        nb::dict body;
        body["previous"] = previous;
        body["next"] = next;
        body["file_content"] = content;
        return json_answer(self, body);
    }
    static constexpr char kPrevious[] = "{\"previous\": ";
    static constexpr char kNext[] = ", \"next\": ";
    static constexpr char kContent[] = ", \"file_content\": ";
    Value values[] = {{previous.ptr()}, {next.ptr()}, {content.ptr()}};
    Py_ssize_t size = (sizeof kPrevious - 1) + (sizeof kNext - 1) + (sizeof kContent - 1) + 1;
    for (const Value &value : values)
        size += value.size();

    nb::object body = nb::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!body.is_valid())
        throw nb::python_error();
    char *out = PyBytes_AS_STRING(body.ptr());
    out = put_literal(out, kPrevious);
    out = values[0].put(out);
    out = put_literal(out, kNext);
    out = values[1].put(out);
    out = put_literal(out, kContent);
    out = values[2].put(out);
    *out = '}';

    // The same answer json_response gives: application/json in UTF-8.
    return state->response(nb::arg("body") = body, nb::arg("content_type") = "application/json",
                           nb::arg("charset") = "utf-8",
                           nb::arg("headers") = default_header(self));
}

}  // namespace tavix::server
