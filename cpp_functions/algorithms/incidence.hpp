#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../runtime/flat_types.hpp"

namespace cpp_functions {

// One side of the incidence seen from its elements: element i gathers the other side's
// elements targets[offsets[i] .. offsets[i+1]), ascending. Elements stand in ascending order of
// their number of targets; run_first marks where each run of equal numbers starts (then the
// end). counts, when not empty, is each element's multiplicity.
struct incidence_side {
  call_array<std::size_t> offsets{0};
  call_array<std::uint32_t> targets;
  call_array<std::uint32_t> counts;
  call_array<std::size_t> run_first;

  std::size_t size() const { return offsets.size() - 1; }
};

// The incidence of a hypergraph with equal member sets merged: one element per distinct set,
// counting the edges that have it.
struct incidence_structure {
  call_array<std::uint32_t> node_slot;   // node index (nodes' entry order) -> element of `nodes`
  call_array<std::uint32_t> edge_class;  // edge index (edges' entry order) -> element of `edges`
  incidence_side nodes;                  // nodes, gathering the member sets that hold them
  incidence_side edges;                  // distinct member sets, gathering their nodes
  std::size_t merge_probes = 0;          // probe steps taken to merge equal sets (test builds only)
};

// The structure of `edges` (edge id -> member node ids) over the keys of `nodes`. Throws
// std::out_of_range naming the first member, in edge order, that is not a key of `nodes`.
incidence_structure build_incidence(const incidence_map& nodes, const incidence_map& edges);

// The same check alone: throws as build_incidence does, or returns.
void check_members(const incidence_map& nodes, const incidence_map& edges);

}  // namespace cpp_functions
