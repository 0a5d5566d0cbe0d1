// Text made safe for an XML 1.0 document: escaped, and free of what XML
// forbids.
#pragma once

#include <string>
#include <string_view>

#include "common.hpp"

namespace tavix::logs {

// Appends `utf8` escaped for element text (attribute: also quotes and line
// ends, which attribute values would otherwise lose). Bytes that are not
// UTF-8 and characters XML forbids (controls but tab, line feed and
// carriage return; surrogates; U+FFFE, U+FFFF) become U+FFFD.
void append_xml_text(std::string &out, std::string_view utf8, bool attribute);

// str(value) in UTF-8, what cannot be encoded replaced.
std::string utf8_of(nb::handle value);

}  // namespace tavix::logs
