// Node and edge centralities by a nonlinear power iteration over the incidence structure:
//   new_x[i] = sqrt(sqrt(sum of y[e]^2 over the edges e holding node i) * x[i])
//   new_y[e] = sqrt(sqrt(sum of x[k]^2 over the members k of edge e) * y[e])
// each vector then scaled to absolute sum 1, until the summed absolute change of both falls
// below tol or max_iter rounds have run.
//
// Method.
// - Edges with the same member set have the same score in every round (same start, same
//   update), so each set is iterated once and carries its multiplicity: an edge term counts
//   that many times in a node's sum, in the scale and in the change.
// - Sets are ordered by size and nodes by degree, so a side falls into runs of elements with
//   as many terms each: within a run, element k's terms start at the run's start plus k times
//   the size, so a pass reads no offsets and picks its fixed-size sum once per run. Within a
//   size, sets keep their order of first appearance and nodes the order in which the sets
//   reach them, and every list is ascending, so gathers walk nearby memory. Both sides
//   gather: a set over its members, a node over the sets holding it. Neither needs
//   accumulators to clear or merge.
// - A round is one pass. The raw (unscaled) scores of a round are stored; readers multiply by
//   the round's reciprocal scale, which yields exactly the scaled value that would have been
//   stored. A set that stands for several edges also stores count * raw^2, the term nodes add;
//   for the other elements the gatherer squares the raw score, the same product. A gathered
//   sum is scaled once by the square of the reciprocal. The change of round r needs
//   the scale of round r, known only once round r has ended, so pass r + 1 adds it up while
//   it computes round r + 1. When that change stops the iteration, round r + 1 is dropped
//   and round r is the result.
// - Each element's raw score of the round before last is needed only by the element itself,
//   so the new raw score overwrites it: two arrays per side.
//
// Reproducibility. Every sum has a fixed order: a gathered sum puts term p in lane p % 4 and
// adds the lanes as (0 + 1) + (2 + 3); a block's partial sums put element j of a batch in
// lane j % 8 and add the lanes pairwise; vector totals add the fixed blocks in block order.
// Blocks depend on the input alone, so results are bit-identical from call to call and for
// any team size. The update runs in builds for several instruction sets, picked at run time;
// each performs the same operations in the same order (no contraction into fused
// multiply-adds), so results do not depend on the processor either.
#include "centrality.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "../hash_order.hpp"
#include "../interrupt.hpp"
#include "../parallel.hpp"

namespace {

using cpp_functions::centrality_variant;
using cpp_functions::id_index;
using cpp_functions::incidence_map;
using cpp_functions::make_id_index;
using cpp_functions::team_size;

constexpr int thread_setting = 8;                   // the setting every call leaves behind
constexpr std::size_t serial_below_work = 1 << 16;  // incidences + elements run on one thread below
constexpr std::size_t block_work = 1 << 14;         // work per partial-sum block
constexpr std::size_t element_work = 4;             // an update costs about four gathered terms
constexpr std::size_t gather_lanes = 4;
constexpr std::size_t sum_lanes = 8;
constexpr std::size_t batch = 64;  // elements gathered before their updates; a multiple of sum_lanes

// One side of the incidence seen from its elements: element i gathers the other side's
// elements targets[offsets[i] .. offsets[i+1]). counts (when not empty) is each element's
// own multiplicity.
struct side {
  std::vector<std::size_t> offsets{0};
  std::vector<std::uint32_t> targets;
  std::vector<std::uint32_t> counts;
  std::vector<std::size_t> blocks;     // first element of each partial-sum block, then the end
  std::vector<std::size_t> run_first;  // first element of each run of equal sizes, then the end

  std::size_t size() const { return offsets.size() - 1; }
};

struct incidence_structure {
  std::vector<std::uint32_t> node_slot;   // node index (node_dict order) -> internal node
  std::vector<std::uint32_t> edge_class;  // edge index (edge_dict order) -> distinct member set
  side nodes;                             // internal nodes, gathering distinct edges
  side edges;                             // distinct edges, gathering internal nodes
};

std::uint64_t mix(std::uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  return k ^ (k >> 33);
}

// Member node indices of every edge (in each set's order) and a hash of each member set.
// The hash is a sum over the members, so it ignores their order. Throws naming the first
// absent member in edge order.
struct resolved_edges {
  std::vector<std::uint32_t> members;
  std::vector<std::uint64_t> hashes;
};

resolved_edges resolve_members(const incidence_map& nodes, const incidence_map& edges) {
  const id_index node_index = make_id_index(nodes.keys);
  resolved_edges r;
  r.members.resize(edges.ids.size());
  r.hashes.resize(edges.size());
  bool missing = false;
  const auto m = static_cast<std::int64_t>(edges.size());
  // Lookups cannot throw; a miss is only flagged here and located afterwards.
#pragma omp parallel for schedule(static) reduction(|| : missing) \
    num_threads(team_size(edges.ids.size() + edges.size(), serial_below_work))
  for (std::int64_t e = 0; e < m; ++e) {
    const std::size_t begin = edges.offsets[e], end = edges.offsets[e + 1];
    std::uint64_t h = mix(end - begin);
    for (std::size_t p = begin; p < end; ++p) {
      const std::uint32_t k = node_index.find(edges.ids[p]);
      missing = missing || k == id_index::absent;
      r.members[p] = k;
      h += mix(k + 1ULL);
    }
    r.hashes[e] = h;
  }
  if (missing)
    for (std::size_t e = 0; e < edges.size(); ++e)
      for (std::size_t p = edges.offsets[e]; p < edges.offsets[e + 1]; ++p)
        if (r.members[p] == id_index::absent)
          throw std::out_of_range("edge " + std::to_string(edges.keys[e]) + " has member " +
                                  std::to_string(edges.ids[p]) + ", which is not a key of node_dict");
  return r;
}

// Groups the edges by member set, numbering the sets in order of first appearance. Returns
// the first edge of each set. Candidates with equal hash and size are confirmed by marking
// one edge's members.
std::vector<std::uint32_t> group_edges(const std::vector<std::size_t>& offsets, const resolved_edges& r,
                                       std::size_t n, std::vector<std::uint32_t>& edge_class) {
  const std::size_t m = offsets.size() - 1;
  const std::vector<std::uint32_t>& members = r.members;
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
  cpp_functions::interrupt_ticker ticker{1 << 16};
  for (std::size_t e = 0; e < m; ++e) {
    ticker.tick();
    const std::size_t size = offsets[e + 1] - offsets[e];
    const auto fingerprint = static_cast<std::uint32_t>(r.hashes[e] >> 32);
    std::size_t slot = r.hashes[e] & (capacity - 1);
    bool marked = false;
    std::uint32_t found = empty;
    for (; table[slot].set != empty; slot = (slot + 1) & (capacity - 1)) {
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

// Finds the runs of elements with as many terms, and cuts the elements into blocks of about
// block_work.
void cut_runs_and_blocks(side& s) {
  s.run_first.clear();
  for (std::size_t i = 0; i < s.size(); ++i)
    if (i == 0 || s.offsets[i + 1] - s.offsets[i] != s.offsets[i] - s.offsets[i - 1])
      s.run_first.push_back(i);
  s.run_first.push_back(s.size());
  s.blocks.assign(1, 0);
  std::size_t work = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    work += s.offsets[i + 1] - s.offsets[i] + element_work;
    if (work >= block_work) {
      s.blocks.push_back(i + 1);
      work = 0;
    }
  }
  if (s.blocks.back() != s.size()) s.blocks.push_back(s.size());
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

// Edge sets ordered by size, nodes by degree, so that neighbouring elements gather as many
// terms and the loop branches are predictable. Within a size, sets keep the order of first
// appearance and nodes the order in which the sets reach them, so gathers walk nearby memory.
incidence_structure build_structure(const incidence_map& nodes, const incidence_map& edges) {
  const std::size_t n = nodes.size();
  incidence_structure g;
  const resolved_edges resolved = resolve_members(nodes, edges);
  const std::vector<std::uint32_t>& members = resolved.members;
  std::vector<std::uint32_t> set_of_edge;
  const std::vector<std::uint32_t> first_edge = group_edges(edges.offsets, resolved, n, set_of_edge);
  const std::size_t sets = first_edge.size();
  auto members_of = [&](std::uint32_t set) {
    const std::uint32_t e = first_edge[set];
    return std::make_pair(members.data() + edges.offsets[e], members.data() + edges.offsets[e + 1]);
  };

  std::vector<std::size_t> set_size(sets);
  for (std::uint32_t d = 0; d < sets; ++d)
    set_size[d] = edges.offsets[first_edge[d] + 1] - edges.offsets[first_edge[d]];
  const std::vector<std::uint32_t> set_rank = rank_by(set_size);
  std::vector<std::uint32_t> set_at(sets);
  for (std::uint32_t d = 0; d < sets; ++d) set_at[set_rank[d]] = d;
  g.edge_class.resize(edges.size());
  for (std::size_t e = 0; e < edges.size(); ++e) g.edge_class[e] = set_rank[set_of_edge[e]];

  // Reach order: nodes as the size-ordered sets first reach them, then nodes in no edge.
  constexpr std::uint32_t unset = UINT32_MAX;
  std::vector<std::uint32_t> reach(n, unset);
  std::vector<std::size_t> degree_in_reach(n, 0);
  std::uint32_t next = 0;
  for (std::uint32_t d : set_at) {
    const auto [begin, end] = members_of(d);
    for (const std::uint32_t* k = begin; k != end; ++k) {
      if (reach[*k] == unset) reach[*k] = next++;
      ++degree_in_reach[reach[*k]];
    }
  }
  for (std::uint32_t& r : reach)
    if (r == unset) r = next++;
  const std::vector<std::uint32_t> node_rank = rank_by(degree_in_reach);
  g.node_slot.resize(n);
  for (std::size_t i = 0; i < n; ++i) g.node_slot[i] = node_rank[reach[i]];

  // Two transposes by counting sort; each scans its source in ascending order, so every
  // list comes out ascending without sorting: node lists hold sets, set lists hold nodes.
  side &es = g.edges, &ns = g.nodes;
  ns.offsets.assign(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) ns.offsets[node_rank[i] + 1] = degree_in_reach[i];
  std::partial_sum(ns.offsets.begin(), ns.offsets.end(), ns.offsets.begin());
  ns.targets.resize(ns.offsets[n]);
  std::vector<std::size_t> fill(ns.offsets.begin(), ns.offsets.end() - 1);
  for (std::uint32_t d = 0; d < sets; ++d) {
    const auto [begin, end] = members_of(set_at[d]);
    for (const std::uint32_t* k = begin; k != end; ++k) ns.targets[fill[g.node_slot[*k]]++] = d;
  }
  es.offsets.resize(sets + 1);
  es.offsets[0] = 0;
  for (std::size_t d = 0; d < sets; ++d) es.offsets[d + 1] = es.offsets[d] + set_size[set_at[d]];
  es.targets.resize(es.offsets[sets]);
  fill.assign(es.offsets.begin(), es.offsets.end() - 1);
  for (std::uint32_t i = 0; i < n; ++i)
    for (std::size_t p = ns.offsets[i]; p < ns.offsets[i + 1]; ++p) es.targets[fill[ns.targets[p]]++] = i;
  if (sets < edges.size()) {
    es.counts.assign(sets, 0);
    for (std::uint32_t c : g.edge_class) ++es.counts[c];
  }
  cut_runs_and_blocks(ns);
  cut_runs_and_blocks(es);
  return g;
}

// What one pass over a side's elements reads and writes. `own` holds the raw scores of the
// last round and `older` those of the round before, which the pass overwrites with the new
// ones. Multiplying a raw score by its round's inverse scale gives the round's score.
// `other` holds the other side's last round: count * raw^2 where that side has counts (the
// terms its elements add to a gathered sum), else the raw scores, which the gather squares.
// A side with counts writes its count * raw^2 into `next_squares`.
struct pass_args {
  const std::size_t* offsets;
  const std::size_t* run_first;
  std::size_t runs;
  const std::uint32_t* targets;
  const std::uint32_t* counts;
  const double* other;
  double other_scale;
  const double* own;
  double own_scale;
  double* older;
  double older_scale;
  double* next_squares;
};

// Term p of a gathered sum. Squaring a raw score here is the product the other side would
// have stored (its count is 1), so both give the same bits.
template <bool Squared>
[[gnu::always_inline]] inline double term(const pass_args& a, std::size_t p) {
  const double v = a.other[a.targets[p]];
  if constexpr (Squared)
    return v;
  else
    return v * v;
}

// Sum of the terms [p, end), term p + q in lane q % 4, lanes added as (0 + 1) + (2 + 3).
// Lanes are named registers: an indexed array would live in memory.
template <bool Squared>
[[gnu::always_inline]] inline double gather(const pass_args& a, std::size_t p, std::size_t end) {
  double lane0 = 0.0, lane1 = 0.0, lane2 = 0.0, lane3 = 0.0;
  for (; p + gather_lanes <= end; p += gather_lanes) {
    lane0 += term<Squared>(a, p);
    lane1 += term<Squared>(a, p + 1);
    lane2 += term<Squared>(a, p + 2);
    lane3 += term<Squared>(a, p + 3);
  }
  if (p < end) lane0 += term<Squared>(a, p);
  if (p + 1 < end) lane1 += term<Squared>(a, p + 1);
  if (p + 2 < end) lane2 += term<Squared>(a, p + 2);
  return (lane0 + lane1) + (lane2 + lane3);
}

// The same sum for exactly Size terms, without branches.
template <std::size_t Size, bool Squared>
[[gnu::always_inline]] inline double gather_fixed(const pass_args& a, std::size_t p) {
  double lane[gather_lanes] = {0.0, 0.0, 0.0, 0.0};
  for (std::size_t q = 0; q < Size; ++q) lane[q % gather_lanes] += term<Squared>(a, p + q);
  return (lane[0] + lane[1]) + (lane[2] + lane[3]);
}

// Sums of the elements [first + j, first + stop) of one run, whose terms start at p: they
// have Size terms each and lie one after another.
template <std::size_t Size, bool Squared>
[[gnu::always_inline]] inline void gather_run(const pass_args& a, double* sums, std::size_t j,
                                              std::size_t stop, std::size_t p) {
  for (; j < stop; ++j, p += Size) sums[j] = gather_fixed<Size, Squared>(a, p);
}

// Sums of the elements [first, first + count) into sums[0 .. count). `run` is the run that
// holds `first` and moves on as the elements do. The branch on the size is taken once per
// run, and no offsets are read within a run.
template <bool Squared>
[[gnu::always_inline]] inline void gather_batch(const pass_args& a, std::size_t first, std::size_t count,
                                                std::size_t& run, double* sums) {
  for (std::size_t j = 0; j < count;) {
    while (a.run_first[run + 1] <= first + j) ++run;
    const std::size_t start = a.run_first[run];
    const std::size_t stop = std::min(count, a.run_first[run + 1] - first);
    const std::size_t size = a.offsets[start + 1] - a.offsets[start];
    const std::size_t p = a.offsets[start] + (first + j - start) * size;
    switch (size) {
      case 0:
        std::fill(sums + j, sums + stop, 0.0);
        break;
      case 1:
        gather_run<1, Squared>(a, sums, j, stop, p);
        break;
      case 2:
        gather_run<2, Squared>(a, sums, j, stop, p);
        break;
      case 3:
        gather_run<3, Squared>(a, sums, j, stop, p);
        break;
      case 4:
        gather_run<4, Squared>(a, sums, j, stop, p);
        break;
      case 5:
        gather_run<5, Squared>(a, sums, j, stop, p);
        break;
      case 6:
        gather_run<6, Squared>(a, sums, j, stop, p);
        break;
      case 7:
        gather_run<7, Squared>(a, sums, j, stop, p);
        break;
      case 8:
        gather_run<8, Squared>(a, sums, j, stop, p);
        break;
      default:
        for (std::size_t q = j, r = p; q < stop; ++q, r += size) sums[q] = gather<Squared>(a, r, r + size);
    }
    j = stop;
  }
}

double lane_total(const double* lane) {
  return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
}

// Updates elements [lo, hi): writes their new raw scores over `older`, and returns the
// block's sum of count * |new raw score| and of count * |score - previous score|. Counts: the
// side has counts (and stores its squares); Squared: the other side has them.
template <bool Counts, bool Squared>
[[gnu::always_inline]] inline void update_block_body(const pass_args& args, std::size_t lo, std::size_t hi,
                                                     double* abs_part, double* diff_part) {
  const pass_args a = args;  // a local copy: stores below cannot change it, so it stays in registers
  const double* __restrict own = a.own;
  double* __restrict older = a.older;
  const std::uint32_t* __restrict counts = a.counts;
  double* __restrict next_squares = a.next_squares;
  const double own_scale = a.own_scale, older_scale = a.older_scale;
  // The raw terms were squared before scaling: scale them as a sum.
  const double square_scale = a.other_scale * a.other_scale;
  alignas(64) double sums[batch];
  alignas(64) double abs_terms[batch];
  alignas(64) double diff_terms[batch];
  double abs_lane[sum_lanes] = {}, diff_lane[sum_lanes] = {};
  std::size_t run =
      static_cast<std::size_t>(std::upper_bound(a.run_first, a.run_first + a.runs, lo) - a.run_first) - 1;
  for (std::size_t first = lo; first < hi; first += batch) {
    const std::size_t count = std::min(batch, hi - first);
    gather_batch<Squared>(a, first, count, run, sums);
    for (std::size_t j = 0; j < count; ++j) {
      const std::size_t i = first + j;
      const double current = own[i] * own_scale;
      const double previous = older[i] * older_scale;
      const double next = std::sqrt(std::sqrt(sums[j] * square_scale) * current);
      older[i] = next;
      double weight = 1.0;
      if constexpr (Counts) {
        weight = static_cast<double>(counts[i]);
        next_squares[i] = next * next * weight;
      }
      abs_terms[j] = std::fabs(next) * weight;
      diff_terms[j] = std::fabs(current - previous) * weight;
    }
    const std::size_t padded = (count + sum_lanes - 1) / sum_lanes * sum_lanes;
    for (std::size_t j = count; j < padded; ++j) abs_terms[j] = diff_terms[j] = 0.0;
    for (std::size_t j = 0; j < padded; j += sum_lanes)
      for (std::size_t l = 0; l < sum_lanes; ++l) {
        abs_lane[l] += abs_terms[j + l];
        diff_lane[l] += diff_terms[j + l];
      }
  }
  *abs_part = lane_total(abs_lane);
  *diff_part = lane_total(diff_lane);
}

using update_block_fn = void (*)(const pass_args&, std::size_t, std::size_t, double*, double*);

// One build per instruction set; the bodies are the same operations in the same order.
template <bool Counts, bool Squared>
void update_block_baseline(const pass_args& a, std::size_t lo, std::size_t hi, double* abs_part,
                           double* diff_part) {
  update_block_body<Counts, Squared>(a, lo, hi, abs_part, diff_part);
}

template <bool Counts, bool Squared>
[[gnu::target("avx2")]] void update_block_avx2(const pass_args& a, std::size_t lo, std::size_t hi,
                                               double* abs_part, double* diff_part) {
  update_block_body<Counts, Squared>(a, lo, hi, abs_part, diff_part);
}

template <bool Counts, bool Squared>
[[gnu::target("avx512f")]] void update_block_avx512(const pass_args& a, std::size_t lo, std::size_t hi,
                                                    double* abs_part, double* diff_part) {
  update_block_body<Counts, Squared>(a, lo, hi, abs_part, diff_part);
}

centrality_variant best_variant() {
  if (__builtin_cpu_supports("avx512f")) return centrality_variant::avx512;
  if (__builtin_cpu_supports("avx2")) return centrality_variant::avx2;
  return centrality_variant::baseline;
}

template <bool Counts, bool Squared>
update_block_fn pick(centrality_variant variant) {
  switch (variant) {
    case centrality_variant::avx512:
      return update_block_avx512<Counts, Squared>;
    case centrality_variant::avx2:
      return update_block_avx2<Counts, Squared>;
    default:
      return update_block_baseline<Counts, Squared>;
  }
}

// Raw scores of one side, and count * raw^2 (the other side's terms) where it has counts.
struct side_scores {
  std::vector<double> own, older;             // last round, round before (trade places every pass)
  std::vector<double> squares, next_squares;  // last round, this pass's (trade places too)
};

double inverse_scale(double abs_sum) { return abs_sum != 0.0 ? 1.0 / abs_sum : 1.0; }

double block_total(const double* partials, std::size_t begin, std::size_t end) {
  double total = 0.0;
  for (std::size_t b = begin; b < end; ++b) total += partials[b];
  return total;
}

// Where share j of `parts` starts when blocks go to threads by their measured cost: the first
// block whose cost midpoint lies past j/parts of the total, or an even split by count before
// anything is measured. Every thread computes the boundaries from the same numbers in the
// same order, so the shares tile the blocks exactly.
std::size_t share_start(const double* cost, std::size_t blocks, double total, int parts, int j) {
  if (j >= parts) return blocks;
  if (!(total > 0.0)) return blocks * static_cast<std::size_t>(j) / static_cast<std::size_t>(parts);
  const double target = total * j / parts;
  double before = 0.0;
  for (std::size_t b = 0; b < blocks; ++b) {
    if (before + cost[b] / 2 >= target) return b;
    before += cost[b];
  }
  return blocks;
}

struct iteration_result {
  const double* node_raw;
  double node_scale;
  const double* edge_raw;
  double edge_scale;
};

// Runs the iteration from the start scores in x.own and y.own.
iteration_result iterate(const incidence_structure& g, centrality_variant variant, int max_iter, double tol,
                         side_scores& x, side_scores& y) {
  const side &ns = g.nodes, &es = g.edges;
  const std::size_t node_blocks = ns.blocks.size() - 1, edge_blocks = es.blocks.size() - 1;
  const std::size_t blocks = node_blocks + edge_blocks;
  // Partials per block, by pass parity: a thread may start the next pass while another still
  // reads this one's.
  std::vector<double> abs_parts(2 * blocks), diff_parts(2 * blocks);
  // Seconds per block, recent passes weighted most, by pass parity too. Node and edge blocks
  // of equal work differ in cost (their gathers reach tables of different sizes), and a core
  // of a shared machine may run slow for a while; an even split would idle the other thread
  // at every barrier. The schedule does not touch the bits: each block's sums stay its own.
  std::vector<double> block_cost(2 * blocks);
  // Nodes are distinct, so only edge sets can carry counts.
  const bool counted = !es.counts.empty();
  const update_block_fn node_update = counted ? pick<false, true>(variant) : pick<false, false>(variant);
  const update_block_fn edge_update = counted ? pick<true, false>(variant) : pick<false, false>(variant);
  iteration_result result{};
  std::atomic<int> interrupted_pass{0};
  cpp_functions::region_error error;
  const std::size_t work = 2 * es.targets.size() + ns.size() + es.size();
#pragma omp parallel num_threads(team_size(work, serial_below_work))
  {
    double *x_own = x.own.data(), *x_older = x.older.data(), *y_own = y.own.data(), *y_older = y.older.data();
    double *y_squares = y.squares.data(), *y_next_squares = y.next_squares.data();
    double x_scale = 1.0, y_scale = 1.0, x_older_scale = 1.0, y_older_scale = 1.0;
    for (int pass = 1;; ++pass) {
      double* abs_p = abs_parts.data() + (pass & 1) * blocks;
      double* diff_p = diff_parts.data() + (pass & 1) * blocks;
      const pass_args node_args{ns.offsets.data(),
                                ns.run_first.data(),
                                ns.run_first.size() - 1,
                                ns.targets.data(),
                                nullptr,
                                counted ? y_squares : y_own,
                                y_scale,
                                x_own,
                                x_scale,
                                x_older,
                                x_older_scale,
                                nullptr};
      const pass_args edge_args{es.offsets.data(),
                                es.run_first.data(),
                                es.run_first.size() - 1,
                                es.targets.data(),
                                es.counts.data(),
                                x_own,
                                x_scale,
                                y_own,
                                y_scale,
                                y_older,
                                y_older_scale,
                                y_next_squares};
      const int parts = omp_get_num_threads(), part = omp_get_thread_num();
      const double* last_cost = block_cost.data() + ((pass - 1) & 1) * blocks;
      double* cost = block_cost.data() + (pass & 1) * blocks;
      const double last_total = block_total(last_cost, 0, blocks);
      const std::size_t first = share_start(last_cost, blocks, last_total, parts, part);
      const std::size_t last = share_start(last_cost, blocks, last_total, parts, part + 1);
      for (std::size_t k = first; k < last; ++k) {
        const double start = parts > 1 ? omp_get_wtime() : 0.0;
        if (k < node_blocks)
          node_update(node_args, ns.blocks[k], ns.blocks[k + 1], abs_p + k, diff_p + k);
        else
          edge_update(edge_args, es.blocks[k - node_blocks], es.blocks[k - node_blocks + 1], abs_p + k,
                      diff_p + k);
        if (parts > 1) cost[k] = last_cost[k] * 0.75 + (omp_get_wtime() - start);
      }
      // The calling thread polls once a pass; the barrier makes its verdict every thread's.
#pragma omp master
      try {
        cpp_functions::poll_interrupt();
      } catch (...) {
        error.capture();
        interrupted_pass.store(pass);
      }
#pragma omp barrier
      const double x_next_scale = inverse_scale(block_total(abs_p, 0, node_blocks));
      const double y_next_scale = inverse_scale(block_total(abs_p, node_blocks, blocks));
      // The change of the round before this pass, node side first.
      const double diff = block_total(diff_p, 0, node_blocks) + block_total(diff_p, node_blocks, blocks);
      bool stop = interrupted_pass.load() == pass;
      if (!stop && pass > 1 && tol > diff) {
        stop = true;
#pragma omp master
        result = {x_own, x_scale, y_own, y_scale};
      } else if (!stop && pass == max_iter) {
        stop = true;
#pragma omp master
        result = {x_older, x_next_scale, y_older, y_next_scale};
      }
      if (stop) break;
      std::swap(x_own, x_older);
      std::swap(y_own, y_older);
      std::swap(y_squares, y_next_squares);
      x_older_scale = x_scale;
      y_older_scale = y_scale;
      x_scale = x_next_scale;
      y_scale = y_next_scale;
    }
  }
  error.rethrow();
  return result;
}

// Scores in the order of a std::unordered_map filled id by id in index order, the order the
// returned dicts have always had. Element k's score is raw[slot[k]] * scale.
void in_result_order(const std::vector<std::int32_t>& ids, const std::vector<std::uint32_t>& slot,
                     const double* raw, double scale, std::vector<std::int32_t>& ordered_ids,
                     std::vector<double>& ordered_scores) {
  const std::vector<std::uint32_t> order =
      cpp_functions::unordered_map_order(ids.data(), ids.size(), false, 0, cpp_functions::poll_interrupt);
  ordered_ids.resize(order.size());
  ordered_scores.resize(order.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    ordered_ids[k] = ids[order[k]];
    ordered_scores[k] = raw[slot[order[k]]] * scale;
  }
}

}  // namespace

namespace cpp_functions {

centrality_scores compute_centralities_with(const incidence_map& nodes, const incidence_map& edges,
                                            int max_iter, double tol, centrality_variant variant) {
  omp_set_num_threads(thread_setting);
  if (variant == centrality_variant::automatic) variant = best_variant();
  const std::size_t n = nodes.size(), m = edges.size();
  incidence_structure g;
  iteration_result result{};
  side_scores x, y;
  if (max_iter > 0) {
    g = build_structure(nodes, edges);
    x.own.assign(n, 1.0 / static_cast<double>(n));
    x.older.assign(n, 0.0);
    y.own.assign(g.edges.size(), 1.0 / static_cast<double>(m));
    y.older.assign(g.edges.size(), 0.0);
    if (!g.edges.counts.empty()) {
      y.squares.resize(g.edges.size());
      for (std::size_t d = 0; d < y.squares.size(); ++d)
        y.squares[d] = y.own[d] * y.own[d] * static_cast<double>(g.edges.counts[d]);
      y.next_squares.assign(g.edges.size(), 0.0);
    }
    result = iterate(g, variant, max_iter, tol, x, y);
  } else {
    resolve_members(nodes, edges);  // an absent member is reported whatever max_iter is
    // Every element reads the one start score.
    x.own.assign(n ? 1 : 0, 1.0 / static_cast<double>(n));
    y.own.assign(m ? 1 : 0, 1.0 / static_cast<double>(m));
    g.node_slot.assign(n, 0);
    g.edge_class.assign(m, 0);
    result = {x.own.data(), 1.0, y.own.data(), 1.0};
  }
  centrality_scores scores;
  in_result_order(nodes.keys, g.node_slot, result.node_raw, result.node_scale, scores.node_ids,
                  scores.node_scores);
  in_result_order(edges.keys, g.edge_class, result.edge_raw, result.edge_scale, scores.edge_ids,
                  scores.edge_scores);
  return scores;
}

}  // namespace cpp_functions

cpp_functions::centrality_scores compute_centralities(const cpp_functions::incidence_map& nodes,
                                                      const cpp_functions::incidence_map& edges, int max_iter,
                                                      double tol) {
  return cpp_functions::compute_centralities_with(nodes, edges, max_iter, tol,
                                                  cpp_functions::centrality_variant::automatic);
}
