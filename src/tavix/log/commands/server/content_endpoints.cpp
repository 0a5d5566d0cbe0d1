// Endpoints that deliver raw content: log pages, device-command logs, the
// file tree, text files, reports and downloads.
#include <algorithm>

#include "coroutine.hpp"
#include "server.hpp"

namespace tavix::server {

namespace {

// Page reads never need more than this; larger offsets and limits (valid
// Python integers of any size) are clamped for the read only, which gives
// the same page, while the links keep the exact values.
constexpr long long kReadCap = 1LL << 62;

nb::object clamp_for_read(nb::handle value) {
    static nb::handle cap = nb::int_(kReadCap).release();  // kept for the process lifetime
    return value > cap ? nb::borrow(cap) : nb::borrow(value);
}

nb::object page_link(nb::handle url, nb::handle offset, nb::handle limit) {
    return state->link_pattern.format(url, offset, limit);
}

constexpr const char *kPageBoundsError = "offset must be greater or equal to 0, limit must be greater than 0";
// Pages up to this size are read on the loop, where a thread would cost
// more than the read; larger ones in a worker.
constexpr long long kLoopPageCap = 256 << 10;
// A page is read into memory whole: larger ones are refused.
constexpr const char *kPageCapError = "limit must not be greater than 4194304";

// The error detail for a page's offset and limit, or null when they are good.
const char *page_bounds_error(nb::handle offset, nb::handle limit) {
    nb::int_ zero(0);
    if (offset < zero || limit <= zero)
        return kPageBoundsError;
    if (limit > nb::int_(kTextCap))
        return kPageCapError;
    return nullptr;
}

// The links of the pages before and after a page.
std::pair<nb::object, nb::object> neighbour_links(nb::handle url, nb::handle offset, nb::handle limit,
                                                  nb::handle size) {
    nb::object before = offset - limit, after = offset + limit;
    nb::object previous = before >= nb::int_(0) ? page_link(url, before, limit) : nb::none();
    nb::object next = after < size ? page_link(url, after, limit) : nb::none();
    return {previous, next};
}

// The page answer with the links of the pages before and after it.
nb::object page_with_links(nb::handle self, nb::handle url, nb::handle offset, nb::handle limit,
                           nb::handle size, nb::handle data) {
    auto [previous, next] = neighbour_links(url, offset, limit, size);
    return page_answer(self, previous, next, data);
}

// The query parameter as an integer, or `fallback` when it is absent. A value
// that is not an integer raises ValueError, which the handler lets through.
nb::object int_param(nb::handle query, nb::handle name, nb::handle fallback) {
    nb::object text = query.attr(state->get)(name);
    return text.is_none() ? nb::borrow(fallback) : state->pyint(text);
}

}  // namespace

nb::object logfile_sec(nb::handle self, nb::handle request) {
    nb::object sec_uuid = nb::none(), section;
    nb::object refused = guarded(
        [&] {
            sec_uuid = request.attr(state->match_info)["section_uuid"];
            section = self.attr(state->archive).attr(state->results).attr(state->get_section)(sec_uuid);
            return nb::object();
        },
        [&](const nb::python_error &) {
            return error_answer(self, nb::str("Section_{}_RETRIEVE_FAIL").format(sec_uuid));
        });
    if (refused.is_valid())
        return refused;
    return section_log_page(self, request, section);
}

nb::object section_log_page(nb::handle self, nb::handle request, nb::handle section) {
    nb::object query = request.attr(state->query);
    nb::object offset = int_param(query, state->offset, nb::int_(0));
    nb::object limit = int_param(query, state->limit, self.attr(state->fread_size));
    if (const char *error = page_bounds_error(offset, limit))
        return error_answer(self, error);

    // The front end asks for the record lines' severities and header spans,
    // so it need not parse lines itself; the page's own keys stay as they are.
    auto asked = [&](const char *name) {
        nb::object wanted = query.attr(state->get)(name);
        return !wanted.is_none() && nb::str(wanted).equal(nb::str("1"));
    };
    bool severities = asked("severities"), headers = asked("headers");
    nb::object self_ = nb::borrow(self), section_ = nb::borrow(section), url = request.attr(state->path);
    auto page = [self_, section_, url, offset, limit, severities, headers](const CancelFlag &flag) {
        nb::handle self = self_, section = section_;
        return answer_or_report(
            self,
            [&] {
                nb::object data = section.attr(state->read_logs)(clamp_for_read(offset), limit);
                // Read after the page: a section without a size has just taken
                // the size of the whole file.
                nb::object log_size = section.attr(state->log_size);
                if (!severities && !headers)
                    return page_with_links(self, url, offset, limit, log_size, data);
                auto [previous, next] = neighbour_links(url, offset, limit, log_size);
                nb::dict body;
                body["previous"] = previous;
                body["next"] = next;
                body["file_content"] = data;
                // The section's own archive reads its lines: the baseline's
                // sections lie in another archive's directory.
                nb::object own = optional_attr(section, "archive");
                nb::object reader = own.is_valid() ? optional_attr(own, "line_severities") : nb::object();
                if (!reader.is_valid() || reader.is_none())
                    reader = self.attr(state->archive).attr("line_severities");
                auto records = [&](bool spans) {
                    return data.is_none()
                               ? nb::object(nb::list())
                               : reader(section.attr("logfile"), section.attr("log_start"), log_size,
                                        clamp_for_read(offset), clamp_for_read(limit), nb::arg("spans") = spans);
                };
                if (severities)
                    body["severities"] = records(false);
                if (headers)
                    body["headers"] = records(true);
                return json_answer(self, body, flag);
            },
            "Exception encountered when get log content of the section:", "SECTION_LOG_READ_FAIL");
    };
    if (limit > nb::int_(kLoopPageCap))
        return built_off_loop(self, page);
    return page(CancelFlag());
}

namespace {

constexpr const char *kExecutionMessage = "Exception encountered when get log content of the execution:";
constexpr const char *kExecutionDetail = "EXECUTION_LOG_READ_FAIL";

// The device command's lines, read in a worker thread: at most kTextCap
// bytes of them while its read_logs is the stock one (a longer block answers
// "truncated": true and its "line_count"), else whatever read_logs gives.
// `block`, from the section's table (None when it has none), gives where
// the lines lie in the log: they are read there, without counting the
// section's lines before them.
nb::object execution_lines(nb::handle self, nb::handle execute, nb::object section_name, nb::object block) {
    nb::object reader;
    find_stock_pieces();
    if (uses_stock(execute, "read_logs", state->stock_execute_read_logs))
        reader = optional_attr(execute.attr("archive"), "read_lines_capped");
    if (!reader.is_valid() || reader.is_none()) {
        nb::dict body;
        body["file_content"] = execute.attr(state->read_logs)();
        body["section_name"] = section_name;
        return json_answer(self, body);
    }
    nb::object start_line = execute.attr("start_line"), end_line = execute.attr("end_line");
    nb::object logfile = execute.attr("logfile"), log_start = execute.attr("section_log_start"),
               log_size = execute.attr("section_log_size");
    auto read = [=]() -> nb::object {
        if (!block.is_none()) {
            nb::object start_at = block[0], end_at = block[1];
            return reader(logfile, kTextCap, 0, block[3] - block[2], nb::arg("log_start") = start_at,
                          nb::arg("log_size") = end_at - start_at);
        }
        return reader(logfile, kTextCap, start_line, end_line, nb::arg("log_start") = log_start,
                      nb::arg("log_size") = log_size);
    };
    nb::object self_ = nb::borrow(self);
    return off_loop(read, [=](nb::handle done) {
        return answer_or_report(
            self_,
            [&] {
                nb::tuple capped = nb::cast<nb::tuple>(done.attr("result")());
                nb::dict body;
                body["file_content"] = capped[0];
                body["section_name"] = section_name;
                if (nb::cast<bool>(capped[1])) {
                    body["truncated"] = true;
                    body["line_count"] = end_line - start_line;
                }
                return json_answer(self_, body);
            },
            kExecutionMessage, kExecutionDetail);
    });
}

}  // namespace

nb::object logfile_exe(nb::handle self, nb::handle request) {
    return answer_or_report(
        self,
        [&] {
            nb::object match = request.attr(state->match_info);
            nb::object exe_uuid = match["execution_uuid"], sec_uuid = match["section_uuid"];
            nb::object section =
                self.attr(state->archive).attr(state->results).attr(state->get_section)(sec_uuid);
            nb::object self_ = nb::borrow(self);
            // The commands are known once the section is scanned, off the loop.
            return after_scan(self, section, [=](nb::handle done) {
                return answer_or_report(
                    self_,
                    [&] {
                        nb::object commands = done.attr("result")();
                        nb::object execute = commands.attr("find")(exe_uuid);
                        nb::object block = commands.attr("log_range")(exe_uuid);
                        if (execute.is_none()) {
                            PyErr_Format(PyExc_KeyError, "no execution %R in the section", exe_uuid.ptr());
                            throw nb::python_error();
                        }
                        nb::object get = section.attr(state->get);
                        return execution_lines(self_, execute, get("section_name", get("step_name")), block);
                    },
                    kExecutionMessage, kExecutionDetail);
            });
        },
        kExecutionMessage, kExecutionDetail);
}

nb::object filelist(nb::handle self_handle, nb::handle request) {
    // The walk through the extraction directory, in a worker.
    nb::object self = nb::borrow(self_handle);
    return built_off_loop(self, [self](const CancelFlag &flag) {
        return answer_or_report(
            self,
            [&] {
                nb::dict body;
                body["results"] = nb::list(self.attr(state->archive).attr("listdir")());
                return json_answer(self, body, flag);
            },
            "Exception encountered when retrieve the file list: ", "FILE_LIST_RETRIEVE_FAILED");
    });
}

namespace {

// The bytes the lines of a file record take in its JSON answer.
Py_ssize_t escaped_lines_size(nb::handle record) {
    nb::object lines = nb::borrow<nb::dict>(record).get("file_content", nb::none());
    if (!PyList_Check(lines.ptr()))
        return 0;
    Py_ssize_t total = 0;
    for (nb::handle line : lines)
        total += json_size(line) + 2;
    return total;
}

}  // namespace

nb::object filelines(nb::handle self_handle, nb::handle request_handle) {
    nb::object self = nb::borrow(self_handle), request = nb::borrow(request_handle);
    // Reading megabytes of a file and escaping them is done in a worker.
    return built_off_loop(self, [self, request](const CancelFlag &flag) { return answer_or_report(
        self,
        [&] {
            nb::object filename = request.attr(state->match_info)["filename"];
            nb::object archive = self.attr(state->archive);
            nb::object read_file = archive.attr("read_file");
            find_stock_pieces();
            // An archive of another kind, or a read_file of its own, answers
            // as it reads the file.
            if (!uses_stock(archive, "read_file", state->stock_read_file))
                return json_answer(self, read_file(filename), flag);
            nb::object path = contained_path(self, filename);
            // A file larger than the cap answers its first kTextCap bytes, and
            // fewer when their escaped text would take more than kEscapedCap.
            long long limit = kTextCap;
            nb::object record = state->os_stat(path).attr("st_size") > nb::int_(kTextCap)
                                    ? read_file(filename, nb::arg("limit") = limit)
                                    : read_file(filename);
            for (Py_ssize_t escaped; (escaped = escaped_lines_size(record)) > kEscapedCap && limit > 1;) {
                limit = std::max(1LL, (long long)(limit * (double(kEscapedCap) / double(escaped)) * 0.95));
                record = read_file(filename, nb::arg("limit") = limit);
            }
            return json_answer(self, record, flag);
        },
        "Exception encountered when reading file lines:", "FILE_READ_FAILED"); });
}

nb::object filepage(nb::handle self_handle, nb::handle request_handle) {
    nb::object self = nb::borrow(self_handle), request = nb::borrow(request_handle);
    nb::object query = request.attr(state->query);
    nb::object offset, limit;
    try {
        offset = int_param(query, state->offset, nb::int_(0));
        limit = int_param(query, state->limit, self.attr(state->fread_size));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        return error_answer(self, "offset and limit must be whole numbers");
    }
    if (const char *error = page_bounds_error(offset, limit))
        return error_answer(self, error);
    return built_off_loop(self, [self, request, offset, limit](const CancelFlag &) { return answer_or_report(
        self,
        [&] {
            nb::object path = contained_path(self, request.attr(state->match_info)["filename"]);
            nb::object size = state->os_stat(path).attr("st_size");
            nb::object read_bytes = self.attr(state->archive).attr("read_bytes");
            nb::object data = read_bytes(path, 0, size, nb::arg("offset") = clamp_for_read(offset),
                                         nb::arg("limit") = limit);
            // A page whose escaped text would outgrow the cap covers fewer
            // bytes; its links step by what it covers.
            nb::object covered = nb::borrow(limit);
            for (Py_ssize_t escaped; (escaped = json_size(data)) > kEscapedCap && covered > nb::int_(1);) {
                long long fewer = (long long)(nb::cast<double>(covered) * (double(kEscapedCap) / double(escaped)) * 0.95);
                covered = nb::int_(std::max(1LL, fewer));
                data = read_bytes(path, 0, size, nb::arg("offset") = clamp_for_read(offset),
                                  nb::arg("limit") = covered);
            }
            // The name travels encoded in one path segment: so do the links.
            nb::object url = request.attr("rel_url").attr("raw_path");
            return page_with_links(self, url, offset, covered, size, data);
        },
        "Exception encountered when reading a file page:", "FILE_READ_FAILED"); });
}

namespace {

// An HTML or PDF file of the archive, as the browser shows it.
nb::object report_answer(nb::handle self, nb::handle request, bool any_name) {
    return answer_or_report(
        self,
        [&] {
            nb::object name = request.attr(state->match_info)["filename"];
            // Other types are not reports: served inline, an SVG or XML file
            // could run scripts as the viewer.
            if (any_name && !is_report_name(name)) {
                PyErr_Format(PyExc_ValueError, "%R is not an HTML or PDF file", name.ptr());
                throw nb::python_error();
            }
            nb::object path = contained_path(self, name);
            // Checked here so that a missing report gets this endpoint's own
            // answer rather than an empty one from the file response.
            if (!nb::cast<bool>(state->os_path_isfile(path))) {
                PyErr_Format(PyExc_FileNotFoundError, "No such file: %R", path.ptr());
                throw nb::python_error();
            }
            return state->file_response(path, nb::arg("headers") = report_headers(self, path));
        },
        "Exception encountered when loading html viewer:", "SERVE_FILE_FAILED");
}

}  // namespace

bool is_report_name(nb::handle name) {
    nb::object lower = nb::str(name).attr("lower")();
    return nb::cast<bool>(lower.attr("endswith")(nb::make_tuple(".html", ".pdf")));
}

nb::object htmlviewer(nb::handle self, nb::handle request) { return report_answer(self, request, false); }

nb::object report(nb::handle self, nb::handle request) { return report_answer(self, request, true); }

namespace {

// Downloads log one line with the exception's text, without a traceback.
nb::object download_failed(nb::handle self, const nb::python_error &e) {
    debug_lines(nb::str("Exception encountered when downloading the file: {}").format(nb::str(exception_value(e))),
                nullptr);
    return error_answer(self, "DOWNLOAD_FILE_FAILED");
}

}  // namespace

nb::object download_archive(nb::handle self, nb::handle request) {
    return download(self, self.attr(state->archive).attr("file"));
}

nb::object download_file(nb::handle self, nb::handle request) {
    nb::object name = request.attr(state->match_info)["filename"];
    nb::object dir = self.attr(state->archive).attr("dir");
    nb::object file = state->os_path_join(dir, name);
    nb::object refused = guarded(
        [&] {
            contained_path(self, name);
            return nb::object();
        },
        [&](const nb::python_error &e) { return download_failed(self, e); });
    return refused.is_valid() ? refused : download(self, file);
}

namespace {

// The base name as it goes into the Content-Disposition header: unchanged,
// except that control characters (which would end or corrupt the header)
// become "_".
nb::object disposition_name(nb::handle file) {
    nb::str name = nb::str(state->os_path_basename(file));
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (!utf8)
        throw nb::python_error();
    std::string text(utf8, size);
    bool changed = false;
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '_';
            changed = true;
        }
    return changed ? nb::object(nb::str(text.data(), text.size())) : nb::object(name);
}

}  // namespace

nb::object download(nb::handle self, nb::handle file_arg) {
    nb::str file = nb::str(file_arg);
    nb::object stream;
    return guarded(
        [&] {
            // Only regular files: opening a FIFO would wait for a writer forever.
            if (!nb::cast<bool>(state->os_path_isfile(file)) && nb::cast<bool>(state->os_path_exists(file))) {
                PyErr_Format(PyExc_OSError, "%R is not a regular file", file.ptr());
                throw nb::python_error();
            }
            stream = state->io_open(file, "rb");
            nb::dict headers;
            headers["Content-Disposition"] = nb::str("attachment; filename=") + nb::str(disposition_name(file));
            headers["Access-Control-Allow-Origin"] = "*";
            // The body is the open file: aiohttp streams it in chunks and
            // closes it, so a large archive is never held in memory.
            return state->response(nb::arg("body") = stream, nb::arg("headers") = headers,
                                   nb::arg("content_type") = "application/force-download");
        },
        [&](const nb::python_error &e) {
            close_after_failure(stream);
            if (e.matches(PyExc_FileNotFoundError))
                return error_answer(self, nb::str("FILE_{}_NO_FOUND").format(file));
            return download_failed(self, e);
        });
}

}  // namespace tavix::server
