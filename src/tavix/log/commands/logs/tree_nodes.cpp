#include "tree_nodes.hpp"

namespace tavix::logs {

nb::object record_value(nb::handle record, const char *key, nb::handle fallback) {
    if (!PyDict_Check(record.ptr()))
        return nb::borrow(fallback);
    PyObject *value = PyDict_GetItemString(record.ptr(), key);
    return value ? nb::borrow(value) : nb::borrow(fallback);
}

namespace {

nb::object name_of(nb::handle record, const char *key) {
    return nb::str(record_value(record, key, nb::str("")));
}

// Steps are numbered by the harness: "1.2" lies below "1".
bool lies_below(nb::handle step_id, nb::handle outer_id) {
    if (!PyUnicode_Check(step_id.ptr()) || !PyUnicode_Check(outer_id.ptr()))
        return false;
    nb::str prefix = nb::str(nb::borrow(outer_id) + nb::str("."));
    return truthy(step_id.attr("startswith")(prefix));
}

// A new list with the items of `list` (nb::list(handle) would share it).
nb::list copy_of(nb::handle list) {
    PyObject *copy = PySequence_List(list.ptr());
    if (!copy)
        throw nb::python_error();
    return nb::steal<nb::list>(copy);
}

std::vector<nb::handle> items_of(nb::handle list) {
    std::vector<nb::handle> items;
    if (PyList_Check(list.ptr()))
        for (nb::handle item : list)
            items.push_back(item);
    return items;
}

}  // namespace

std::vector<TreeNode> tree_nodes(nb::handle parser) {
    std::vector<TreeNode> nodes;
    nb::dict path_by_sequence;  // sequence numbers run on across the tasks
    size_t task = 0;
    for (nb::handle script : parser.attr("scripts")) {
        for (nb::handle section : items_of(record_value(script, "sections"))) {
            TreeNode node;
            node.id = record_value(section, "id");
            node.record = nb::borrow(section);
            node.task = task;
            // The last of its parents holds the path to it.
            nb::object parents = record_value(section, "parents", nb::list());
            nb::object above = nb::none();
            if (PyList_Check(parents.ptr()) && nb::len(parents))
                above = path_by_sequence.attr("get")(parents[nb::len(parents) - 1]);
            node.path = above.is_none() ? nb::list() : copy_of(above);
            node.path.append(name_of(section, "section_name"));
            path_by_sequence[record_value(section, "sequence_number")] = node.path;
            size_t section_index = nodes.size();
            nb::list section_path = node.path;
            nodes.push_back(std::move(node));

            std::vector<std::pair<nb::object, nb::list>> open;  // step ids and paths
            for (nb::handle step : items_of(record_value(section, "steps"))) {
                nb::object step_id = record_value(step, "step_id");
                while (!open.empty() && !lies_below(step_id, open.back().first))
                    open.pop_back();
                TreeNode leaf;
                leaf.id = record_value(step, "id");
                leaf.record = nb::borrow(step);
                leaf.task = task;
                leaf.step = true;
                leaf.section = section_index;
                leaf.path = copy_of(open.empty() ? section_path : open.back().second);
                leaf.path.append(name_of(step, "step_name"));
                open.emplace_back(step_id, leaf.path);
                nodes.push_back(std::move(leaf));
            }
        }
        ++task;
    }
    return nodes;
}

}  // namespace tavix::logs
