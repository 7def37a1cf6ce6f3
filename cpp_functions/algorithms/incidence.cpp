// The incidence structure the centrality iteration runs over, built from the two flat maps.
//
// Contract: every member id of `edges` must be a key of `nodes` (else std::out_of_range names
// the first one that is not, in edge order); the values of `nodes` are not read. Element
// numbers are internal; node_slot and edge_class map the callers' indices onto them.
//
// Method.
// - Members are resolved to node indices by an id index (a flat table or bisection: the same
//   cost whatever the ids), in parallel.
// - Edges with the same member set get the same score in every round, so they merge into one
//   element that carries their count. The merge hashes each set as a sum of its members'
//   mixed indices (order does not matter), keyed by a seed drawn per call: an input cannot
//   steer many sets into one probe run, as it could against a fixed hash. Sets with equal
//   hash and size are compared by marking one set's members.
// - Sets are ordered by size and nodes by degree (counting sorts), so a side falls into runs
//   of elements with as many terms each, which the iteration walks without reading offsets.
//   Within a size, sets keep their order of first appearance and nodes the order in which the
//   sets reach them, so the gathers walk nearby memory.
// - Both sides' lists come from two transposes, each scanning its rows in order, so every
//   list is ascending without sorting; a team shares them out by contiguous parts of rows.
#include "incidence.hpp"

#include <algorithm>
#include <atomic>
#include <numeric>
#include <stdexcept>
#include <string>

#include "../id_index.hpp"
#include "../interrupt.hpp"
#include "../parallel.hpp"
#include "../seeded_hash.hpp"
#include "../transpose.hpp"

namespace cpp_functions {
namespace {

constexpr std::size_t serial_below_work = 1 << 16;  // incidences + edges resolved on one thread below
constexpr std::size_t edges_per_claim = 2048;
constexpr std::uint32_t edges_per_poll = 1 << 14;

// Member node indices of every edge, in each set's order, and the seeded hash of each set.
struct resolved_edges {
  array<std::uint32_t> members;
  array<std::uint64_t> hashes;
};

resolved_edges resolve_members(const incidence_map& nodes, const incidence_map& edges, std::uint64_t seed) {
  const id_index node_index = make_id_index(nodes.keys);
  resolved_edges r;
  r.members.resize(edges.ids.size());
  r.hashes.resize(edges.size());
  std::atomic<bool> missing{false};
  // Lookups cannot throw; a miss is only flagged here and located afterwards.
  parallel_for(edges.size(), edges_per_claim, team_size(edges.ids.size() + edges.size(), serial_below_work),
               [&](std::size_t first, std::size_t last, int) {
                 bool absent = false;
                 for (std::size_t e = first; e < last; ++e) {
                   const std::size_t begin = edges.offsets[e], end = edges.offsets[e + 1];
                   std::uint64_t h = mix64((end - begin) ^ seed);
                   for (std::size_t p = begin; p < end; ++p) {
                     const std::uint32_t k = node_index.find(edges.ids[p]);
                     absent = absent || k == id_index::absent;
                     r.members[p] = k;
                     h += mix64(k ^ ~seed);
                   }
                   r.hashes[e] = h;
                 }
                 if (absent) missing.store(true, std::memory_order_relaxed);
               });
  if (missing.load())
    for (std::size_t e = 0; e < edges.size(); ++e)
      for (std::size_t p = edges.offsets[e]; p < edges.offsets[e + 1]; ++p)
        if (r.members[p] == id_index::absent)
          throw std::out_of_range("edge " + std::to_string(edges.keys[e]) + " has member " +
                                  std::to_string(edges.ids[p]) + ", which is not a key of node_dict");
  return r;
}

// Groups the edges by member set, numbering the sets in order of first appearance, and
// returns the first edge of each set. Open addressing, at most half full, probing from the
// seeded hash.
std::vector<std::uint32_t> group_edges(const array<std::size_t>& offsets, const resolved_edges& r,
                                       std::size_t n, std::vector<std::uint32_t>& edge_class,
                                       std::size_t& probes) {
  const std::size_t m = offsets.size() - 1;
  const array<std::uint32_t>& members = r.members;
  std::size_t capacity = 16;
  while (capacity < 2 * m) capacity *= 2;
  constexpr std::uint32_t empty = UINT32_MAX;
  struct slot_entry {
    std::uint32_t fingerprint, set;
  };
  std::vector<slot_entry> table(capacity, slot_entry{0, empty});
  std::vector<std::uint32_t> first_edge;
  std::vector<std::uint32_t> mark(n, empty);  // node -> last edge whose members were marked
  edge_class.resize(m);
  interrupt_ticker ticker{edges_per_poll};
  for (std::size_t e = 0; e < m; ++e) {
    ticker.tick();
    const std::size_t size = offsets[e + 1] - offsets[e];
    const auto fingerprint = static_cast<std::uint32_t>(r.hashes[e] >> 32);
    std::size_t slot = r.hashes[e] & (capacity - 1);
    bool marked = false;
    std::uint32_t found = empty;
    for (; table[slot].set != empty; slot = (slot + 1) & (capacity - 1)) {
      ++probes;
      if (table[slot].fingerprint != fingerprint) continue;
      const std::uint32_t d = first_edge[table[slot].set];
      if (r.hashes[d] != r.hashes[e] || offsets[d + 1] - offsets[d] != size) continue;
      if (!marked) {
        for (std::size_t p = offsets[e]; p < offsets[e + 1]; ++p)
          mark[members[p]] = static_cast<std::uint32_t>(e);
        marked = true;
      }
      bool same = true;
      for (std::size_t p = offsets[d]; p < offsets[d + 1] && same; ++p) same = mark[members[p]] == e;
      if (same) {
        found = table[slot].set;
        break;
      }
    }
    if (found == empty) {
      found = static_cast<std::uint32_t>(first_edge.size());
      table[slot] = {fingerprint, found};
      first_edge.push_back(static_cast<std::uint32_t>(e));
    }
    edge_class[e] = found;
  }
  return first_edge;
}

// Positions 0, 1, ... in ascending key order, ties in index order (a counting sort).
std::vector<std::uint32_t> rank_by(const std::vector<std::size_t>& keys) {
  std::size_t top = 0;
  for (std::size_t k : keys) top = std::max(top, k);
  std::vector<std::size_t> first(top + 2, 0);
  for (std::size_t k : keys) ++first[k + 1];
  std::partial_sum(first.begin(), first.end(), first.begin());
  std::vector<std::uint32_t> rank(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) rank[i] = static_cast<std::uint32_t>(first[keys[i]]++);
  return rank;
}

void mark_runs(incidence_side& s) {
  s.run_first.clear();
  for (std::size_t i = 0; i < s.size(); ++i)
    if (i == 0 || s.offsets[i + 1] - s.offsets[i] != s.offsets[i] - s.offsets[i - 1])
      s.run_first.push_back(i);
  s.run_first.push_back(s.size());
}

}  // namespace

void check_members(const incidence_map& nodes, const incidence_map& edges) {
  resolve_members(nodes, edges, 0);
}

incidence_structure build_incidence(const incidence_map& nodes, const incidence_map& edges) {
  const std::size_t n = nodes.size();
  incidence_structure g;
  const resolved_edges resolved = resolve_members(nodes, edges, fresh_seed());
  std::vector<std::uint32_t> set_of_edge;
  const std::vector<std::uint32_t> first_edge =
      group_edges(edges.offsets, resolved, n, set_of_edge, g.merge_probes);
  const std::size_t sets = first_edge.size();

  std::vector<std::size_t> set_size(sets);
  for (std::uint32_t d = 0; d < sets; ++d)
    set_size[d] = edges.offsets[first_edge[d] + 1] - edges.offsets[first_edge[d]];
  const std::vector<std::uint32_t> set_rank = rank_by(set_size);
  std::vector<std::uint32_t> set_at(sets);
  for (std::uint32_t d = 0; d < sets; ++d) set_at[set_rank[d]] = d;
  g.edge_class.resize(edges.size());
  for (std::size_t e = 0; e < edges.size(); ++e) g.edge_class[e] = set_rank[set_of_edge[e]];

  // The sets in size order, listing node indices.
  array<std::size_t> set_offsets(sets + 1, 0);
  array<std::uint32_t> set_members;
  set_members.reserve(resolved.members.size());
  for (std::size_t d = 0; d < sets; ++d) {
    const std::uint32_t e = first_edge[set_at[d]];
    set_members.insert(set_members.end(),
                       resolved.members.begin() + static_cast<std::ptrdiff_t>(edges.offsets[e]),
                       resolved.members.begin() + static_cast<std::ptrdiff_t>(edges.offsets[e + 1]));
    set_offsets[d + 1] = set_members.size();
  }

  // Reach order: nodes as the size-ordered sets first reach them, then nodes in no edge.
  constexpr std::uint32_t unset = UINT32_MAX;
  std::vector<std::uint32_t> reach(n, unset);
  std::vector<std::size_t> degree_in_reach(n, 0);
  std::uint32_t next = 0;
  for (std::uint32_t k : set_members) {
    if (reach[k] == unset) reach[k] = next++;
    ++degree_in_reach[reach[k]];
  }
  for (std::uint32_t& r : reach)
    if (r == unset) r = next++;
  const std::vector<std::uint32_t> node_rank = rank_by(degree_in_reach);
  g.node_slot.resize(n);
  for (std::size_t i = 0; i < n; ++i) g.node_slot[i] = node_rank[reach[i]];

  // Node lists hold sets, set lists hold nodes, both ascending.
  for (std::uint32_t& k : set_members) k = g.node_slot[k];
  const int team = team_size(set_members.size(), serial_below_work);
  transpose(set_offsets, set_members, n, g.nodes.offsets, g.nodes.targets, team);
  transpose(g.nodes.offsets, g.nodes.targets, sets, g.edges.offsets, g.edges.targets, team);
  if (sets < edges.size()) {
    g.edges.counts.assign(sets, 0);
    for (std::uint32_t c : g.edge_class) ++g.edges.counts[c];
  }
  mark_runs(g.nodes);
  mark_runs(g.edges);
  return g;
}

}  // namespace cpp_functions
