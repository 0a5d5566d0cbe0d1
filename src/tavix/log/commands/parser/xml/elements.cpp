#include "elements.hpp"

namespace tavix::xml_results {

namespace {

nb::str qualified(const std::string &ns, const char *local) {
    std::string tag = "{" + ns + "}" + local;
    return nb::str(tag.c_str(), tag.size());
}

// Attribute names looked up on every element, made once (and kept for the
// life of the process) rather than on every lookup.
nb::handle interned(const char *name) {
    PyObject *text = PyUnicode_InternFromString(name);
    if (!text)
        throw nb::python_error();
    return text;
}

nb::handle tag_key() {
    static nb::handle key = interned("tag");
    return key;
}

nb::handle text_key() {
    static nb::handle key = interned("text");
    return key;
}

}  // namespace

Names::Names(const std::string &ns)
    : prefix(qualified(ns, "")),
      testsuite(qualified(ns, "testsuite")),
      jobexecution(qualified(ns, "jobexecution")),
      testscript(qualified(ns, "testscript")),
      initinfo(qualified(ns, "initinfo")),
      taskid(qualified(ns, "taskid")),
      script(qualified(ns, "script")),
      name(qualified(ns, "name")),
      path(qualified(ns, "path")),
      logfile(qualified(ns, "logfile")),
      description(qualified(ns, "description")),
      starttime(qualified(ns, "starttime")),
      stoptime(qualified(ns, "stoptime")),
      runtime(qualified(ns, "runtime")),
      common_setup(qualified(ns, "commonSetup")),
      common_cleanup(qualified(ns, "commonCleanup")),
      sub_section(qualified(ns, "subSection")),
      testcase(qualified(ns, "testcase")),
      subtest(qualified(ns, "subtest")),
      result(qualified(ns, "result")),
      id(qualified(ns, "id")),
      xref(qualified(ns, "xref")),
      file(qualified(ns, "file")),
      line(qualified(ns, "line")),
      step(qualified(ns, "step")),
      summary(qualified(ns, "summary")),
      jobid(qualified(ns, "jobid")),
      submitter(qualified(ns, "submitter")),
      testbed(qualified(ns, "testbed")),
      vop(qualified(ns, "vop")),
      host(qualified(ns, "host")),
      bare_step("step"),
      bare_subtest("subtest") {}

Py_ssize_t child_count(nb::handle element) {
    Py_ssize_t n = PySequence_Size(element.ptr());
    if (n < 0)
        throw nb::python_error();
    return n;
}

nb::object child(nb::handle element, Py_ssize_t index) {
    PyObject *item = PySequence_GetItem(element.ptr(), index);
    if (!item)
        throw nb::python_error();
    return nb::steal(item);
}

bool has_tag(nb::handle element, nb::handle tag) {
    nb::object own = element.attr(tag_key());
    if (own.ptr() == tag.ptr())
        return true;
    if (!PyUnicode_Check(own.ptr()))
        return false;
    int equal = PyUnicode_Compare(own.ptr(), tag.ptr());
    if (equal == -1 && PyErr_Occurred())
        throw nb::python_error();
    return equal == 0;
}

nb::object first_child(nb::handle element, nb::handle tag) {
    Py_ssize_t n = child_count(element);
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object c = child(element, i);
        if (has_tag(c, tag))
            return c;
    }
    return nb::object();
}

std::vector<nb::object> first_children(nb::handle element, std::initializer_list<nb::handle> tags) {
    std::vector<nb::object> found(tags.size());
    size_t missing = tags.size();
    Py_ssize_t n = child_count(element);
    for (Py_ssize_t i = 0; i < n && missing > 0; ++i) {
        nb::object c = child(element, i);
        size_t k = 0;
        for (nb::handle tag : tags) {
            if (!found[k].is_valid() && has_tag(c, tag)) {
                found[k] = c;
                --missing;
                break;
            }
            ++k;
        }
    }
    return found;
}

static nb::object first_at_from(nb::handle element, const nb::handle *step, const nb::handle *end) {
    if (step == end)
        return nb::borrow(element);
    Py_ssize_t n = child_count(element);
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object c = child(element, i);
        if (has_tag(c, *step)) {
            nb::object found = first_at_from(c, step + 1, end);
            if (found.is_valid())
                return found;
        }
    }
    return nb::object();
}

nb::object first_at(nb::handle element, std::initializer_list<nb::handle> path) {
    return first_at_from(element, path.begin(), path.end());
}

nb::object text_or(nb::handle element, nb::handle fallback) {
    if (!element.is_valid())
        return nb::borrow(fallback);
    nb::object text = element.attr(text_key());
    if (text.is_none() || !PyObject_IsTrue(text.ptr()))
        return nb::borrow(fallback);
    return text;
}

nb::object attribute(nb::handle element, const char *key, nb::handle fallback) {
    return element.attr("get")(key, fallback);
}

}  // namespace tavix::xml_results
