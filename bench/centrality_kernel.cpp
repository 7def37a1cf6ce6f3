// Times the centrality kernel alone (no Python) on one dataset, all incidences kept.
// Usage: centrality_kernel DATA_DIR NAME [REPEATS]
#include <cstdio>

#include "../cpp_functions/algorithms/centrality.hpp"
#include "bench_common.hpp"

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DATA_DIR NAME [REPEATS]\n", argv[0]);
    return 2;
  }
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 5;
  const auto [nodes, edges] = bench::incidence_maps(bench::read_hyperedges(argv[1], argv[2], false));
  std::size_t incidences = 0;
  for (const auto &entry : edges) incidences += entry.second.size();
  const double fixed = bench::median_seconds(repeats, [&] { compute_centralities(nodes, edges, 100, 0.0); });
  const double once = bench::median_seconds(repeats, [&] { compute_centralities(nodes, edges, 1, 0.0); });
  const double per_iteration = (fixed - once) / 99;
  std::printf("{\"nodes\": %zu, \"edges\": %zu, \"incidences\": %zu, \"kernel_100_iterations\": %.6f, "
              "\"per_iteration\": %.6f, \"ns_per_incidence_iteration\": %.3f}\n",
              nodes.size(), edges.size(), incidences, fixed, per_iteration,
              per_iteration / static_cast<double>(incidences) * 1e9);
  return 0;
}
