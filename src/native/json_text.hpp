// JSON text written natively, for answers of many lines (JSON Lines, index
// keys): a string as the interpreter's json.dumps(text, ensure_ascii=False)
// writes it.
#pragma once

#include <string>
#include <string_view>

namespace tavix {

// Appends `text` (UTF-8) as a JSON string, quotes included.
inline void append_json_string(std::string &out, std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += char(c);
            }
        }
    }
    out += '"';
}

}  // namespace tavix
