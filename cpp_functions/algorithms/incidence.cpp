// The incidence structure the centrality iteration runs over, built from the two flat maps
// (contract in incidence.hpp).
//
// - Members are resolved to node indices by the id index, in parallel.
// - Edges with the same member set get the same score in every round, so they merge into one
//   element that carries their count. The merge hashes each set as a sum of its members'
//   mixed indices (order does not matter), keyed by a seed drawn per call, so no input can
//   steer many sets into one probe run (set_table).
// - Sets are ordered by size and nodes by degree (counting sorts), so a side falls into runs
//   of elements with as many terms each, which the iteration walks without reading offsets.
//   Within a size, sets keep their order of first appearance and nodes the order in which the
//   sets reach them, so the gathers walk nearby memory.
// - Node lists come from a transpose of the sets, set lists from one of the node lists back,
//   each scanning its rows in order, so every list is ascending without sorting.
#include "incidence.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>

#include "../boundary/interrupt.hpp"
#include "../runtime/id_index.hpp"
#include "../runtime/parallel.hpp"
#include "../runtime/seeded_hash.hpp"
#include "../runtime/test_counters.hpp"
#include "../runtime/transpose.hpp"

namespace cpp_functions {
namespace {

constexpr std::size_t serial_below_work = 1 << 16;  // incidences + edges resolved on one thread below
constexpr std::size_t edges_per_claim = 2048;
constexpr std::size_t slots_per_claim = 1 << 15;
constexpr std::size_t claims_per_poll = 64;  // edges grouped between two polls, in claims

// The members of one set, for testing those of another set of the same size: a table at
// most half full, sized by the largest set marked so far, not by the node count. Entries
// carry the mark's stamp, so a new mark needs no clearing. Slots come from a multiply-shift
// hash with a random odd multiplier: sets of node numbers chosen to share low bits still
// spread.
class member_marks {
 public:
  void mark(const std::uint32_t* members, std::size_t size) {
    if (2 * size > slots_.size() || ++stamp_ == 0) reset(size);
    for (std::size_t k = 0; k < size; ++k) {
      std::size_t slot = place(members[k]);
      while (slots_[slot] >> 32 == stamp_) slot = (slot + 1) & mask_;
      slots_[slot] = std::uint64_t{stamp_} << 32 | members[k];
    }
  }

  bool holds(std::uint32_t member) const {
    for (std::size_t slot = place(member);; slot = (slot + 1) & mask_) {
      const std::uint64_t held = slots_[slot];
      if (held >> 32 != stamp_) return false;
      if (static_cast<std::uint32_t>(held) == member) return true;
    }
  }

 private:
  void reset(std::size_t size) {
    std::size_t capacity = std::max<std::size_t>(16, slots_.size());
    int bits = 0;
    while (capacity < 2 * size) capacity *= 2;
    while ((std::size_t{1} << bits) < capacity) ++bits;
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
    shift_ = 64 - bits;
    stamp_ = 1;
  }

  std::size_t place(std::uint32_t member) const {
    return static_cast<std::size_t>((member * multiplier_) >> shift_);
  }

  std::uint64_t multiplier_ = fresh_seed() | 1;
  std::vector<std::uint64_t> slots_;
  std::size_t mask_ = 0;
  int shift_ = 64;
  std::uint32_t stamp_ = 0;
};

// Member node indices of every edge, in each set's order, and the seeded hash of each set.
struct resolved_edges {
  call_array<std::uint32_t> members;
  call_array<std::uint64_t> hashes;
};

// Throws std::out_of_range naming the first member, in edge order, that is not in node_index.
[[noreturn]] void throw_missing_member(const incidence_map& edges, const id_index& node_index) {
  for (std::size_t e = 0; e < edges.size(); ++e)
    for (std::size_t p = edges.offsets[e]; p < edges.offsets[e + 1]; ++p)
      if (node_index.find(edges.ids[p]) == id_index::absent)
        throw std::out_of_range("edge " + std::to_string(edges.keys[e]) + " has member " +
                                std::to_string(edges.ids[p]) + ", which is not a key of node_dict");
  throw std::logic_error("no missing member");
}

resolved_edges resolve_members(const incidence_map& nodes, const incidence_map& edges, std::uint64_t seed) {
  const id_index node_index(nodes.keys.data(), nodes.size(), team_size(nodes.keys.size(), serial_below_work));
  resolved_edges r;
  r.members.resize(edges.ids.size());
  r.hashes.resize(edges.size());
  std::atomic<bool> missing{false};
  // Lookups cannot throw; a miss is only flagged here and located afterwards.
  parallel_for(edges.size(), edges_per_claim, team_size(edges.ids.size() + edges.size(), serial_below_work),
               [&](std::size_t first, std::size_t last, int) {
                 const std::size_t begin = edges.offsets[first], end = edges.offsets[last];
                 if (!node_index.find_all(edges.ids.data() + begin, end - begin, r.members.data() + begin))
                   missing.store(true, std::memory_order_relaxed);
                 for (std::size_t e = first; e < last; ++e) {
                   std::uint64_t h = mix64((edges.offsets[e + 1] - edges.offsets[e]) ^ seed);
                   for (std::size_t p = edges.offsets[e]; p < edges.offsets[e + 1]; ++p)
                     h += mix64(r.members[p] ^ ~seed);
                   r.hashes[e] = h;
                 }
               });
  if (missing.load()) throw_missing_member(edges, node_index);
  return r;
}

// Edges grouped by member set: class_of[e] numbers e's set in order of first appearance, and
// first_edge[c] is the first edge of set c.
struct edge_groups {
  call_array<std::uint32_t> class_of;
  std::vector<std::uint32_t> first_edge;
};

// One table shared by the team: open addressing, at most half full, probing from the seeded
// hash. A slot holds a set's fingerprint and one of its edges; it is claimed once, by
// compare-and-swap, and then keeps the smallest edge of its set. So every edge of a set ends
// at the same slot, whichever thread comes first, and the numbering after it is one thread's.
class set_table {
 public:
  // The slots are cleared by the team, which also faults their pages in.
  set_table(const call_array<std::size_t>& offsets, const resolved_edges& r, int team)
      : offsets_(offsets),
        r_(r),
        mask_(capacity_for(offsets.size() - 1) - 1),
        slots_(new std::atomic<std::uint64_t>[mask_ + 1]) {
    parallel_for(mask_ + 1, slots_per_claim, team, [&](std::size_t first, std::size_t last, int) {
      for (std::size_t slot = first; slot < last; ++slot) slots_[slot].store(0, std::memory_order_relaxed);
    });
  }

  // The slot of e's set. marks is the participant's own scratch.
  std::size_t place(std::uint32_t e, member_marks& marks, std::size_t& probes) const {
    const std::uint64_t own = (r_.hashes[e] >> 32 << 32) | (std::uint64_t{e} + 1);
    bool marked = false;
    for (std::size_t slot = r_.hashes[e] & mask_;;
         slot = (slot + 1) & mask_, CPP_FUNCTIONS_COUNT(probes, 1)) {
      std::uint64_t held = slots_[slot].load(std::memory_order_acquire);
      if (held == 0 && slots_[slot].compare_exchange_strong(held, own, std::memory_order_acq_rel))
        return slot;
      if ((held ^ own) >> 32 != 0 || !same_set(edge_in(held), e, marks, marked)) continue;
      while (e < edge_in(held) && !slots_[slot].compare_exchange_weak(held, own, std::memory_order_acq_rel)) {
      }
      return slot;
    }
  }

  std::uint32_t smallest_edge(std::size_t slot) const {
    return edge_in(slots_[slot].load(std::memory_order_relaxed));
  }

 private:
  static std::size_t capacity_for(std::size_t m) {
    std::size_t capacity = 16;
    while (capacity < 2 * m) capacity *= 2;
    return capacity;
  }
  static std::uint32_t edge_in(std::uint64_t held) { return static_cast<std::uint32_t>(held) - 1; }

  // Whether edges d and e have equal member sets: equal hash and size, then d's members found
  // among e's (members of a set are distinct).
  bool same_set(std::uint32_t d, std::uint32_t e, member_marks& marks, bool& marked) const {
    const std::size_t size = offsets_[e + 1] - offsets_[e];
    if (r_.hashes[d] != r_.hashes[e] || offsets_[d + 1] - offsets_[d] != size) return false;
    if (!marked) {
      marks.mark(r_.members.data() + offsets_[e], size);
      marked = true;
    }
    for (std::size_t p = offsets_[d]; p < offsets_[d + 1]; ++p)
      if (!marks.holds(r_.members[p])) return false;
    return true;
  }

  const call_array<std::size_t>& offsets_;
  const resolved_edges& r_;
  std::size_t mask_;
  std::unique_ptr<std::atomic<std::uint64_t>[]> slots_;  // 0: empty
};

edge_groups group_edges(const call_array<std::size_t>& offsets, const resolved_edges& r,
                        std::size_t& probes) {
  const std::size_t m = offsets.size() - 1;
  const int team = team_size(r.members.size() + m, serial_below_work);
  const set_table table(offsets, r, team);
  call_array<std::size_t> slot_of(m);
  std::vector<member_marks> marks(static_cast<std::size_t>(team));
  std::atomic<std::size_t> probed{0};
  const std::size_t chunks = (m + edges_per_claim - 1) / edges_per_claim;
  // Polls between parts of the edges; a part is one job for the team.
  for (std::size_t part = 0; part < chunks; part += claims_per_poll) {
    poll_interrupt();
    parallel_chunks(std::min(chunks - part, claims_per_poll), team, [&](std::size_t chunk, int participant) {
      std::size_t steps = 0;
      member_marks& mark = marks[static_cast<std::size_t>(participant)];
      const std::size_t first = (part + chunk) * edges_per_claim;
      const std::size_t last = std::min(m, first + edges_per_claim);
      for (std::size_t e = first; e < last; ++e) {
        slot_of[e] = table.place(static_cast<std::uint32_t>(e), mark, steps);
      }
      CPP_FUNCTIONS_COUNT(probed, steps);
    });
  }
  probes += probed.load();

  // Sets numbered in order of their first edges: each edge's first edge, each chunk's first
  // edges numbered from where the chunks before it end, the others' numbers copied.
  edge_groups g;
  call_array<std::uint32_t> first_of(m);
  count_then_fill(
      m, edges_per_claim, team,
      [&](std::size_t first, std::size_t last) {
        std::size_t firsts = 0;
        for (std::size_t e = first; e < last; ++e) {
          first_of[e] = table.smallest_edge(slot_of[e]);
          firsts += first_of[e] == e;
        }
        return firsts;
      },
      [&](std::size_t sets) {
        g.first_edge.resize(sets);
        g.class_of.resize(m);
      },
      [&](std::size_t first, std::size_t last, std::size_t number) {
        for (std::size_t e = first; e < last; ++e)
          if (first_of[e] == e) {
            g.first_edge[number] = static_cast<std::uint32_t>(e);
            g.class_of[e] = static_cast<std::uint32_t>(number++);
          }
      });
  parallel_chunks(chunks, team, [&](std::size_t chunk, int) {
    const std::size_t first = chunk * edges_per_claim, last = std::min(m, first + edges_per_claim);
    for (std::size_t e = first; e < last; ++e)
      if (first_of[e] != e) g.class_of[e] = g.class_of[first_of[e]];  // numbered before
  });
  return g;
}

// Positions 0, 1, ... in ascending key order, ties in index order (a counting sort).
std::vector<std::uint32_t> rank_by(const std::vector<std::size_t>& keys) {
  std::size_t top = 0;
  polled_loop(keys.size(), poll_interrupt, [&](std::size_t i) { top = std::max(top, keys[i]); });
  std::vector<std::size_t> first(top + 2, 0);
  polled_loop(keys.size(), poll_interrupt, [&](std::size_t i) { ++first[keys[i] + 1]; });
  std::partial_sum(first.begin(), first.end(), first.begin());
  std::vector<std::uint32_t> rank(keys.size());
  polled_loop(keys.size(), poll_interrupt,
              [&](std::size_t i) { rank[i] = static_cast<std::uint32_t>(first[keys[i]]++); });
  return rank;
}

void mark_runs(incidence_side& s) {
  s.run_first.clear();
  polled_loop(s.size(), poll_interrupt, [&](std::size_t i) {
    if (i == 0 || s.offsets[i + 1] - s.offsets[i] != s.offsets[i] - s.offsets[i - 1])
      s.run_first.push_back(i);
  });
  s.run_first.push_back(s.size());
}

}  // namespace

void check_members(const incidence_map& nodes, const incidence_map& edges) {
  constexpr std::size_t ids_per_claim = 1 << 14;
  check_positions(edges.size());
  const id_index node_index(nodes.keys.data(), nodes.size(), team_size(nodes.keys.size(), serial_below_work));
  std::atomic<bool> missing{false};
  parallel_for(edges.ids.size(), ids_per_claim, team_size(edges.ids.size(), serial_below_work),
               [&](std::size_t first, std::size_t last, int) {
                 if (!node_index.find_all(edges.ids.data() + first, last - first, nullptr))
                   missing.store(true, std::memory_order_relaxed);
               });
  if (missing.load()) throw_missing_member(edges, node_index);
}

incidence_structure build_incidence(const incidence_map& nodes, const incidence_map& edges) {
  check_positions(edges.size());  // edges are numbered in 32 bits, and the set table keeps e + 1
  const std::size_t n = nodes.size();
  incidence_structure g;
  const resolved_edges resolved = resolve_members(nodes, edges, fresh_seed());
  const edge_groups groups = group_edges(edges.offsets, resolved, g.merge_probes);
  const std::vector<std::uint32_t>& first_edge = groups.first_edge;
  const std::size_t sets = first_edge.size();
  const int team = team_size(resolved.members.size() + edges.size(), serial_below_work);

  std::vector<std::size_t> set_size(sets);
  polled_loop(sets, poll_interrupt, [&](std::size_t d) {
    set_size[d] = edges.offsets[first_edge[d] + 1] - edges.offsets[first_edge[d]];
  });
  const std::vector<std::uint32_t> set_rank = rank_by(set_size);
  std::vector<std::uint32_t> set_at(sets);
  polled_loop(sets, poll_interrupt,
              [&](std::size_t d) { set_at[set_rank[d]] = static_cast<std::uint32_t>(d); });
  g.edge_class.resize(edges.size());
  parallel_for(edges.size(), edges_per_claim, team, [&](std::size_t first, std::size_t last, int) {
    for (std::size_t e = first; e < last; ++e) g.edge_class[e] = set_rank[groups.class_of[e]];
  });

  // The sets in size order, listing node indices.
  call_array<std::size_t> set_offsets(sets + 1);
  set_offsets[0] = 0;
  polled_loop(sets, poll_interrupt,
              [&](std::size_t d) { set_offsets[d + 1] = set_offsets[d] + set_size[set_at[d]]; });
  call_array<std::uint32_t> set_members(set_offsets[sets]);
  parallel_for(sets, edges_per_claim, team, [&](std::size_t first, std::size_t last, int) {
    for (std::size_t d = first; d < last; ++d) {
      const std::uint32_t e = first_edge[set_at[d]];
      std::copy(resolved.members.begin() + static_cast<std::ptrdiff_t>(edges.offsets[e]),
                resolved.members.begin() + static_cast<std::ptrdiff_t>(edges.offsets[e + 1]),
                set_members.begin() + static_cast<std::ptrdiff_t>(set_offsets[d]));
    }
  });

  // Reach order: nodes as the size-ordered sets first reach them, then nodes in no edge.
  constexpr std::uint32_t unset = UINT32_MAX;
  std::vector<std::uint32_t> reach(n, unset);
  std::vector<std::size_t> degree_in_reach(n, 0);
  std::uint32_t next = 0;
  polled_loop(set_members.size(), poll_interrupt, [&](std::size_t p) {
    const std::uint32_t k = set_members[p];
    if (reach[k] == unset) reach[k] = next++;
    ++degree_in_reach[reach[k]];
  });
  polled_loop(n, poll_interrupt, [&](std::size_t i) {
    if (reach[i] == unset) reach[i] = next++;
  });
  const std::vector<std::uint32_t> node_rank = rank_by(degree_in_reach);
  g.node_slot.resize(n);
  polled_loop(n, poll_interrupt, [&](std::size_t i) { g.node_slot[i] = node_rank[reach[i]]; });

  // Node lists hold sets, set lists hold nodes, both ascending.
  parallel_for(set_members.size(), edges_per_claim * 8, team, [&](std::size_t first, std::size_t last, int) {
    for (std::size_t p = first; p < last; ++p) set_members[p] = g.node_slot[set_members[p]];
  });
  transpose(set_offsets, set_members, n, g.nodes.offsets, g.nodes.targets, team);
  transpose(g.nodes.offsets, g.nodes.targets, sets, g.edges.offsets, g.edges.targets, team);
  if (sets < edges.size()) {
    g.edges.counts.assign(sets, 0);
    polled_loop(g.edge_class.size(), poll_interrupt,
                [&](std::size_t e) { ++g.edges.counts[g.edge_class[e]]; });
  }
  mark_runs(g.nodes);
  mark_runs(g.edges);
  return g;
}

}  // namespace cpp_functions
