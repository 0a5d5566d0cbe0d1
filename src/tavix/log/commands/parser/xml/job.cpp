// Job metadata, the task list, summaries and the result id.
#include "parser.hpp"

namespace tavix::xml_results {

namespace {

nb::object results_of(Context &c) { return c.self.attr("results"); }

nb::object job_text(Context &c, nb::handle root, std::initializer_list<nb::handle> path) {
    return text_or_empty(first_at(root, path));
}

// int(text) for a summary count, with the count's name in the message.
nb::object count_value(nb::handle name, nb::handle text) {
    try {
        return refs().int_type(text);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError))
            throw;
        PyObject *type = error.matches(PyExc_ValueError) ? PyExc_ValueError : PyExc_TypeError;
        PyErr_SetObject(type, nb::str("results file: summary count {!r} is not a whole number: {!r}")
                                  .format(name, text)
                                  .ptr());
        throw nb::python_error();
    }
}

}  // namespace

nb::object document_root(nb::handle document) {
    if (PyObject_HasAttrString(document.ptr(), "getroot"))
        return document.attr("getroot")();
    return nb::borrow(document);
}

nb::object parse_result_id(nb::handle text) {
    nb::object match = refs().result_id_search(text);
    return match.is_none() ? nb::borrow(text) : match.attr("group")(0);
}

void parse_job_info(Context &c, nb::handle root) {
    const Names &n = c.names;
    nb::dict meta;
    meta["suite_name"] = job_text(c, root, {n.testsuite, n.initinfo, n.name});
    nb::object request_id = job_text(c, root, {n.testsuite, n.initinfo, n.jobid});
    meta["request_id"] = request_id;
    meta["result_id"] = parse_result_id(request_id);
    meta["result_format"] = "ledra";
    meta["submitter"] = job_text(c, root, {n.testsuite, n.initinfo, n.submitter});
    meta["testbed"] = job_text(c, root, {n.testsuite, n.initinfo, n.testbed});
    meta["run_time"] = job_text(c, root, {n.testsuite, n.runtime});
    meta["start_time"] = job_text(c, root, {n.testsuite, n.starttime});
    meta["stop_time"] = job_text(c, root, {n.testsuite, n.stoptime});
    meta["vop_tree"] = job_text(c, root, {n.testsuite, n.initinfo, n.vop, n.path});
    meta["exec_host"] = job_text(c, root, {n.testsuite, n.initinfo, n.host});
    meta["archive_location"] = as_text(c.self.attr("archive").attr("file"));
    results_of(c)["meta"] = meta;
}

nb::dict parse_script_info(Context &c, nb::handle script) {
    const Names &n = c.names;
    nb::object info = first_child(script, n.initinfo);
    auto text = [&](std::initializer_list<nb::handle> path) {
        return info.is_valid() ? text_or_empty(first_at(info, path)) : nb::object(nb::str(""));
    };
    nb::dict meta;
    meta["task_id"] = text({n.taskid});
    meta["name"] = text({n.script, n.name});
    meta["path"] = text({n.script, n.path});
    return meta;
}

nb::dict parse_summary(Context &c, nb::handle element) {
    nb::object summary_element = first_child(element, c.names.summary);
    if (!summary_element.is_valid()) {
        PyErr_SetString(PyExc_IndexError, "results file: an element has no summary");
        throw nb::python_error();
    }
    nb::dict summary;
    nb::object total = nb::int_(0);
    Py_ssize_t count = child_count(summary_element);
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object kind = child(summary_element, i);
        nb::object name = c.remove_ns(kind.attr("tag"));
        nb::object text = kind.attr("text");
        summary[name] = text;
        if (!name.equal(nb::str("success_rate")))
            total = total + count_value(name, text);
    }
    summary["total_tasks"] = total;
    // A harness that skipped nothing may leave the element out: none skipped.
    nb::str skip("skip");
    summary["applicable_tasks"] = summary.contains(skip) ? total - count_value(skip, summary[skip]) : total;
    return summary;
}

void parse_job(Context &c, nb::handle root) {
    const Names &n = c.names;
    nb::list scripts;
    results_of(c)["scripts"] = scripts;
    Py_ssize_t suites = child_count(root);
    for (Py_ssize_t s = 0; s < suites; ++s) {
        nb::object suite = child(root, s);
        if (!has_tag(suite, n.testsuite))
            continue;
        Py_ssize_t executions = child_count(suite);
        for (Py_ssize_t e = 0; e < executions; ++e) {
            nb::object execution = child(suite, e);
            if (!has_tag(execution, n.jobexecution))
                continue;
            Py_ssize_t count = child_count(execution);
            for (Py_ssize_t i = 0; i < count; ++i) {
                nb::object script = child(execution, i);
                if (!has_tag(script, n.testscript))
                    continue;
                nb::dict task;
                task["meta"] = parse_script_info(c, script);
                nb::list sections;
                parse_script_into(c, sections, script);
                task["sections"] = sections;
                task["summary"] = parse_summary(c, script);
                scripts.append(task);
            }
        }
    }
}

void parse_job_summary(Context &c, nb::handle root) {
    nb::object suite = first_child(root, c.names.testsuite);
    if (!suite.is_valid()) {
        PyErr_SetString(PyExc_IndexError, "results file: no testsuite element under the root");
        throw nb::python_error();
    }
    results_of(c)["summary"] = parse_summary(c, suite);
}

std::string results_namespace_of(nb::handle tag) {
    if (!PyUnicode_Check(tag.ptr()))
        return "";
    std::string text = nb::cast<std::string>(tag);
    if (text.size() < 2 || text[0] != '{')
        return "";
    size_t close = text.find('}');
    if (close == std::string::npos)
        return "";
    std::string uri = text.substr(1, close - 1), rest;
    for (const char *scheme : {"http://", "https://"})
        if (uri.rfind(scheme, 0) == 0)
            rest = uri.substr(std::char_traits<char>::length(scheme));
    size_t slash = rest.find('/');
    if (rest.empty() || slash == 0 || slash == std::string::npos)
        return "";
    return rest.compare(slash, std::string::npos, "/xml/schema/qenreport") == 0 ? uri : "";
}

}  // namespace tavix::xml_results
