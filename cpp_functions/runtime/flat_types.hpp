// The kernels' inputs and results as flat arrays. The boundary fills the inputs straight from
// the Python containers and turns the results straight into Python objects, so no hash
// container is built on either side of a kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "arrays.hpp"

namespace cpp_functions {

// A hyperedge list: the distinct members of hyperedge k are members[offsets[k] .. offsets[k+1]).
struct hyperedge_list {
  call_array<std::size_t> offsets{0};
  call_array<std::int32_t> members;

  std::size_t size() const { return offsets.size() - 1; }
};

// An incidence map (dict[int, set[int]]): entry k is keys[k] with the distinct ids
// ids[offsets[k] .. offsets[k+1]). Entries stand in the iteration order of the
// std::unordered_map that the standard conversion would build (reserved for the dict's size,
// then filled in dict order, the first of equal keys kept), which callers can observe.
struct incidence_map {
  call_array<std::int32_t> keys;
  call_array<std::size_t> offsets{0};
  call_array<std::int32_t> ids;

  std::size_t size() const { return keys.size(); }
};

// Frees the map's arrays with poll() between slices (see free_polled).
template <typename Poll>
void free_polled(incidence_map& map, Poll&& poll) {
  free_polled(map.ids, poll);
  free_polled(map.offsets, poll);
  free_polled(map.keys, poll);
}

// The same entries in dict order instead, for a kernel that needs of the native order only
// its first key: finding that costs a fraction of ordering every entry. Keys are distinct.
struct incidence_entries : incidence_map {
  std::size_t first = 0;     // the entry whose key comes first in the native order
  std::size_t reserved = 0;  // what the native map is reserved for: with the keys, its order
};

// Line-graph edges in ascending (i, j) order: the edges of first position i are
// (i, second[p], weights[p]) for p in [offsets[i], offsets[i+1]).
struct line_graph_edges {
  call_array<std::size_t> offsets{0};
  call_array<std::int32_t> second;
  call_array<double> weights;

  std::size_t size() const { return second.size(); }
};

// Node and edge scores in node and edge index order (the entry order of the incidence maps),
// each beside its id. The result caster gives them the key order of the dicts.
struct centrality_scores {
  call_array<std::int32_t> node_ids;
  call_array<double> node_scores;
  call_array<std::int32_t> edge_ids;
  call_array<double> edge_scores;
};

}  // namespace cpp_functions
