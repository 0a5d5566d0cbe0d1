// The run's sections and steps in tree order, each with its name and the
// node above it: the names from its task's script section down to itself
// are how the terminal subcommands name what they show. Only the link is
// kept, so that a tree thousands of levels deep costs a node per node.
#pragma once

#include <cstdint>
#include <vector>

#include "common.hpp"

namespace tavix::logs {

constexpr size_t NO_PARENT = SIZE_MAX;

struct TreeNode {
    nb::object id;      // the record's "id"
    nb::object record;  // the section or step record of the results
    nb::object name;    // its section or step name
    size_t parent = NO_PARENT;  // the node above it in the path (its index in the vector)
    size_t task = 0;    // index of its task in the parser's scripts
    bool step = false;
    size_t section = 0; // a step's section (its index in the vector)
};

std::vector<TreeNode> tree_nodes(nb::handle parser);

// The names from the script section down to nodes[index].
nb::list path_of(const std::vector<TreeNode> &nodes, size_t index);

// record.get(key, fallback)
nb::object record_value(nb::handle record, const char *key, nb::handle fallback = nb::none());

}  // namespace tavix::logs
