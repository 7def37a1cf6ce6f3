// Times the centrality kernel alone (no Python) on one dataset, all incidences kept: one
// call with the given max_iter and tol, and the cost of one iteration (100 rounds less 1).
// Usage: centrality_kernel DATA_DIR NAME [REPEATS] [MAX_ITER] [TOL] [baseline|avx2|avx512]
// The last argument forces one instruction-set build of the update (it must be supported).
#include <cstdio>
#include <cstring>

#include "../cpp_functions/algorithms/centrality.hpp"
#include "bench_common.hpp"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DATA_DIR NAME [REPEATS] [MAX_ITER] [TOL] [VARIANT]\n", argv[0]);
    return 2;
  }
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 5;
  const int max_iter = argc > 4 ? std::atoi(argv[4]) : 100;
  const double tol = argc > 5 ? std::atof(argv[5]) : 1e-6;
  using cpp_functions::centrality_variant;
  centrality_variant variant = centrality_variant::automatic;
  if (argc > 6)
    variant = !std::strcmp(argv[6], "avx512") ? centrality_variant::avx512
              : !std::strcmp(argv[6], "avx2") ? centrality_variant::avx2
                                              : centrality_variant::baseline;
  auto compute_centralities = [variant](const auto& nodes, const auto& edges, int rounds, double limit) {
    return cpp_functions::compute_centralities_with(nodes, edges, rounds, limit, variant);
  };
  const auto maps = bench::incidence_maps(bench::read_hyperedges(argv[1], argv[2], false));
  const cpp_functions::incidence_map nodes = bench::flat(maps.first), edges = bench::flat(maps.second);
  const std::size_t incidences = edges.ids.size();
  const double call =
      bench::median_seconds(repeats, [&] { compute_centralities(nodes, edges, max_iter, tol); });
  const double hundred =
      bench::median_seconds(repeats, [&] { compute_centralities(nodes, edges, 100, 0.0); });
  const double once = bench::median_seconds(repeats, [&] { compute_centralities(nodes, edges, 1, 0.0); });
  const double per_iteration = (hundred - once) / 99;
  std::printf(
      "{\"nodes\": %zu, \"edges\": %zu, \"incidences\": %zu, \"kernel\": %.6f, \"setup\": %.6f, "
      "\"per_iteration\": %.6f, \"ns_per_incidence_iteration\": %.3f}\n",
      nodes.size(), edges.size(), incidences, call, once - per_iteration, per_iteration,
      per_iteration / static_cast<double>(incidences) * 1e9);
  return 0;
}
