// JSON text written natively for output of many lines (JSON Lines), as
// json.dumps(value, ensure_ascii=False) writes it.
#pragma once

#include <string>
#include <string_view>

namespace tavix::logs {

// Appends `utf8` as a JSON string, quotes included.
void append_json_string(std::string &out, std::string_view utf8);

}  // namespace tavix::logs
