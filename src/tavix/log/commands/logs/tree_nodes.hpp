// The run's sections and steps in tree order, each with the names of the
// nodes from its task's script section down to itself: how the terminal
// subcommands name what they show.
#pragma once

#include <vector>

#include "common.hpp"

namespace tavix::logs {

struct TreeNode {
    nb::object id;      // the record's "id"
    nb::object record;  // the section or step record of the results
    nb::list path;      // names from the script section down to this node
    size_t task = 0;    // index of its task in the parser's scripts
    bool step = false;
    size_t section = 0; // a step's section (its index in the vector)
};

std::vector<TreeNode> tree_nodes(nb::handle parser);

// record.get(key, fallback)
nb::object record_value(nb::handle record, const char *key, nb::handle fallback = nb::none());

}  // namespace tavix::logs
