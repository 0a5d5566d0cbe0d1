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
    nb::dict node_by_sequence;  // sequence numbers run on across the tasks
    size_t task = 0;
    for (nb::handle script : parser.attr("scripts")) {
        for (nb::handle section : items_of(record_value(script, "sections"))) {
            TreeNode node;
            node.id = record_value(section, "id");
            node.record = nb::borrow(section);
            node.task = task;
            node.name = name_of(section, "section_name");
            // The last of its parents is the node above it.
            nb::object parents = record_value(section, "parents", nb::list());
            if (PyList_Check(parents.ptr()) && nb::len(parents)) {
                nb::object above = node_by_sequence.attr("get")(parents[nb::len(parents) - 1]);
                if (!above.is_none())
                    node.parent = nb::cast<size_t>(above);
            }
            size_t section_index = nodes.size();
            node_by_sequence[record_value(section, "sequence_number")] = section_index;
            nodes.push_back(std::move(node));

            std::vector<std::pair<nb::object, size_t>> open;  // step ids and node indexes
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
                leaf.name = name_of(step, "step_name");
                leaf.parent = open.empty() ? section_index : open.back().second;
                open.emplace_back(step_id, nodes.size());
                nodes.push_back(std::move(leaf));
            }
        }
        ++task;
    }
    return nodes;
}

nb::list path_of(const std::vector<TreeNode> &nodes, size_t index) {
    nb::list path;
    for (size_t at = index; at != NO_PARENT; at = nodes[at].parent)
        path.append(nodes[at].name);
    path.reverse();
    return path;
}

}  // namespace tavix::logs
