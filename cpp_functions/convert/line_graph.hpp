#pragma once

#include <string>
#include <tuple>
#include <unordered_set>
#include <vector>

// Edges (i, j, weight) with i < j of the s-line graph of `hyperedges`: positions i and j are
// joined when their hyperedges share at least s members (s = 0: every pair; s < 0: none).
// weights "absolute" gives the shared count, "normalized" that count over the smaller size,
// anything else 0.0. Triples come in ascending (i, j) order. max_threads > 0 sets the calling
// thread's OpenMP thread count (capped at max_thread_request()). Throws std::bad_alloc.
std::vector<std::tuple<int, int, double>> compute_line_graph_edges(
    const std::vector<std::unordered_set<int>>& hyperedges, int s, const std::string& weights,
    int max_threads);

// Largest thread count compute_line_graph_edges hands to the OpenMP runtime: larger requests
// make the runtime abort the process while starting the team.
int max_thread_request();
