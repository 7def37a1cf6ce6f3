#pragma once

#include "../runtime/flat_types.hpp"

// Node and edge centralities of the hypergraph whose incidence is given by `edges` (edge id ->
// member node ids); the keys of `nodes` are the node set, its ids are not read. Runs at most
// max_iter rounds of the nonlinear power iteration and stops early once the total absolute
// change falls below tol. Scores come in node and edge index order. Leaves the calling
// thread's OpenMP thread count at 8. Throws std::out_of_range naming the edge and member when
// a member is not a key of `nodes`.
cpp_functions::centrality_scores compute_centralities(const cpp_functions::incidence_map& nodes,
                                                      const cpp_functions::incidence_map& edges, int max_iter,
                                                      double tol);
