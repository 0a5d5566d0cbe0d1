// The texts of a device command as its execution shows them, for the scan
// that makes the executions and the table that stands for them: a title-less
// command's block text, and one interpreter text for equal short ones.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "py_helpers.hpp"
#include "record_line.hpp"

namespace tavix::parser_base {

namespace nb = nanobind;

// A title-less command's block text is its lines up to the closing one, less
// the white space at their end, while they are at most BLOCK_LINES; else its
// first BLOCK_LINES lines followed by BLOCK_CUT.
constexpr int64_t BLOCK_LINES = 10;
constexpr std::string_view BLOCK_CUT = "(truncate)";

inline bool whole_block(int64_t start_line, int64_t end_line) { return end_line - start_line <= BLOCK_LINES; }

// The length of a whole block's lines without the white space at their end.
inline size_t block_end(std::string_view lines) {
    size_t keep = lines.size();
    while (size_t width = record_line::space_before(reinterpret_cast<const unsigned char *>(lines.data()), keep))
        keep -= width;
    return keep;
}

// Devices and titles repeat ("show version"): one interpreter text for each
// of the most recent short ones.
class ShortTexts {
public:
    static constexpr size_t LONGEST = 64, KEPT = 512;

    nb::object operator()(std::string_view bytes) {
        if (bytes.size() > LONGEST)
            return decode_text(bytes.data(), bytes.size());
        if (auto found = texts_.find(bytes); found != texts_.end())
            return found->second;
        if (texts_.size() >= KEPT)
            texts_.clear();
        nb::object text = decode_text(bytes.data(), bytes.size());
        texts_.emplace(std::string(bytes), text);
        return text;
    }

private:
    // Looked up by a view of the log's bytes, without a copy.
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
    };
    std::unordered_map<std::string, nb::object, Hash, std::equal_to<>> texts_;
};

}  // namespace tavix::parser_base
