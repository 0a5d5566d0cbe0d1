// Warnings and errors of a task log over time: one pass over the log counts
// the host's record lines of severity 4 (warnings) and 3 or less (errors) per
// second of their time stamps.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "base.hpp"
#include "civil_time.hpp"
#include "path_guard.hpp"
#include "record_line.hpp"

namespace tavix::parser_base {

namespace {

// Bins never outnumber this: a long run gets wider bins, so that the answer
// stays small whatever the run's length.
constexpr size_t MOST_BINS = 20000;
constexpr int64_t WIDTHS[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200,
                              21600, 43200, 86400};

struct Counts {
    uint64_t warnings = 0, errors = 0;
    int64_t first = std::numeric_limits<int64_t>::max();  // offset of the first line counted
};

std::unordered_map<int64_t, Counts> count_lines(const lines::FileDescriptor &file, int64_t begin,
                                                int64_t end, std::string_view host, size_t block) {
    std::unordered_map<int64_t, Counts> seconds;
    int64_t last_second = std::numeric_limits<int64_t>::min();
    Counts *last = nullptr;
    auto count = [&](const record_line::RecordLine &line, std::string_view) {
        double at;
        if (!line.has_fields() || line.severity > 4 || !parse_date_time(line.stamp(), at) ||
            !line.mentions_host(host.size()))
            return true;
        auto second = int64_t(at);
        if (second != last_second) {
            last = &seconds[second];
            last_second = second;
        }
        ++(line.severity == 4 ? last->warnings : last->errors);
        last->first = std::min(last->first, line.start);
        return true;
    };
    record_line::RecordLineSink sink(host, 4, 0, count);
    lines::LineReader reader(file, lines::LineRange::starting_in(begin, end), block);
    reader.feed(sink);
    if (reader.error())
        throw std::system_error(reader.error(), std::generic_category());
    return seconds;
}

nb::dict severity_histogram(nb::handle logfile, nb::handle host, nb::handle start, nb::handle size) {
    std::string path = fs_path(logfile);
    std::string host_text = utf8_text(host);
    long long from = PyLong_AsLongLong(nb::int_(start).ptr());
    if (from == -1 && PyErr_Occurred())
        throw nb::python_error();
    long long length = PyLong_AsLongLong(nb::int_(size).ptr());
    if (length == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (from < 0)
        throw nb::value_error("negative log position");
    int64_t limit = std::numeric_limits<int64_t>::max();
    int64_t end = length > 0 && length < limit - from ? from + length : limit;

    lines::FileDescriptor file(path.c_str());
    if (!file.ok()) {
        errno = file.error();
        raise_errno(path);
    }
    if (file.is_directory()) {
        errno = EISDIR;
        raise_errno(path);
    }
    std::vector<std::pair<int64_t, Counts>> bins;
    int64_t width = 1;
    int error = 0;
    {
        nb::gil_scoped_release unlocked;
        try {
            auto seconds = count_lines(file, from, end, host_text, shared().scan_block);
            std::vector<std::pair<int64_t, Counts>> sorted(seconds.begin(), seconds.end());
            std::sort(sorted.begin(), sorted.end(),
                      [](const auto &a, const auto &b) { return a.first < b.first; });
            auto floor_div = [](int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); };
            for (int64_t candidate : WIDTHS) {
                width = candidate;
                bins.clear();
                for (auto &[second, counts] : sorted) {
                    int64_t bin = floor_div(second, width) * width;
                    if (bins.empty() || bins.back().first != bin)
                        bins.push_back({bin, {}});
                    bins.back().second.warnings += counts.warnings;
                    bins.back().second.errors += counts.errors;
                    bins.back().second.first = std::min(bins.back().second.first, counts.first);
                }
                if (bins.size() <= MOST_BINS)
                    break;
            }
        } catch (std::system_error &e) {
            error = e.code().value();
        }
    }
    if (error) {
        errno = error;
        raise_errno(path);
    }
    nb::list times, warnings, errors, offsets;
    for (auto &[bin, counts] : bins) {
        times.append(bin);
        warnings.append(counts.warnings);
        errors.append(counts.errors);
        offsets.append(counts.first);
    }
    nb::dict answer;
    answer["width"] = width;
    answer["times"] = times;
    answer["warnings"] = warnings;
    answer["errors"] = errors;
    answer["offsets"] = offsets;
    return answer;
}

}  // namespace

void define_severity_histogram(nb::module_ &module) {
    module.def("severity_histogram", &severity_histogram, nb::arg("logfile"), nb::arg("host").none(),
               nb::arg("start") = 0, nb::arg("size") = -1,
               "Warning (severity 4) and error (severity 3 or less) record lines of the host "
               "(any host when None) in a byte range of a task log (a size of 0 or less: to the "
               "end), counted in one pass by the time in their time stamps: {\"width\": seconds "
               "per bin, \"times\": bin starts in seconds since 1970 (the stamps read as UTC), "
               "\"warnings\": [...], \"errors\": [...], \"offsets\": byte offset of each bin's first "
               "such line}, only bins holding a line, at most 20000 bins.");
}

}  // namespace tavix::parser_base
