// Node and edge centralities by a nonlinear power iteration over the incidence structure:
//   new_x[i] = sqrt(sqrt(sum of y[e]^2 over the edges e holding node i) * x[i])
//   new_y[e] = sqrt(sqrt(sum of x[k]^2 over the members k of edge e) * y[e])
// each vector then scaled to absolute sum 1, until the summed absolute change of both falls
// below tol or max_iter rounds have run (contract in centrality.hpp).
//
// Method. The iteration runs over incidence.hpp's structure: equal member sets are one
// element carrying their count (its term counts that many times in a node's sum, in the scale
// and in the change), and both sides fall into runs of elements with as many terms each.
// - A round is one pass over both sides, and both gather (a set over its members, a node over
//   the sets holding it), so no accumulator needs clearing or merging.
// - Raw (unscaled) scores are stored; readers multiply by the round's reciprocal scale, which
//   gives exactly the scaled value. A set standing for several edges also stores
//   count * raw^2, the term nodes add; for other elements the gatherer squares the raw score,
//   the same product. A gathered sum is scaled once, by the square of the reciprocal.
// - The change of round r needs round r's scale, known once the round has ended, so pass
//   r + 1 adds it up while computing round r + 1; when it stops the iteration, round r + 1 is
//   dropped. The new raw score overwrites the one of the round before last: two arrays a side.
// - A pass is one parallel job over fixed blocks of elements; the calling thread polls for
//   interruptions and computes the scales between passes.
//
// Reproducibility. Every sum has a fixed order: a gathered sum puts term p in lane p % 4 and
// adds the lanes as (0 + 1) + (2 + 3); a block puts element j of a batch in lane j % 8 and adds
// the lanes pairwise; totals add the blocks in block order. Blocks depend on the input alone,
// so the bits are the same for any team, whoever runs which block. The builds for several
// instruction sets (picked at run time) do the same operations in the same order, with no
// fused multiply-adds, so the bits do not depend on the processor either.
#include "centrality.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "../boundary/interrupt.hpp"
#include "../runtime/parallel.hpp"
#include "../runtime/phase_marks.hpp"
#include "centrality_variants.hpp"
#include "incidence.hpp"

namespace cpp_functions {
namespace {

constexpr int thread_setting = 8;                   // the setting every call leaves behind
constexpr std::size_t serial_below_work = 1 << 16;  // incidences + elements run on one thread below
constexpr std::size_t block_work = 1 << 14;         // work per partial-sum block
constexpr std::size_t element_work = 4;             // an update costs about four gathered terms
constexpr std::size_t gather_lanes = 4;
constexpr std::size_t sum_lanes = 8;
constexpr std::size_t batch = 64;       // elements gathered before their updates; a multiple of sum_lanes
constexpr std::size_t fixed_sizes = 8;  // runs of elements with up to this many terms gather unrolled

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

// gather_run for a run of `size` terms each when size is 1 .. fixed_sizes; false otherwise.
template <bool Squared, std::size_t... Less>
[[gnu::always_inline]] inline bool gather_sized(std::size_t size, const pass_args& a, double* sums,
                                                std::size_t j, std::size_t stop, std::size_t p,
                                                std::index_sequence<Less...>) {
  return ((size == Less + 1 && (gather_run<Less + 1, Squared>(a, sums, j, stop, p), true)) || ...);
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
    if (size == 0)
      std::fill(sums + j, sums + stop, 0.0);
    else if (!gather_sized<Squared>(size, a, sums, j, stop, p, std::make_index_sequence<fixed_sizes>()))
      for (std::size_t q = j, r = p; q < stop; ++q, r += size) sums[q] = gather<Squared>(a, r, r + size);
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

// The wider builds exist only on x86-64; elsewhere every variant is the baseline, which
// gives the same bits.
#if defined(__x86_64__)
template <bool Counts, bool Squared>
[[gnu::target("avx2")]] void update_block_avx2(const pass_args& a, std::size_t lo, std::size_t hi,
                                               double* abs_part, double* diff_part) {
  update_block_body<Counts, Squared>(a, lo, hi, abs_part, diff_part);
}

centrality_variant best_variant() {
  if (__builtin_cpu_supports("avx2")) return centrality_variant::avx2;
  return centrality_variant::baseline;
}

template <bool Counts, bool Squared>
update_block_fn pick(centrality_variant variant) {
  switch (variant) {
    case centrality_variant::avx2:
      return update_block_avx2<Counts, Squared>;
    default:
      return update_block_baseline<Counts, Squared>;
  }
}
#else
centrality_variant best_variant() { return centrality_variant::baseline; }

template <bool Counts, bool Squared>
update_block_fn pick(centrality_variant) {
  return update_block_baseline<Counts, Squared>;
}
#endif

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

// The first element of each block of about block_work, then the end.
std::vector<std::size_t> cut_blocks(const incidence_side& s) {
  std::vector<std::size_t> blocks{0};
  std::size_t work = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    work += s.offsets[i + 1] - s.offsets[i] + element_work;
    if (work >= block_work) {
      blocks.push_back(i + 1);
      work = 0;
    }
  }
  if (blocks.back() != s.size()) blocks.push_back(s.size());
  return blocks;
}

// A pass over side `s`, reading the other side's last round from `other`.
pass_args side_pass(const incidence_side& s, const double* other, double other_scale, side_scores& scores,
                    double own_scale, double older_scale, double* next_squares) {
  return {s.offsets.data(),
          s.run_first.data(),
          s.run_first.size() - 1,
          s.targets.data(),
          s.counts.empty() ? nullptr : s.counts.data(),
          other,
          other_scale,
          scores.own.data(),
          own_scale,
          scores.older.data(),
          older_scale,
          next_squares};
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
  const incidence_side &ns = g.nodes, &es = g.edges;
  const std::vector<std::size_t> node_blocks = cut_blocks(ns), edge_blocks = cut_blocks(es);
  const std::size_t node_count = node_blocks.size() - 1, blocks = node_count + edge_blocks.size() - 1;
  std::vector<double> abs_parts(blocks), diff_parts(blocks);
  // Nodes are distinct, so only edge sets can carry counts.
  const bool counted = !es.counts.empty();
  const update_block_fn node_update = counted ? pick<false, true>(variant) : pick<false, false>(variant);
  const update_block_fn edge_update = counted ? pick<true, false>(variant) : pick<false, false>(variant);
  const std::size_t work = 2 * es.targets.size() + ns.size() + es.size();
  double x_scale = 1.0, y_scale = 1.0, x_older_scale = 1.0, y_older_scale = 1.0;
  for (int pass = 1;; ++pass) {
    const pass_args node_args =
        side_pass(ns, counted ? y.squares.data() : y.own.data(), y_scale, x, x_scale, x_older_scale, nullptr);
    const pass_args edge_args =
        side_pass(es, x.own.data(), x_scale, y, y_scale, y_older_scale, y.next_squares.data());
    parallel_chunks(blocks, team_size(work, serial_below_work), [&](std::size_t k, int) {
      if (k < node_count)
        node_update(node_args, node_blocks[k], node_blocks[k + 1], &abs_parts[k], &diff_parts[k]);
      else
        edge_update(edge_args, edge_blocks[k - node_count], edge_blocks[k - node_count + 1], &abs_parts[k],
                    &diff_parts[k]);
    });
    poll_interrupt();
    const double x_next_scale = inverse_scale(block_total(abs_parts.data(), 0, node_count));
    const double y_next_scale = inverse_scale(block_total(abs_parts.data(), node_count, blocks));
    // The change of the round before this pass, node side first.
    const double diff =
        block_total(diff_parts.data(), 0, node_count) + block_total(diff_parts.data(), node_count, blocks);
    if (pass > 1 && tol > diff) return {x.own.data(), x_scale, y.own.data(), y_scale};
    if (pass == max_iter) return {x.older.data(), x_next_scale, y.older.data(), y_next_scale};
    x.own.swap(x.older);
    y.own.swap(y.older);
    y.squares.swap(y.next_squares);
    x_older_scale = x_scale;
    y_older_scale = y_scale;
    x_scale = x_next_scale;
    y_scale = y_next_scale;
  }
}

// Scores of ids in index order; the score of index k is raw[slot[k]] * scale.
void gather_scores(const call_array<std::int32_t>& ids, const call_array<std::uint32_t>& slot,
                   const double* raw, double scale, call_array<std::int32_t>& out_ids,
                   call_array<double>& out_scores) {
  out_ids = ids;
  out_scores.resize(ids.size());
  for (std::size_t k = 0; k < ids.size(); ++k) out_scores[k] = raw[slot[k]] * scale;
}

}  // namespace

centrality_scores compute_centralities_with(const incidence_map& nodes, const incidence_map& edges,
                                            int max_iter, double tol, centrality_variant variant) {
  set_thread_setting(thread_setting);
  if (variant == centrality_variant::automatic) variant = best_variant();
  const std::size_t n = nodes.size(), m = edges.size();
  incidence_structure g;
  iteration_result result{};
  side_scores x, y;
  if (max_iter > 0) {
    g = build_incidence(nodes, edges);
    CPP_FUNCTIONS_PHASE("structure build");
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
    CPP_FUNCTIONS_PHASE("iteration");
  } else {
    check_members(nodes, edges);  // an absent member is reported whatever max_iter is
    CPP_FUNCTIONS_PHASE("member check");
    // Every element reads the one start score.
    x.own.assign(n ? 1 : 0, 1.0 / static_cast<double>(n));
    y.own.assign(m ? 1 : 0, 1.0 / static_cast<double>(m));
    g.node_slot.assign(n, 0);
    g.edge_class.assign(m, 0);
    result = {x.own.data(), 1.0, y.own.data(), 1.0};
  }
  centrality_scores scores;
  gather_scores(nodes.keys, g.node_slot, result.node_raw, result.node_scale, scores.node_ids,
                scores.node_scores);
  gather_scores(edges.keys, g.edge_class, result.edge_raw, result.edge_scale, scores.edge_ids,
                scores.edge_scores);
  CPP_FUNCTIONS_PHASE("scores");
  return scores;
}

}  // namespace cpp_functions

cpp_functions::centrality_scores compute_centralities(const cpp_functions::incidence_map& nodes,
                                                      const cpp_functions::incidence_map& edges, int max_iter,
                                                      double tol) {
  return cpp_functions::compute_centralities_with(nodes, edges, max_iter, tol,
                                                  cpp_functions::centrality_variant::automatic);
}
