// Whether a hypergraph given by its two incidence maps is connected: whether a search from the
// first key of node_dict (in the map's iteration order) reaches every key, stepping from a
// node to the members of the edges that node lists.
//
// Method. Expanding every edge into all pairs of its members costs the sum of squared edge
// sizes (one edge of 1e5 members asks for 1e10 adjacency entries). The search walks the
// node-edge incidence instead: from a reached node it scans each edge the node lists, and
// each edge only the first time any reached node lists it, since its members are all marked
// by then. Work and memory are linear in the number of incidences, and the set of reached
// nodes is the same as with the expanded adjacency, also when the two maps disagree (an edge
// is scanned from whichever reached node lists it; a member that is not a key of node_dict is
// never marked and never expanded).
//
// Layout. The maps arrive flat (keys in native order, each key's ids in one array); the ids
// are resolved to indices by table lookups before the search. Members that are not nodes
// resolve to nothing and are dropped. The search is sequential: it is a few flat-array reads
// per incidence, less than a team's start-up per level would save.
#include "connected.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "../id_index.hpp"
#include "../interrupt.hpp"

namespace {

using cpp_functions::id_index;
using cpp_functions::incidence_map;
using cpp_functions::make_id_index;

constexpr std::uint32_t nodes_per_poll = 4096;  // nodes expanded between two polls

// Every edge id a node lists, reached or not, resolved before the search starts.
std::vector<std::uint32_t> resolve_listed_edges(const incidence_map& nodes, const id_index& edge_index) {
  std::vector<std::uint32_t> listed(nodes.ids.size());
  for (std::size_t v = 0; v < nodes.keys.size(); ++v)
    for (std::size_t p = nodes.offsets[v]; p < nodes.offsets[v + 1]; ++p) {
      listed[p] = edge_index.find(nodes.ids[p]);
      if (listed[p] == id_index::absent)
        throw std::out_of_range("node " + std::to_string(nodes.keys[v]) + " lists edge " +
                                std::to_string(nodes.ids[p]) + ", which is not a key of edge_dict");
    }
  return listed;
}

}  // namespace

bool is_connected(const incidence_map& nodes, const incidence_map& edges) {
  if (nodes.size() == 0) return false;
  const std::vector<std::uint32_t> listed = resolve_listed_edges(nodes, make_id_index(edges.keys));
  const id_index node_index = make_id_index(nodes.keys);

  // Node index 0 is the start; a node enters the queue once, when it is marked.
  const std::size_t n = nodes.keys.size();
  std::vector<bool> visited_flag(n, false);
  std::vector<bool> edge_scanned(edges.keys.size(), false);
  std::vector<std::uint32_t> queue;
  queue.reserve(n);
  queue.push_back(0);
  visited_flag[0] = true;
  cpp_functions::interrupt_ticker ticker{nodes_per_poll};
  for (std::size_t head = 0; head < queue.size() && queue.size() < n; ++head) {
    ticker.tick();
    const std::uint32_t current = queue[head];
    for (std::size_t p = nodes.offsets[current]; p < nodes.offsets[current + 1]; ++p) {
      const std::uint32_t e = listed[p];
      if (edge_scanned[e]) continue;
      edge_scanned[e] = true;
      for (std::size_t q = edges.offsets[e]; q < edges.offsets[e + 1]; ++q) {
        const std::uint32_t k = node_index.find(edges.ids[q]);
        if (k == id_index::absent || visited_flag[k]) continue;
        visited_flag[k] = true;
        queue.push_back(k);
      }
    }
  }
  return queue.size() == n;
}
