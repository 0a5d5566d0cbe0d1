// Which blocks may hold a line that matches a query: from the parsed query,
// a formula over folded trigrams that every such line satisfies. Literal
// texts give the AND of their trigrams; alternatives give ORs; a part with no
// literal text (".*", a wide class) puts no condition. The formula is a
// filter only: the matcher confirms every line of the blocks it picks.
#pragma once

#include <vector>

#include "../search/query.hpp"
#include "trigram_blocks.hpp"

namespace tavix::run_search {

struct TrigramQuery {
    // All: every block; None: no block (the query cannot match a line).
    enum Kind { All, None, Holds, And, Or } kind = All;
    Trigram trigram = 0;  // Holds
    std::vector<TrigramQuery> children;  // And, Or: two or more
};

TrigramQuery query_trigrams(const search::Node &query);

}  // namespace tavix::run_search
