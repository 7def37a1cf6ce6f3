// Times the line-graph kernel alone (no Python) on one dataset, 1 and 2 threads, and the
// all-pairs method it replaces where that finishes quickly.
// Usage: line_graph_kernel DATA_DIR NAME S [REPEATS] [PAIRWISE_PAIR_LIMIT]
#include <omp.h>

#include <cstdio>

#include "../cpp_functions/convert/line_graph.hpp"
#include "bench_common.hpp"

namespace {

// The comparison every pair of positions with a hash walk, collected per thread.
std::size_t pairwise_count(const std::vector<std::unordered_set<int>> &hyperedges, int s) {
  const auto n = static_cast<long>(hyperedges.size());
  std::size_t pairs = 0;
#pragma omp parallel for schedule(dynamic, 16) reduction(+ : pairs)
  for (long i = 0; i < n; ++i)
    for (long j = i + 1; j < n; ++j) {
      std::size_t shared = 0;
      for (int member : hyperedges[i]) shared += hyperedges[j].count(member);
      pairs += shared >= static_cast<std::size_t>(s);
    }
  return pairs;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s DATA_DIR NAME S [REPEATS] [PAIRWISE_PAIR_LIMIT]\n", argv[0]);
    return 2;
  }
  const int s = std::atoi(argv[3]);
  const int repeats = argc > 4 ? std::atoi(argv[4]) : 5;
  const double pairwise_limit = argc > 5 ? std::atof(argv[5]) : 2e9;
  const auto hyperedges = bench::read_hyperedges(argv[1], argv[2], true);
  std::size_t pairs = 0;
  double seconds[2];
  for (int threads : {1, 2}) {
    seconds[threads - 1] = bench::median_seconds(repeats, [&] {
      pairs = compute_line_graph_edges(hyperedges, s, "absolute", threads).size();
    });
  }
  const double n = static_cast<double>(hyperedges.size());
  double pairwise = -1.0;
  if (n * (n - 1) / 2 <= pairwise_limit) {
    omp_set_num_threads(2);
    pairwise = bench::median_seconds(1, [&] { pairwise_count(hyperedges, s); });
  }
  std::printf("{\"hyperedges\": %zu, \"s\": %d, \"pairs\": %zu, \"kernel_1t\": %.6f, \"kernel_2t\": %.6f, "
              "\"pairwise_2t\": %.6f}\n",
              hyperedges.size(), s, pairs, seconds[0], seconds[1], pairwise);
  return 0;
}
