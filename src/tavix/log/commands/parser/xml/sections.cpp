// The section tree of one testscript: its records in pre-order.
#include "parser.hpp"

namespace tavix::xml_results {

namespace {

[[noreturn]] void raise_index_error(const char *message) {
    PyErr_SetString(PyExc_IndexError, message);
    throw nb::python_error();
}

// The parent chain of the records below `record`: its own chain plus itself.
nb::list child_parents(nb::handle record) {
    nb::object parents = nb::borrow(PyDict_GetItemString(record.ptr(), "parents"));
    nb::list chain = parents.is_valid() && !parents.is_none() ? nb::list(parents) : nb::list();
    chain.append(record["sequence_number"]);
    return chain;
}
bool is_local(nb::handle element, nb::handle qualified, nb::handle bare) {
    return has_tag(element, qualified) || has_tag(element, bare);
}

}  // namespace

void parse_step_info_into(Context &c, nb::list &out, nb::handle step) {
    const Names &n = c.names;
    nb::dict record;
    std::vector<nb::object> found = first_children(
        step, {n.id, n.name, n.starttime, n.stoptime, n.runtime, n.result, n.logfile, n.xref});
    record["step_id"] = text_or_empty(found[0]);
    record["step_name"] = text_or_empty(found[1]);
    record["start_time"] = text_or_empty(found[2]);
    record["stop_time"] = text_or_empty(found[3]);
    record["run_time"] = text_or_empty(found[4]);
    record["result"] = text_or_empty(found[5]);
    record["log_file"] = text_or_empty(found[6]);
    // A step without a log range or a source reference keeps what it has so
    // far and gets no id.
    if (found[6].is_valid()) {
        record["log_start"] = attribute(found[6], "begin", nb::int_(0));
        record["log_size"] = attribute(found[6], "size", nb::int_(-1));
        if (found[7].is_valid()) {
            std::vector<nb::object> source = first_children(found[7], {n.file, n.line});
            record["source_file"] = text_or_empty(source[0]);
            record["source_line"] = text_or(source[1], nb::int_(0));
            record["id"] = uuid4_text();
        }
    }
    out.append(record);
    Py_ssize_t count = child_count(step);
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object nested = child(step, i);
        if (is_local(nested, n.step, n.bare_step))
            parse_step_info_into(c, out, nested);
    }
}

void add_init_info(Context &c, nb::dict &record, nb::handle node, nb::handle section_type) {
    const Names &n = c.names;
    std::vector<nb::object> found = first_children(node, {n.name, n.id, n.description, n.logfile, n.xref});
    nb::object name = text_or_empty(found[0]);
    if (!truthy(name))
        name = c.remove_ns(node.attr("tag"));
    record["section_name"] = name;
    record["section_id"] = found[1].is_valid() ? attribute(found[1], "name", name) : name;
    record["section_type"] = section_type;
    record["description"] = text_or_empty(found[2]);
    record["log_file"] = text_or_empty(found[3]);
    if (!found[3].is_valid())
        raise_index_error("results file: a section has no logfile element");
    record["log_start"] = attribute(found[3], "begin", nb::int_(0));
    record["log_size"] = attribute(found[3], "size", nb::int_(-1));
    if (!found[4].is_valid())
        raise_index_error("results file: a section has no xref element");
    std::vector<nb::object> source = first_children(found[4], {n.file, n.line});
    record["source_file"] = text_or_empty(source[0]);
    record["source_line"] = text_or(source[1], nb::int_(0));
}

nb::dict parse_section(Context &c, nb::handle element, bool with_initinfo, nb::handle parent,
                       nb::handle section_type, nb::handle parents) {
    const Names &n = c.names;
    std::vector<nb::object> found =
        first_children(element, {n.result, n.starttime, n.stoptime, n.runtime, n.initinfo});
    nb::dict record;
    record["parent_id"] = parent;
    record["result"] = text_or_empty(found[0]);
    record["start_time"] = text_or_empty(found[1]);
    record["stop_time"] = text_or_empty(found[2]);
    record["run_time"] = text_or_empty(found[3]);
    record["parents"] = parents;
    record["id"] = uuid4_text();
    nb::object node = nb::borrow(element);
    if (with_initinfo) {
        if (!found[4].is_valid())
            raise_index_error("results file: a testcase or subtest has no initinfo element");
        node = found[4];
    }
    record["sequence_number"] = c.next_sequence();
    add_init_info(c, record, node, section_type);

    nb::list steps;
    Py_ssize_t count = child_count(node);
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object step = child(node, i);
        if (is_local(step, n.step, n.bare_step))
            parse_step_info_into(c, steps, step);
    }
    record["steps"] = nb::len(steps) ? nb::object(steps) : nb::object(nb::str(""));
    return record;
}

void parse_testsections_into(Context &c, nb::list &out, nb::handle element, nb::handle parent,
                             nb::handle parents) {
    // Testsections have no fixed tag: any child holding a result is one.
    nb::str type("testsection");
    Py_ssize_t count = child_count(element);
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object section = child(element, i);
        if (is_local(section, c.names.subtest, c.names.bare_subtest))
            continue;
        if (first_child(section, c.names.result).is_valid())
            out.append(parse_section(c, section, false, parent, type, parents));
    }
}

void parse_subtest_into(Context &c, nb::list &out, nb::handle element, nb::handle parent, nb::handle parents) {
    nb::dict subtest = parse_section(c, element, true, parent, nb::str("subtest"), parents);
    out.append(subtest);
    parse_testsections_into(c, out, element, subtest["id"], child_parents(subtest));
}

void parse_testcase_into(Context &c, nb::list &out, nb::handle element, nb::handle parent, nb::handle parents) {
    nb::dict testcase = parse_section(c, element, true, parent, nb::str("testcase"), parents);
    out.append(testcase);
    nb::object id = testcase["id"];
    nb::list chain = child_parents(testcase);
    Py_ssize_t count = child_count(element);
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object subtest = child(element, i);
        if (has_tag(subtest, c.names.subtest))
            parse_subtest_into(c, out, subtest, id, chain);
    }
    parse_testsections_into(c, out, element, id, chain);
}

void parse_common_section_into(Context &c, nb::list &out, nb::handle element, nb::handle section_type,
                               nb::handle parent, nb::handle parents) {
    nb::dict common = parse_section(c, element, false, parent, section_type, parents);
    if (!truthy(common["section_id"]))
        common["section_id"] = section_type;
    if (!truthy(common["section_name"]))
        common["section_name"] = section_type;
    out.append(common);
    nb::object id = common["id"];
    nb::list chain = child_parents(common);
    nb::str type("subsection");
    Py_ssize_t count = child_count(element);
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object subsection = child(element, i);
        if (has_tag(subsection, c.names.sub_section))
            out.append(parse_section(c, subsection, false, id, type, chain));
    }
}

void parse_script_into(Context &c, nb::list &out, nb::handle script) {
    const Names &n = c.names;
    std::vector<nb::object> found = first_children(script, {n.starttime, n.stoptime, n.runtime, n.initinfo});
    nb::object info = found[3];
    auto info_text = [&](std::initializer_list<nb::handle> path) {
        return info.is_valid() ? text_or_empty(first_at(info, path)) : nb::object(nb::str(""));
    };
    nb::object name = info_text({n.script, n.name});
    nb::object task_id = info_text({n.taskid});

    nb::dict record;
    record["start_time"] = text_or_empty(found[0]);
    record["stop_time"] = text_or_empty(found[1]);
    record["run_time"] = text_or_empty(found[2]);
    record["section_name"] = name;
    record["section_id"] = truthy(task_id) ? task_id : name;
    record["section_type"] = "testscript";
    record["log_file"] = info_text({n.logfile});
    record["log_start"] = nb::int_(0);
    record["log_size"] = nb::int_(-1);
    record["result"] = "";
    record["description"] = info_text({n.description});
    record["parent_id"] = "suite";
    record["parents"] = nb::list();
    record["source_file"] = refs().os_path_join(info_text({n.script, n.path}), name);
    record["source_line"] = nb::int_(0);
    record["sequence_number"] = c.next_sequence();
    record["steps"] = "";
    record["id"] = uuid4_text();
    out.append(record);

    nb::object id = record["id"];
    nb::list chain = child_parents(record);
    nb::object setup, cleanup;
    std::vector<nb::object> testcases;
    Py_ssize_t count = child_count(script);
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object section = child(script, i);
        if (!setup.is_valid() && has_tag(section, n.common_setup))
            setup = section;
        else if (has_tag(section, n.testcase))
            testcases.push_back(section);
        else if (!cleanup.is_valid() && has_tag(section, n.common_cleanup))
            cleanup = section;
    }
    if (setup.is_valid())
        parse_common_section_into(c, out, setup, nb::str("commonSetup"), id, chain);
    for (nb::handle testcase : testcases)
        parse_testcase_into(c, out, testcase, id, chain);
    if (cleanup.is_valid())
        parse_common_section_into(c, out, cleanup, nb::str("commonCleanup"), id, chain);
}

}  // namespace tavix::xml_results
