#pragma once

#include <string>

#include "../runtime/flat_types.hpp"

// Edges (i, j, weight) with i < j of the s-line graph of `hyperedges`: positions i and j are
// joined when their hyperedges share at least s members (s = 0: every pair; s < 0: none).
// weights "absolute" gives the shared count, "normalized" that count over the smaller size,
// anything else 0.0. Edges come in ascending (i, j) order. max_threads > 0 sets the calling
// thread's OpenMP thread count (capped at max_thread_request()). Throws std::bad_alloc, and
// std::length_error for more than 2^31 - 1 hyperedges or one of 2^32 members or more.
cpp_functions::line_graph_edges compute_line_graph_edges(const cpp_functions::hyperedge_list& hyperedges,
                                                         int s, const std::string& weights, int max_threads);

// Largest thread count compute_line_graph_edges hands to the OpenMP runtime: the setting stays
// in force for other OpenMP code of the thread, whose teams the runtime cannot start larger
// ones for without ending the process.
int max_thread_request();
