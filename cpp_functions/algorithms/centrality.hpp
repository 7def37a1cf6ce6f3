#pragma once

#include <unordered_map>
#include <unordered_set>
#include <utility>

// Node and edge centralities of the hypergraph whose incidence is given by `edges` (edge id ->
// member node ids); the keys of `nodes` are the node set, its values are not read. Runs at most
// max_iter rounds of the nonlinear power iteration and stops early once the total absolute
// change falls below tol. Leaves the calling thread's OpenMP thread count at 8. Throws
// std::out_of_range naming the edge and member when a member is not a key of `nodes`.
std::pair<std::unordered_map<int, double>, std::unordered_map<int, double>> compute_centralities(
    const std::unordered_map<int, std::unordered_set<int>>& nodes,
    const std::unordered_map<int, std::unordered_set<int>>& edges, int max_iter, double tol);
