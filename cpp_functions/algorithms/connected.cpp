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
// Sequential on purpose: the search does one hash-set walk and one table lookup per scanned
// incidence, which costs less than starting a thread team for each level would save.
#include "connected.hpp"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "../parallel.hpp"

namespace {

using cpp_functions::id_index;
using cpp_functions::make_id_index;
using incidence_map = std::unordered_map<int, std::unordered_set<int>>;
using member_set = std::unordered_set<int>;

// The edges each node lists, as edge indices. Every listed id is resolved here, before the
// search, so a missing edge is reported whether or not the search would reach its node.
void index_listed_edges(const incidence_map &node_dict, const id_index &edge_index,
                        std::vector<std::size_t> &listed_offsets, std::vector<std::uint32_t> &listed) {
  listed_offsets.reserve(node_dict.size() + 1);
  listed_offsets.push_back(0);
  for (const auto &[node, edge_ids] : node_dict) {
    for (int edge : edge_ids) {
      const std::uint32_t e = edge_index.find(edge);
      if (e == id_index::absent)
        throw std::out_of_range("node " + std::to_string(node) + " lists edge " + std::to_string(edge) +
                                ", which is not a key of edge_dict");
      listed.push_back(e);
    }
    listed_offsets.push_back(listed.size());
  }
}

}  // namespace

bool is_connected(const incidence_map &node_dict, const incidence_map &edge_dict) {
  if (node_dict.empty()) return false;

  std::vector<std::int32_t> node_ids;
  node_ids.reserve(node_dict.size());
  for (const auto &entry : node_dict) node_ids.push_back(entry.first);
  std::vector<std::int32_t> edge_ids;
  std::vector<const member_set *> edge_members;
  edge_ids.reserve(edge_dict.size());
  edge_members.reserve(edge_dict.size());
  for (const auto &[edge, members] : edge_dict) {
    edge_ids.push_back(edge);
    edge_members.push_back(&members);
  }
  const id_index node_index = make_id_index(node_ids);
  std::vector<std::size_t> listed_offsets;
  std::vector<std::uint32_t> listed;
  index_listed_edges(node_dict, make_id_index(edge_ids), listed_offsets, listed);

  // Node index 0 is the start; a node enters the queue once, when it is marked.
  const std::size_t n = node_ids.size();
  std::vector<bool> visited_flag(n, false);
  std::vector<bool> edge_scanned(edge_ids.size(), false);
  std::vector<std::uint32_t> queue;
  queue.reserve(n);
  queue.push_back(0);
  visited_flag[0] = true;
  for (std::size_t head = 0; head < queue.size() && queue.size() < n; ++head) {
    const std::uint32_t current = queue[head];
    for (std::size_t p = listed_offsets[current]; p < listed_offsets[current + 1]; ++p) {
      const std::uint32_t e = listed[p];
      if (edge_scanned[e]) continue;
      edge_scanned[e] = true;
      for (int member : *edge_members[e]) {
        const std::uint32_t k = node_index.find(member);
        if (k == id_index::absent || visited_flag[k]) continue;
        visited_flag[k] = true;
        queue.push_back(k);
      }
    }
  }
  return queue.size() == n;
}
