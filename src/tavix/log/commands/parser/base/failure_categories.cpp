// Failure categories: the failing sections and steps of a run grouped by the
// signature of their cause lines.
//
// A failing node is a section or step whose result is failed, errored,
// aborted or blocked and that has no section or step below it with one of
// those results. Steps nest by their step ids ("1.2" lies below "1"), as the
// harness numbers them. Only the failing nodes' byte ranges are read.
#include <nanobind/nanobind.h>


#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <system_error>
#include <unordered_map>

#include "base.hpp"
#include "failures.hpp"
#include "path_guard.hpp"
#include "py_helpers.hpp"

namespace tavix::parser_base {

namespace {

std::vector<nb::object> as_vector(nb::handle items) {
    std::vector<nb::object> out;
    if (!PyUnicode_Check(items.ptr()) && !items.is_none())
        for (nb::handle item : items)
            out.push_back(nb::borrow(item));
    return out;
}

bool starts_below(nb::handle step_id, nb::handle outer_id) {
    if (!PyUnicode_Check(step_id.ptr()) || !PyUnicode_Check(outer_id.ptr()))
        return false;
    nb::object prefix = checked(PyUnicode_Concat(outer_id.ptr(), nb::str(".").ptr()));
    int found = PyUnicode_Tailmatch(step_id.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (found < 0)
        throw nb::python_error();
    return found;
}

// Indices of the steps (a pre-order list) that fail with nothing failing below them.
std::vector<size_t> failing_steps(const std::vector<nb::object> &steps) {
    size_t n = steps.size();
    std::vector<long> parent(n, -1);
    std::vector<size_t> open;
    std::vector<nb::object> ids(n);
    for (size_t j = 0; j < n; ++j) {
        ids[j] = get_item(steps[j], "step_id");
        while (!open.empty() && !starts_below(ids[j], ids[open.back()]))
            open.pop_back();
        parent[j] = open.empty() ? -1 : long(open.back());
        open.push_back(j);
    }
    std::vector<char> failing(n), below(n);
    for (size_t j = n; j-- > 0;) {
        failing[j] = is_failure(get_item(steps[j], "result"));
        if ((failing[j] || below[j]) && parent[j] >= 0)
            below[size_t(parent[j])] = 1;
    }
    std::vector<size_t> leaves;
    for (size_t j = 0; j < n; ++j)
        if (failing[j] && !below[j])
            leaves.push_back(j);
    return leaves;
}

struct FailingNode {
    nb::object id;      // section id, or section id "#" step id
    nb::object result;
    nb::object record;  // what the parser's index holds under this id
    nb::object index_id;
};

std::vector<FailingNode> failing_nodes(nb::handle parser) {
    std::vector<FailingNode> nodes;
    nb::str hash("#");
    for (nb::handle task : parser.attr("scripts")) {
        std::vector<nb::object> sections = as_vector(task.attr("get")("sections"));
        size_t n = sections.size();
        nb::dict position;
        std::vector<std::vector<nb::object>> steps(n);
        std::vector<std::vector<size_t>> step_leaves(n);
        std::vector<char> failing(n), below(n);
        for (size_t i = 0; i < n; ++i) {
            position[get_item(sections[i], "id")] = i;
            failing[i] = is_failure(get_item(sections[i], "result"));
            steps[i] = as_vector(get_item(sections[i], "steps"));
            step_leaves[i] = failing_steps(steps[i]);
            below[i] = !step_leaves[i].empty();
        }
        // Pre-order: everything below a section comes after it, so walking
        // backwards settles each section before its parent is reached.
        for (size_t i = n; i-- > 0;) {
            if (!(failing[i] || below[i]) || !tavix::truthy(get_item(sections[i], "parents")))
                continue;
            PyObject *parent = PyDict_GetItemWithError(position.ptr(), get_item(sections[i], "parent_id").ptr());
            if (parent)
                below[nb::cast<size_t>(nb::handle(parent))] = 1;
            else if (PyErr_Occurred())
                throw nb::python_error();
        }
        for (size_t i = 0; i < n; ++i) {
            nb::object section_id = get_item(sections[i], "id");
            if (failing[i] && !below[i])
                nodes.push_back({section_id, get_item(sections[i], "result"), sections[i], section_id});
            for (size_t j : step_leaves[i]) {
                nb::object step_id = get_item(steps[i][j], "id");
                nb::object id = nb::str(section_id) + hash + nb::str(step_id);
                nodes.push_back({id, get_item(steps[i][j], "result"), steps[i][j], step_id});
            }
        }
    }
    return nodes;
}

struct Plan {
    const lines::FileDescriptor *file = nullptr;
    int64_t begin = 0, end = 0;
    std::string host;
    failures::Cause cause;
    std::string signature;
};

nb::dict failure_categories(nb::handle parser, bool with_causes, bool with_cause_lines) {
    std::vector<FailingNode> nodes = failing_nodes(parser);
    struct OpenLog {
        std::unique_ptr<lines::FileDescriptor> file;  // none when it cannot be read
        int64_t size = 0;
    };
    std::map<std::string, OpenLog> files;
    std::vector<Plan> plans(nodes.size());
    nb::object get_section = parser.attr("get_section");
    for (size_t k = 0; k < nodes.size(); ++k) {
        nb::object section = get_section(nodes[k].index_id);
        if (section.is_none()) {
            PyErr_SetObject(PyExc_KeyError, nodes[k].index_id.ptr());
            throw nb::python_error();
        }
        nb::object logfile = section.attr("logfile");
        std::string path = fs_path(logfile);
        auto found = files.find(path);
        if (found == files.end()) {
            // A log the results file names wrongly (missing, a directory,
            // outside the archive) leaves its nodes unreadable; the others
            // are still grouped.
            OpenLog log;
            nb::object dir = nb::getattr(section.attr("archive"), "dir", nb::none());
            try {
                if (!dir.is_none())
                    ensure_inside(fs_path(dir), path);
                log.file = std::make_unique<lines::FileDescriptor>(path.c_str());
                log.size = log.file->size();
                if (!log.file->ok() || !log.file->is_regular())
                    log.file.reset();
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_OSError))
                    throw;
            }
            found = files.emplace(path, std::move(log)).first;
        }
        Plan &plan = plans[k];
        plan.file = found->second.file.get();
        if (!plan.file)
            continue;
        try {
            section_bounds(section, plan.begin, plan.end);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError))
                throw;
            plan.file = nullptr;  // a negative position: no range of the log
            continue;
        }
        if (plan.begin > found->second.size) {
            plan.file = nullptr;  // no range of the log
            continue;
        }
        plan.host = utf8_text(section.attr("host"));
    }

    size_t block = shared().scan_block;
    std::vector<char> unreadable(nodes.size());
    {
        nb::gil_scoped_release unlocked;
        for (size_t k = 0; k < plans.size(); ++k) {
            if (!plans[k].file) {
                unreadable[k] = 1;
                continue;
            }
            try {
                plans[k].cause = failures::find_cause(*plans[k].file, plans[k].begin, plans[k].end,
                                                      plans[k].host, block);
            } catch (std::system_error &) {
                unreadable[k] = 1;  // a range the file cannot give
                continue;
            }
            if (plans[k].cause.found)
                plans[k].signature = failures::signature(plans[k].cause.message);
        }
    }

    struct Category {
        nb::dict body;
        nb::list sections, causes, cause_lines;
        nb::dict results;
        size_t count = 0;
    };
    std::vector<Category> categories;
    std::unordered_map<std::string, size_t> by_signature;
    nb::list unexplained, unreadable_ids;
    for (size_t k = 0; k < nodes.size(); ++k) {
        Plan &plan = plans[k];
        if (unreadable[k]) {
            unreadable_ids.append(nodes[k].id);
            continue;
        }
        if (!plan.cause.found) {
            unexplained.append(nodes[k].id);
            continue;
        }
        auto [found, added] = by_signature.try_emplace(plan.signature, categories.size());
        if (added) {
            Category &category = categories.emplace_back();
            category.body["signature"] = decode(plan.signature);
            category.body["example"] = decode(plan.cause.message);
        }
        Category &category = categories[found->second];
        ++category.count;
        category.sections.append(nodes[k].id);
        nb::object so_far = nb::borrow(PyDict_GetItemWithError(category.results.ptr(), nodes[k].result.ptr()));
        if (PyErr_Occurred())
            throw nb::python_error();
        category.results[nodes[k].result] = so_far.is_valid() ? so_far + nb::int_(1) : nb::int_(1);
        if (with_causes) {
            nb::list position;
            position.append(plan.cause.offset - plan.begin);
            position.append(plan.cause.severity);
            category.causes.append(position);
        }
        if (with_cause_lines)
            category.cause_lines.append(decode(plan.cause.message));
    }
    std::stable_sort(categories.begin(), categories.end(),
                     [](const Category &a, const Category &b) { return a.count > b.count; });
    nb::list listed;
    for (Category &category : categories) {
        category.body["count"] = category.count;
        category.body["results"] = category.results;
        category.body["sections"] = category.sections;
        if (with_causes)
            category.body["causes"] = category.causes;
        if (with_cause_lines)
            category.body["cause_lines"] = category.cause_lines;
        listed.append(category.body);
    }
    nb::dict answer;
    answer["categories"] = listed;
    answer["unexplained"] = unexplained;
    if (nb::len(unreadable_ids))
        answer["unreadable"] = unreadable_ids;
    return answer;
}

}  // namespace

void define_failure_categories(nb::module_ &module) {
    module.def("failure_categories", &failure_categories, nb::arg("parser"), nb::arg("causes") = false,
               nb::arg("cause_lines") = false,
               "The failing sections and steps of the parser's tasks grouped by the signature of "
               "their cause lines: {\"categories\": [{\"signature\", \"example\", \"count\", "
               "\"results\", \"sections\"}, ...], \"unexplained\": [ids]}, categories by count, "
               "largest first, then by first appearance. A step is given as its section's id, "
               "\"#\" and its own id. With causes=True each category also has \"causes\": "
               "[offset of the cause line from the node's log start, severity] per node. With "
               "cause_lines=True each category also has \"cause_lines\": the message of each "
               "node's cause line. Nodes whose "
               "log cannot be read (missing, not a file, outside the archive, a range past its "
               "end) are listed under \"unreadable\", when there are any.");
}

}  // namespace tavix::parser_base
