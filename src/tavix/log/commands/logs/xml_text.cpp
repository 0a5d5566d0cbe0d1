#include "xml_text.hpp"

#include <cstdint>

namespace tavix::logs {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool allowed(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The code point starting at s[i] and its length in bytes; 0 for a byte
// that does not start a well-formed UTF-8 sequence.
size_t decode(std::string_view s, size_t i, uint32_t &c) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b = byte(i);
    size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (!n || i + n > s.size())
        return 0;
    c = n == 1 ? b : b & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < shortest[n] || c > 0x10FFFF)
        return 0;
    return n;
}

}  // namespace

void append_xml_text(std::string &out, std::string_view utf8, bool attribute) {
    out.reserve(out.size() + utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        uint32_t c = 0;
        size_t n = decode(utf8, i, c);
        if (!n || !allowed(c)) {
            out += kReplacement;
            i += n ? n : 1;
            continue;
        }
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\r': out += "&#13;"; break;
        case '"': out += attribute ? "&quot;" : "\""; break;
        case '\n': out += attribute ? "&#10;" : "\n"; break;
        case '\t': out += attribute ? "&#9;" : "\t"; break;
        default: out.append(utf8.substr(i, n));
        }
        i += n;
    }
}

std::string utf8_of(nb::handle value) {
    nb::object text = nb::str(value);
    PyObject *bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "replace");
    if (!bytes)
        throw nb::python_error();
    std::string out(PyBytes_AS_STRING(bytes), size_t(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return out;
}

}  // namespace tavix::logs
