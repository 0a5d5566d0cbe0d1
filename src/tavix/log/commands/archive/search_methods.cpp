// Archive.search and Archive.count_matches: the searcher as methods of the
// archive, next to the page and line readers. The file work runs with the GIL
// released; only the answer is built with it.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#include <cancel_flag.hpp>
#include <path_guard.hpp>
#include <py_helpers.hpp>

#include <algorithm>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "archive.hpp"
#include "search/searcher.hpp"

namespace tavix::archive {

namespace {

using search::Matcher;

std::string query_bytes(nb::handle query) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(query.ptr(), &size);
    if (!utf8)
        throw nb::python_error();
    return std::string(utf8, size_t(size));
}

// The section's end in the file: log_size <= 0 runs to the end of the file.
int64_t section_end(int64_t log_start, int64_t log_size) {
    return log_size > 0 ? log_start + log_size : INT64_MAX;
}

nb::object decoded(const std::string &text) { return decode_text(text.data(), text.size()); }

struct HitKeys {
    nb::str offset = interned("offset"), line = interned("line"), column = interned("column"),
            length = interned("length"), text = interned("text"), truncated = interned("truncated");
};

void set_int(nb::handle dict, nb::handle key, int64_t value) {
    nb::object number = nb::steal(PyLong_FromLongLong(value));
    if (!number.is_valid() || PyDict_SetItem(dict.ptr(), key.ptr(), number.ptr()) < 0)
        throw nb::python_error();
}

nb::dict search(nb::handle self, nb::handle logfile, int64_t log_start, int64_t log_size,
                nb::handle query, bool regex, bool case_sensitive, int64_t offset, nb::handle line,
                nb::handle line_start, size_t limit, double max_seconds, int64_t max_bytes,
                size_t block, nb::handle cancel, bool counters) {
    if (log_start < 0 || offset < 0)
        throw nb::value_error("log_start and offset must not be negative");
    if (limit == 0)
        throw nb::value_error("limit must be positive");
    std::unique_ptr<Matcher> matcher = compile_query(query, regex, case_sensitive);

    CancelFlag flag = cancel_flag_of(cancel);
    search::SearchRequest request;
    request.cancelled = flag.get();
    request.path = checked_log_path(self, logfile);
    request.begin = log_start + offset;
    request.end = section_end(log_start, log_size);
    request.max_hits = limit;
    request.max_time = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(max_seconds));
    request.max_bytes = max_bytes;
    request.block = block;
    // Given the line index, the offset starts that line unless told otherwise.
    bool line_known = !line.is_none();
    if (line_known)
        request.line = nb::cast<int64_t>(line);
    if (!line_start.is_none())
        request.line_start = log_start + nb::cast<int64_t>(line_start);
    else if (line_known)
        request.line_start = request.begin;

    search::SearchResult result;
    int error = 0;
    {
        nb::gil_scoped_release release;
        if (!line_known || request.line_start < 0) {
            // Lines are counted from the section start.
            int64_t lines = 0, start = 0;
            error = search::count_lines(request.path, log_start, request.begin, lines, start);
            if (!line_known)
                request.line = lines;
            if (request.line_start < 0)
                request.line_start = start;
        }
        if (!error) {
            result = search::run_search(request, *matcher, [](const search::Hit &) { return true; });
            error = result.error;
        }
    }
    if (error) {
        errno = error;
        tavix::raise_errno(request.path);
    }

    // A page holds up to a thousand hits: their keys are made once.
    static const HitKeys *keys = new HitKeys();
    PyObject *list = PyList_New(Py_ssize_t(result.hits.size()));
    if (!list)
        throw nb::python_error();
    nb::list hits = nb::steal<nb::list>(list);
    Py_ssize_t index = 0;
    for (const search::Hit &hit : result.hits) {
        nb::dict entry;
        set_int(entry, keys->offset, hit.line_start - log_start);
        set_int(entry, keys->line, hit.line);
        set_int(entry, keys->column, hit.column);
        set_int(entry, keys->length, hit.length);
        if (PyDict_SetItem(entry.ptr(), keys->text.ptr(), decoded(hit.text).ptr()) < 0)
            throw nb::python_error();
        if (hit.truncated && PyDict_SetItem(entry.ptr(), keys->truncated.ptr(), Py_True) < 0)
            throw nb::python_error();
        PyList_SET_ITEM(hits.ptr(), index++, entry.release().ptr());
    }
    nb::dict answer;
    answer["hits"] = hits;
    answer["scanned_to"] = result.scanned_to - log_start;
    answer["line"] = result.line;
    answer["line_start"] = result.line_start - log_start;
    answer["complete"] = result.complete;
    if (counters) {
        nb::dict work;
        work["blocks_read"] = result.counters.blocks_read;
        work["bytes_read"] = result.counters.bytes_read;
        work["states_built"] = result.states_built;
        answer["counters"] = work;
    }
    return answer;
}

nb::list count_matches(nb::handle self, nb::handle logfile, std::vector<int64_t> bounds,
                       nb::handle query, bool regex, bool case_sensitive, double max_seconds,
                       size_t block, nb::handle cancel) {
    CancelFlag flag = cancel_flag_of(cancel);
    for (size_t i = 1; i < bounds.size(); ++i)
        if (bounds[i] < bounds[i - 1])
            throw nb::value_error("bounds must not decrease");
    std::unique_ptr<Matcher> matcher = compile_query(query, regex, case_sensitive);
    std::vector<int64_t> counts(bounds.size() > 1 ? bounds.size() - 1 : 0, 0);
    nb::list answer;
    if (counts.empty())
        return answer;

    search::SearchRequest request;
    request.path = checked_log_path(self, logfile);
    request.begin = bounds.front();
    request.end = bounds.back();
    request.max_hits = SIZE_MAX;
    request.want_text = false;
    request.max_time = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(max_seconds));
    request.max_bytes = INT64_MAX;
    request.block = block;
    request.cancelled = flag.get();
    search::SearchResult result;
    {
        nb::gil_scoped_release release;
        result = search::run_search(request, *matcher, [&](const search::Hit &hit) {
            auto after = std::upper_bound(bounds.begin(), bounds.end(), hit.match_position);
            size_t interval = size_t(after - bounds.begin()) - 1;
            if (interval < counts.size())
                ++counts[interval];
            return true;
        });
    }
    if (result.error) {
        errno = result.error;
        tavix::raise_errno(request.path);
    }
    for (int64_t count : counts)
        answer.append(count);
    if (!result.complete)
        answer.append(nb::none());
    return answer;
}

void check_query(nb::handle query, bool regex, bool case_sensitive) { compile_query(query, regex, case_sensitive); }

}  // namespace

std::unique_ptr<search::Matcher> compile_query(nb::handle query, bool regex, bool case_sensitive) {
    std::string text = query_bytes(query);
    std::unique_ptr<search::Matcher> matcher;
    std::string error;
    {
        nb::gil_scoped_release release;
        try {
            matcher = std::make_unique<search::Matcher>(text, regex, !case_sensitive);
        } catch (const search::QueryError &e) {
            error = e.what();
        }
    }
    if (!matcher)
        throw nb::value_error(("invalid query: " + error).c_str());
    return matcher;
}

void add_search_methods(ClassBuilder &archive) {
    archive
        .static_method("check_query", &check_query, nb::arg("query"), nb::kw_only(),
                       nb::arg("regex") = false, nb::arg("case") = false,
                       "Raises the ValueError `search` would raise for `query`; checks a\n"
                       "query before an archive is opened.")
        .method("search", &search, nb::arg("logfile"), nb::arg("log_start") = 0, nb::arg("log_size") = -1,
                nb::arg("query"), nb::kw_only(), nb::arg("regex") = false, nb::arg("case") = false,
                nb::arg("offset") = 0, nb::arg("line").none() = nb::none(),
                nb::arg("line_start").none() = nb::none(), nb::arg("limit") = 100,
                nb::arg("max_seconds") = 0.2, nb::arg("max_bytes") = int64_t(256) << 20,
                nb::arg("block") = size_t(1) << 20, nb::arg("cancel").none() = nb::none(),
                nb::arg("counters") = false,
                "Searches a log section for the lines that hold `query` (a literal text,\n"
                "or a regular expression when `regex`; case is ignored unless `case`).\n\n"
                "Starts at `offset` within the section (`line` is the index of the line\n"
                "holding it, counted when not given, and `line_start` that line's start,\n"
                "`offset` itself when only `line` is given) and returns {\"hits\", \"scanned_to\", \"line\", \"line_start\",\n"
                "\"complete\"}: at most `limit` hits {\"offset\", \"line\", \"column\", \"length\",\n"
                "\"text\"} in file order, one per line, and where the search stopped. It\n"
                "stops early after about `max_seconds` or `max_bytes`. The log is read in\n"
                "blocks of `block` bytes; a line longer than a block is searched in pieces\n"
                "(a match across two pieces is not seen). A query it cannot match (empty,\n"
                "too large, backreferences, lookaround) raises ValueError. `cancel`, a flag\n"
                "the viewer server makes, stops the search between blocks once set, as the\n"
                "time budget does. With `counters` the answer tells the work done under\n"
                "\"counters\": {\"blocks_read\", \"bytes_read\", \"states_built\"} (automaton states).")
        .method("count_matches", &count_matches, nb::arg("logfile"), nb::arg("bounds"), nb::arg("query"),
                nb::kw_only(), nb::arg("regex") = false, nb::arg("case") = false,
                nb::arg("max_seconds") = 60.0, nb::arg("block") = size_t(1) << 20,
                nb::arg("cancel").none() = nb::none(),
                "Counts the lines of a log file that hold `query`, per interval\n"
                "[bounds[i], bounds[i + 1]) of file positions, by where their first match\n"
                "starts, in one pass. A None after the counts means the search ran out\n"
                "of time (or was stopped by its `cancel` flag) before the last bound.");
}

}  // namespace tavix::archive
