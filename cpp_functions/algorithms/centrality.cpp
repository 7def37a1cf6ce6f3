// Node and edge centralities by a nonlinear power iteration over the incidence structure:
//   new_x[i] = sqrt(sqrt(sum of y[e]^2 over the edges e holding node i) * x[i])
//   new_y[e] = sqrt(sqrt(sum of x[k]^2 over the members k of edge e) * y[e])
// each vector then scaled to absolute sum 1, until the summed absolute change of both falls
// below tol or max_iter rounds have run.
//
// Method. Every member id is resolved to its node index once, into flat arrays (the members
// of each edge, in the set's order), before iterating. Each round then makes one pass over
// the edges: edge e gathers the squared scores of its members into its own sum and, for the
// node side, adds y[e]^2 into an accumulator of each member. The edges are cut into eight
// fixed chunks (the static partition of eight threads); each chunk has its own accumulator
// of n doubles, and a node's sum adds the chunk accumulators in chunk order. So each node's
// sum is formed exactly as eight threads with private buffers would form it, merged in
// thread order, whatever the team size.
//
// When nodes are many compared with incidences (8n doubles to clear and merge per round
// would cost more than the pass itself), a node instead gathers y[e]^2 over its own edge
// list (ascending edge index, built once by transposing the members), which needs no
// accumulators; its sum then adds the same terms in plain sequential order.
//
// Reproducibility. Vector sums (the scale of each vector and the change) add partial sums of
// fixed blocks in block order, so results are bit-identical from call to call and for any
// team size. One parallel region runs the whole iteration with barriers between phases;
// every thread derives the same scale and stopping decision from the shared partials.
#include "centrality.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "../hash_order.hpp"
#include "../interrupt.hpp"
#include "../parallel.hpp"

namespace {

using cpp_functions::id_index;
using cpp_functions::incidence_map;
using cpp_functions::make_id_index;
using cpp_functions::team_size;

constexpr int thread_setting = 8;                      // the setting every call leaves behind
constexpr std::size_t edge_chunks = 8;                 // fixed partition of the edges
constexpr std::size_t block_size = 2048;               // nodes per partial sum
constexpr std::size_t serial_below_work = 1 << 16;     // incidences + n + m run on one thread below
constexpr std::size_t accumulators_per_incidence = 2;  // scatter while 8n <= incidences / 2

// Incidence structure with ids resolved to indices.
// The ids and offsets are the flat inputs' own; only the member indices are built.
struct incidence_arrays {
  const std::vector<std::int32_t>& node_ids;       // node index -> id, in node_dict's order
  const std::vector<std::int32_t>& edge_ids;       // edge index -> id, in edge_dict's order
  const std::vector<std::size_t>& member_offsets;  // members of edge e: [member_offsets[e], [e+1])
  std::vector<std::uint32_t> members;              // node indices, in each set's iteration order
  std::vector<std::size_t> holder_offsets;         // gather mode only: edges of node i
  std::vector<std::uint32_t> holders;              // edge indices, ascending
};

incidence_arrays index_incidences(const incidence_map& nodes, const incidence_map& edges) {
  incidence_arrays arrays{nodes.keys, edges.keys, edges.offsets, {}, {}, {}};
  const id_index node_index = make_id_index(arrays.node_ids);
  arrays.members.resize(edges.ids.size());
  for (std::size_t e = 0; e < edges.size(); ++e)
    for (std::size_t p = edges.offsets[e]; p < edges.offsets[e + 1]; ++p) {
      arrays.members[p] = node_index.find(edges.ids[p]);
      if (arrays.members[p] == id_index::absent)
        throw std::out_of_range("edge " + std::to_string(edges.keys[e]) + " has member " +
                                std::to_string(edges.ids[p]) + ", which is not a key of node_dict");
    }
  return arrays;
}

bool use_scatter(const incidence_arrays& arrays) {
  return edge_chunks * arrays.node_ids.size() * accumulators_per_incidence <= arrays.members.size();
}

// Transpose by counting sort; scanning edges in index order keeps each node's list ascending.
void index_holders(incidence_arrays& arrays) {
  const std::size_t n = arrays.node_ids.size();
  arrays.holder_offsets.assign(n + 1, 0);
  for (std::uint32_t k : arrays.members) ++arrays.holder_offsets[k + 1];
  for (std::size_t i = 0; i < n; ++i) arrays.holder_offsets[i + 1] += arrays.holder_offsets[i];
  arrays.holders.resize(arrays.members.size());
  std::vector<std::size_t> fill(arrays.holder_offsets.begin(), arrays.holder_offsets.end() - 1);
  for (std::size_t e = 0; e < arrays.edge_ids.size(); ++e)
    for (std::size_t p = arrays.member_offsets[e]; p < arrays.member_offsets[e + 1]; ++p)
      arrays.holders[fill[arrays.members[p]]++] = static_cast<std::uint32_t>(e);
}

// First index of each part when `length` indices are split into `parts` contiguous runs,
// the first length % parts of them one longer (the static partition).
std::vector<std::size_t> partition(std::size_t length, std::size_t parts) {
  std::vector<std::size_t> first(parts + 1);
  for (std::size_t t = 0; t <= parts; ++t) first[t] = t * (length / parts) + std::min(t, length % parts);
  return first;
}

double ordered_sum(const std::vector<double>& partials) {
  double total = 0.0;
  for (double part : partials) total += part;
  return total;
}

// Working vectors of one call; `cur_*` and `next_*` trade places every round.
struct iteration_state {
  std::vector<std::size_t> node_blocks, edge_parts;  // partitions into partial-sum ranges
  std::vector<double> abs_x, abs_y, diff_x, diff_y;  // partial sums per range
  std::vector<double> accumulators;                  // scatter mode: edge_chunks x stride
  std::size_t stride = 0;
};

// Edge side over this thread's chunks: next_y[e] = sqrt(sqrt(sum of x[k]^2) * y[e]). In
// scatter mode the same pass adds y[e]^2 into the chunk's accumulator of every member.
void edge_pass(const incidence_arrays& arrays, bool scatter, const double* x, const double* y, double* next_y,
               iteration_state& state) {
#pragma omp for schedule(static) nowait
  for (std::int64_t c = 0; c < static_cast<std::int64_t>(edge_chunks); ++c) {
    double* accumulator = state.accumulators.data() + static_cast<std::size_t>(c) * state.stride;
    if (scatter) std::fill(accumulator, accumulator + arrays.node_ids.size(), 0.0);
    double part = 0.0;
    for (std::size_t e = state.edge_parts[c]; e < state.edge_parts[c + 1]; ++e) {
      const double y_sq = y[e] * y[e];
      double sum = 0.0;
      for (std::size_t p = arrays.member_offsets[e]; p < arrays.member_offsets[e + 1]; ++p) {
        const std::uint32_t k = arrays.members[p];
        if (scatter) accumulator[k] += y_sq;
        sum += x[k] * x[k];
      }
      next_y[e] = std::sqrt(std::sqrt(sum) * y[e]);
      part += std::fabs(next_y[e]);
    }
    state.abs_y[c] = part;
  }
}

// Node side over this thread's blocks: next_x[i] = sqrt(sqrt(sum of y[e]^2) * x[i]), the
// sum taken from the chunk accumulators (scatter) or gathered over the node's edges.
void node_pass(const incidence_arrays& arrays, bool scatter, const double* x, const double* y, double* next_x,
               iteration_state& state) {
  const auto blocks = static_cast<std::int64_t>(state.abs_x.size());
#pragma omp for schedule(static) nowait
  for (std::int64_t b = 0; b < blocks; ++b) {
    double part = 0.0;
    for (std::size_t i = state.node_blocks[b]; i < state.node_blocks[b + 1]; ++i) {
      double sum = 0.0;
      if (scatter) {
        for (std::size_t c = 0; c < edge_chunks; ++c) sum += state.accumulators[c * state.stride + i];
      } else {
        for (std::size_t p = arrays.holder_offsets[i]; p < arrays.holder_offsets[i + 1]; ++p)
          sum += y[arrays.holders[p]] * y[arrays.holders[p]];
      }
      next_x[i] = std::sqrt(std::sqrt(sum) * x[i]);
      part += std::fabs(next_x[i]);
    }
    state.abs_x[b] = part;
  }
}

// Scales next to absolute sum 1 (left alone when that sum is 0.0) and records the absolute
// change against current per range of `parts`.
void scale_side(const std::vector<std::size_t>& parts, double abs_sum, const double* current, double* next,
                std::vector<double>& diff_partials) {
  const bool scaled = abs_sum != 0.0;
  const double scale = 1.0 / abs_sum;
  const auto count = static_cast<std::int64_t>(diff_partials.size());
#pragma omp for schedule(static) nowait
  for (std::int64_t b = 0; b < count; ++b) {
    double part = 0.0;
    for (std::size_t i = parts[b]; i < parts[b + 1]; ++i) {
      if (scaled) next[i] *= scale;
      part += std::fabs(next[i] - current[i]);
    }
    diff_partials[b] = part;
  }
}

// Runs the iteration; returns the number of rounds, after which the scores are in x and y
// when it is even and in new_x and new_y when it is odd.
int iterate(const incidence_arrays& arrays, bool scatter, int max_iter, double tol, std::vector<double>& x,
            std::vector<double>& new_x, std::vector<double>& y, std::vector<double>& new_y) {
  const std::size_t n = x.size();
  iteration_state state;
  const std::size_t node_block_count = (n + block_size - 1) / block_size;
  state.node_blocks.resize(node_block_count + 1);
  for (std::size_t b = 0; b <= node_block_count; ++b) state.node_blocks[b] = std::min(n, b * block_size);
  state.edge_parts = partition(y.size(), edge_chunks);
  state.abs_x.resize(node_block_count);
  state.diff_x.resize(node_block_count);
  state.abs_y.resize(edge_chunks);
  state.diff_y.resize(edge_chunks);
  constexpr std::size_t line = 8;  // doubles per cache line: chunks never share one
  state.stride = (n + line - 1) / line * line;
  if (scatter) state.accumulators.resize(edge_chunks * state.stride);

  int rounds = 0;
  cpp_functions::region_error error;
#pragma omp parallel num_threads(team_size(arrays.members.size() + n + y.size(), serial_below_work))
  {
    double *cur_x = x.data(), *next_x = new_x.data(), *cur_y = y.data(), *next_y = new_y.data();
    int round = 0;
    while (true) {
      // Both sides read the scores at the start of the round. Gathering nodes need no
      // accumulators, so they run beside the edges; scattering nodes wait for them.
      edge_pass(arrays, scatter, cur_x, cur_y, next_y, state);
      if (scatter) {
#pragma omp barrier
      }
      node_pass(arrays, scatter, cur_x, cur_y, next_x, state);
#pragma omp barrier
      scale_side(state.node_blocks, ordered_sum(state.abs_x), cur_x, next_x, state.diff_x);
      scale_side(state.edge_parts, ordered_sum(state.abs_y), cur_y, next_y, state.diff_y);
      // The calling thread polls once a round; the barrier makes its verdict every thread's.
#pragma omp master
      try {
        cpp_functions::poll_interrupt();
      } catch (...) {
        error.capture();
      }
#pragma omp barrier
      // Every thread reads the same partials, so all take the same branch below.
      const double diff = ordered_sum(state.diff_x) + ordered_sum(state.diff_y);
      std::swap(cur_x, next_x);
      std::swap(cur_y, next_y);
      ++round;
      if (error.raised() || tol > diff || round == max_iter) break;
    }
#pragma omp master
    rounds = round;
  }
  error.rethrow();
  return rounds;
}

// Scores in the order of a std::unordered_map filled id by id in index order, the order the
// returned dicts have always had.
void in_result_order(const std::vector<std::int32_t>& ids, const std::vector<double>& scores,
                     std::vector<std::int32_t>& ordered_ids, std::vector<double>& ordered_scores) {
  const std::vector<std::uint32_t> order =
      cpp_functions::unordered_map_order(ids.data(), ids.size(), false, 0, cpp_functions::poll_interrupt);
  ordered_ids.resize(order.size());
  ordered_scores.resize(order.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    ordered_ids[k] = ids[order[k]];
    ordered_scores[k] = scores[order[k]];
  }
}

}  // namespace

cpp_functions::centrality_scores compute_centralities(const incidence_map& nodes, const incidence_map& edges,
                                                      int max_iter, double tol) {
  omp_set_num_threads(thread_setting);
  incidence_arrays arrays = index_incidences(nodes, edges);
  const bool scatter = use_scatter(arrays);
  if (!scatter && max_iter > 0) index_holders(arrays);
  const std::size_t n = arrays.node_ids.size();
  const std::size_t m = arrays.edge_ids.size();
  std::vector<double> x(n, 1.0 / static_cast<double>(n)), new_x(n, 0.0);
  std::vector<double> y(m, 1.0 / static_cast<double>(m)), new_y(m, 0.0);
  if (max_iter > 0 && iterate(arrays, scatter, max_iter, tol, x, new_x, y, new_y) % 2 == 1) {
    x.swap(new_x);
    y.swap(new_y);
  }
  cpp_functions::centrality_scores scores;
  in_result_order(arrays.node_ids, x, scores.node_ids, scores.node_scores);
  in_result_order(arrays.edge_ids, y, scores.edge_ids, scores.edge_scores);
  return scores;
}
