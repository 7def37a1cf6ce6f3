// Node and edge centralities by a nonlinear power iteration over the incidence structure:
//   new_x[i] = sqrt(sqrt(sum of y[e]^2 over the edges e holding node i) * x[i])
//   new_y[e] = sqrt(sqrt(sum of x[k]^2 over the members k of edge e) * y[e])
// each vector then scaled to absolute sum 1, until the summed absolute change of both falls
// below tol or max_iter rounds have run.
//
// Method. Every member id is resolved to its node index once, into flat arrays: the members
// of each edge (in the set's order) and, transposed, the edges of each node (ascending edge
// index). A node's sum is then a gather over its own edge list, owned by one thread, so no
// thread-private n-vectors or locks are needed, and every sum adds its terms in the same order
// as a plain sequential loop over the edges would.
//
// Reproducibility. Vector sums (the scale of each vector and the change) add partial sums of
// fixed blocks of entries in block order, so the result is bit-identical from call to call and
// for any team size. One parallel region runs the whole iteration with two barriers a round;
// every thread derives the same scale and stopping decision from the shared block partials.
#include "centrality.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "../parallel.hpp"

namespace {

using cpp_functions::id_index;
using cpp_functions::make_id_index;
using cpp_functions::team_size;
using incidence_map = std::unordered_map<int, std::unordered_set<int>>;

constexpr int thread_setting = 8;                 // the setting every call leaves behind
constexpr std::size_t block_size = 2048;          // entries per partial sum
constexpr std::size_t serial_below_work = 1 << 16;  // incidences + n + m run on one thread below

// Incidence structure with ids resolved to indices.
struct incidence_arrays {
  std::vector<std::int32_t> node_ids;        // node index -> id, in node_dict's order
  std::vector<std::int32_t> edge_ids;        // edge index -> id, in edge_dict's order
  std::vector<std::size_t> member_offsets;   // members of edge e: [member_offsets[e], [e+1])
  std::vector<std::uint32_t> members;        // node indices, in each set's iteration order
  std::vector<std::size_t> holder_offsets;   // edges of node i: [holder_offsets[i], [i+1])
  std::vector<std::uint32_t> holders;        // edge indices, ascending
};

incidence_arrays index_incidences(const incidence_map &nodes, const incidence_map &edges) {
  incidence_arrays arrays;
  arrays.node_ids.reserve(nodes.size());
  for (const auto &entry : nodes) arrays.node_ids.push_back(entry.first);
  const id_index node_index = make_id_index(arrays.node_ids);

  arrays.edge_ids.reserve(edges.size());
  arrays.member_offsets.reserve(edges.size() + 1);
  arrays.member_offsets.push_back(0);
  for (const auto &[edge, member_ids] : edges) {
    arrays.edge_ids.push_back(edge);
    for (int member : member_ids) {
      const std::uint32_t k = node_index.find(member);
      if (k == id_index::absent)
        throw std::out_of_range("edge " + std::to_string(edge) + " has member " + std::to_string(member) +
                                ", which is not a key of node_dict");
      arrays.members.push_back(k);
    }
    arrays.member_offsets.push_back(arrays.members.size());
  }

  // Transpose by counting sort; scanning edges in index order keeps each node's list ascending.
  const std::size_t n = arrays.node_ids.size();
  arrays.holder_offsets.assign(n + 1, 0);
  for (std::uint32_t k : arrays.members) ++arrays.holder_offsets[k + 1];
  for (std::size_t i = 0; i < n; ++i) arrays.holder_offsets[i + 1] += arrays.holder_offsets[i];
  arrays.holders.resize(arrays.members.size());
  std::vector<std::size_t> fill(arrays.holder_offsets.begin(), arrays.holder_offsets.end() - 1);
  for (std::size_t e = 0; e < arrays.edge_ids.size(); ++e)
    for (std::size_t p = arrays.member_offsets[e]; p < arrays.member_offsets[e + 1]; ++p)
      arrays.holders[fill[arrays.members[p]]++] = static_cast<std::uint32_t>(e);
  return arrays;
}

std::size_t block_count(std::size_t length) { return (length + block_size - 1) / block_size; }

double ordered_sum(const std::vector<double> &partials) {
  double total = 0.0;
  for (double part : partials) total += part;
  return total;
}

// One side's update over the blocks this thread owns: next[i] = sqrt(sqrt(sum) * current[i]),
// where sum adds other[k]^2 over the incident entries k of entry i, in stored order.
// abs_partials[b] receives the absolute sum of next over block b.
void update_side(std::size_t length, const std::vector<std::size_t> &offsets,
                 const std::vector<std::uint32_t> &incident, const double *other, const double *current,
                 double *next, std::vector<double> &abs_partials) {
  const auto blocks = static_cast<std::int64_t>(abs_partials.size());
#pragma omp for schedule(static) nowait
  for (std::int64_t b = 0; b < blocks; ++b) {
    const std::size_t first = static_cast<std::size_t>(b) * block_size;
    const std::size_t last = std::min(length, first + block_size);
    double part = 0.0;
    for (std::size_t i = first; i < last; ++i) {
      double sum = 0.0;
      for (std::size_t p = offsets[i]; p < offsets[i + 1]; ++p) sum += other[incident[p]] * other[incident[p]];
      next[i] = std::sqrt(std::sqrt(sum) * current[i]);
      part += std::fabs(next[i]);
    }
    abs_partials[b] = part;
  }
}

// Scales next to absolute sum 1 (left alone when that sum is 0.0) and records the absolute
// change against current per block.
void scale_side(std::size_t length, double abs_sum, const double *current, double *next,
                std::vector<double> &diff_partials) {
  const bool scaled = abs_sum != 0.0;
  const double scale = 1.0 / abs_sum;
  const auto blocks = static_cast<std::int64_t>(diff_partials.size());
#pragma omp for schedule(static) nowait
  for (std::int64_t b = 0; b < blocks; ++b) {
    const std::size_t first = static_cast<std::size_t>(b) * block_size;
    const std::size_t last = std::min(length, first + block_size);
    double part = 0.0;
    for (std::size_t i = first; i < last; ++i) {
      if (scaled) next[i] *= scale;
      part += std::fabs(next[i] - current[i]);
    }
    diff_partials[b] = part;
  }
}

// Runs the iteration; returns the number of rounds, after which the scores are in x and y
// when it is even and in new_x and new_y when it is odd.
int iterate(const incidence_arrays &arrays, int max_iter, double tol, std::vector<double> &x,
            std::vector<double> &new_x, std::vector<double> &y, std::vector<double> &new_y) {
  const std::size_t n = x.size();
  const std::size_t m = y.size();
  std::vector<double> abs_x(block_count(n)), abs_y(block_count(m));
  std::vector<double> diff_x(block_count(n)), diff_y(block_count(m));
  int rounds = 0;
#pragma omp parallel num_threads(team_size(arrays.members.size() + n + m, serial_below_work))
  {
    double *cur_x = x.data(), *next_x = new_x.data(), *cur_y = y.data(), *next_y = new_y.data();
    int round = 0;
    while (true) {
      // Both sides read the scores at the start of the round, so they run side by side.
      update_side(n, arrays.holder_offsets, arrays.holders, cur_y, cur_x, next_x, abs_x);
      update_side(m, arrays.member_offsets, arrays.members, cur_x, cur_y, next_y, abs_y);
#pragma omp barrier
      scale_side(n, ordered_sum(abs_x), cur_x, next_x, diff_x);
      scale_side(m, ordered_sum(abs_y), cur_y, next_y, diff_y);
#pragma omp barrier
      // Every thread reads the same partials, so all take the same branch below.
      const double diff = ordered_sum(diff_x) + ordered_sum(diff_y);
      std::swap(cur_x, next_x);
      std::swap(cur_y, next_y);
      ++round;
      if (tol > diff || round == max_iter) break;
    }
#pragma omp master
    rounds = round;
  }
  return rounds;
}

}  // namespace

std::pair<std::unordered_map<int, double>, std::unordered_map<int, double>> compute_centralities(
    const incidence_map &nodes, const incidence_map &edges, int max_iter, double tol) {
  omp_set_num_threads(thread_setting);
  const incidence_arrays arrays = index_incidences(nodes, edges);
  const std::size_t n = arrays.node_ids.size();
  const std::size_t m = arrays.edge_ids.size();
  std::vector<double> x(n, 1.0 / static_cast<double>(n)), new_x(n, 0.0);
  std::vector<double> y(m, 1.0 / static_cast<double>(m)), new_y(m, 0.0);
  if (max_iter > 0 && iterate(arrays, max_iter, tol, x, new_x, y, new_y) % 2 == 1) {
    x.swap(new_x);
    y.swap(new_y);
  }

  // Filled key by key in index order without reserving: callers see this map's order.
  std::unordered_map<int, double> node_result;
  for (std::size_t i = 0; i < n; ++i) node_result[arrays.node_ids[i]] = x[i];
  std::unordered_map<int, double> edges_result;
  for (std::size_t j = 0; j < m; ++j) edges_result[arrays.edge_ids[j]] = y[j];
  return {std::move(node_result), std::move(edges_result)};
}
