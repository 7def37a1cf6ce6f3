// Times the line-graph kernel alone (no Python) on one dataset, 1 and 2 threads, and the
// all-pairs method it replaces. Where all pairs would take too long, the all-pairs method runs
// on every stride-th first position only and its time is scaled by the stride (an estimate,
// reported with its stride).
// Usage: line_graph_kernel DATA_DIR NAME S [REPEATS] [PAIRWISE_WORK_LIMIT]
#include <omp.h>

#include <cmath>
#include <cstdio>

#include "../cpp_functions/convert/line_graph.hpp"
#include "bench_common.hpp"

namespace {

// Compares every pair (i, j > i) by a hash walk over hyperedge i, for i = 0, stride, ...
std::size_t pairwise_count(const std::vector<std::unordered_set<int>>& hyperedges, int s, long stride) {
  const auto n = static_cast<long>(hyperedges.size());
  std::size_t pairs = 0;
#pragma omp parallel for schedule(dynamic, 1) reduction(+ : pairs)
  for (long i = 0; i < n; i += stride)
    for (long j = i + 1; j < n; ++j) {
      std::size_t shared = 0;
      for (int member : hyperedges[i]) shared += hyperedges[j].count(member);
      pairs += shared >= static_cast<std::size_t>(s);
    }
  return pairs;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s DATA_DIR NAME S [REPEATS] [PAIRWISE_PAIR_LIMIT]\n", argv[0]);
    return 2;
  }
  const int s = std::atoi(argv[3]);
  const int repeats = argc > 4 ? std::atoi(argv[4]) : 5;
  const double work_limit = argc > 5 ? std::atof(argv[5]) : 2e9;
  const auto hyperedges = bench::read_hyperedges(argv[1], argv[2], true);
  const cpp_functions::hyperedge_list flat_hyperedges = bench::flat(hyperedges);
  std::size_t pairs = 0;
  double seconds[2];
  for (int threads : {1, 2}) {
    seconds[threads - 1] = bench::median_seconds(
        repeats, [&] { pairs = compute_line_graph_edges(flat_hyperedges, s, "absolute", threads).size(); });
  }
  // Work of the all-pairs method: one lookup per member of i for every j > i.
  double work = 0.0;
  for (std::size_t i = 0; i < hyperedges.size(); ++i)
    work += static_cast<double>(hyperedges.size() - 1 - i) * static_cast<double>(hyperedges[i].size());
  const long stride = std::max(1L, static_cast<long>(std::ceil(work / work_limit)));
  omp_set_num_threads(2);
  const double pairwise = stride * bench::median_seconds(1, [&] { pairwise_count(hyperedges, s, stride); });
  std::printf(
      "{\"hyperedges\": %zu, \"s\": %d, \"pairs\": %zu, \"kernel_1t\": %.6f, \"kernel_2t\": %.6f, "
      "\"pairwise_2t\": %.6f, \"pairwise_stride\": %ld}\n",
      hyperedges.size(), s, pairs, seconds[0], seconds[1], pairwise, stride);
  return 0;
}
