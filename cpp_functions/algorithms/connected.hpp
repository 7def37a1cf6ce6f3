#pragma once

#include "../runtime/flat_types.hpp"

// Whether every key of node_dict is reached from its first key (in native iteration order) by
// stepping from a node to the members of the edges it lists (members that are not keys of
// node_dict are not stepped through). False for an empty node_dict. Does not change the OpenMP
// thread count. Throws std::out_of_range naming the node and edge when a node lists an edge id
// that is not a key of edge_dict.
bool is_connected(const cpp_functions::incidence_entries& node_dict,
                  const cpp_functions::incidence_entries& edge_dict);
