// Endpoints that deliver raw content: log pages, device-command logs, the
// file tree, text files, reports and downloads.
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

// The query parameter as an integer, or `fallback` when it is absent. A value
// that is not an integer raises ValueError, which the handler lets through.
nb::object int_param(nb::handle query, nb::handle name, nb::handle fallback) {
    nb::object text = query.attr(state->get)(name);
    return text.is_none() ? nb::borrow(fallback) : state->pyint(text);
}

}  // namespace

nb::object logfile_sec(nb::handle self, nb::handle request) {
    nb::object sec_uuid = nb::none(), section;
    try {
        sec_uuid = request.attr(state->match_info)["section_uuid"];
        section = self.attr(state->archive).attr(state->results).attr(state->get_section)(sec_uuid);
    } catch (const nb::python_error &) {
        return error_answer(self, nb::str("Section_{}_RETRIEVE_FAIL").format(sec_uuid));
    }

    nb::object query = request.attr(state->query);
    nb::object offset = int_param(query, state->offset, nb::int_(0));
    nb::object limit = int_param(query, state->limit, self.attr(state->fread_size));
    nb::int_ zero(0);
    if (offset < zero || limit <= zero)
        return error_answer(self,
                            "offset must be greater or equal to 0, limit must be greater than 0");

    return answer_or_report(
        self,
        [&] {
            nb::object data =
                section.attr(state->read_logs)(clamp_for_read(offset), clamp_for_read(limit));
            // Read after the page: a section without a size has just taken
            // the size of the whole file.
            nb::object log_size = section.attr(state->log_size);
            nb::object url = request.attr(state->path);
            nb::object before = offset - limit, after = offset + limit;
            nb::object previous = before >= zero ? page_link(url, before, limit) : nb::none();
            nb::object next = after < log_size ? page_link(url, after, limit) : nb::none();
            return page_answer(self, previous, next, data);
        },
        "Exception encountered when get log content of the section:", "SECTION_LOG_READ_FAIL");
}

nb::object logfile_exe(nb::handle self, nb::handle request) {
    return answer_or_report(
        self,
        [&] {
            nb::object match = request.attr(state->match_info);
            nb::object exe_uuid = match["execution_uuid"], sec_uuid = match["section_uuid"];
            nb::object section =
                self.attr(state->archive).attr(state->results).attr(state->get_section)(sec_uuid);
            nb::dict body;
            body["file_content"] = section.attr("get_execution")(exe_uuid).attr("read_logs")();
            nb::object get = section.attr(state->get);
            body["section_name"] = get("section_name", get("step_name"));
            return json_answer(self, body);
        },
        "Exception encountered when get log content of the execution:", "EXECUTION_LOG_READ_FAIL");
}

nb::object filelist(nb::handle self, nb::handle request) {
    return answer_or_report(
        self,
        [&] {
            nb::dict body;
            body["results"] = nb::list(self.attr(state->archive).attr("listdir")());
            return json_answer(self, body);
        },
        "Exception encountered when retrieve the file list: ", "FILE_LIST_RETRIEVE_FAILED");
}

nb::object filelines(nb::handle self, nb::handle request) {
    return answer_or_report(
        self,
        [&] {
            nb::object filename = request.attr(state->match_info)["filename"];
            contained_path(self, filename);
            return json_answer(self, self.attr(state->archive).attr("read_file")(filename));
        },
        "Exception encountered when reading file lines:", "FILE_READ_FAILED");
}

nb::object htmlviewer(nb::handle self, nb::handle request) {
    return answer_or_report(
        self,
        [&] {
            nb::object path = contained_path(self, request.attr(state->match_info)["filename"]);
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
    try {
        contained_path(self, name);
    } catch (const nb::python_error &e) {
        return download_failed(self, e);
    }
    return download(self, file);
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
    try {
        stream = state->io_open(file, "rb");
        nb::dict headers;
        headers["Content-Disposition"] = nb::str("attachment; filename=") + nb::str(disposition_name(file));
        headers["Access-Control-Allow-Origin"] = "*";
        // The body is the open file: aiohttp streams it in chunks and closes
        // it, so a large archive is never held in memory.
        return state->response(nb::arg("body") = stream, nb::arg("headers") = headers,
                            nb::arg("content_type") = "application/force-download");
    } catch (const nb::python_error &e) {
        if (stream.is_valid())
            stream.attr("close")();
        if (e.matches(PyExc_FileNotFoundError))
            return error_answer(self, nb::str("FILE_{}_NO_FOUND").format(file));
        return download_failed(self, e);
    }
}

}  // namespace tavix::server
