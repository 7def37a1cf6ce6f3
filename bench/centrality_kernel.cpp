// Times the centrality kernel alone (no Python) on one dataset, all incidences kept: one
// call with the given max_iter and tol, and the cost of one iteration (100 rounds less 1),
// each on all the processors it may use and pinned to one, the two timed in turn.
// Usage: centrality_kernel DATA_DIR NAME [REPEATS] [MAX_ITER] [TOL] [baseline|avx2]
// The last argument forces one instruction-set build of the update (it must be supported).
#include <cstdio>
#include <cstring>
#include <functional>

#include "../cpp_functions/algorithms/centrality_variants.hpp"
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
    variant = !std::strcmp(argv[6], "avx2") ? centrality_variant::avx2 : centrality_variant::baseline;
  auto compute_centralities = [variant](const auto& nodes, const auto& edges, int rounds, double limit) {
    return cpp_functions::compute_centralities_with(nodes, edges, rounds, limit, variant);
  };
  const auto maps = bench::incidence_maps(bench::read_hyperedges(argv[1], argv[2], false));
  const cpp_functions::incidence_map nodes = bench::flat(maps.first), edges = bench::flat(maps.second);
  const std::size_t incidences = edges.ids.size();
  using run = std::function<void()>;
  // Rounds: 0 a call, 1 a hundred rounds, 2 one round; on all processors, then on one.
  const auto calls = [&](int rounds, double limit) {
    return std::array<run, 2>{[&, rounds, limit] { compute_centralities(nodes, edges, rounds, limit); },
                              [&, rounds, limit] {
                                bench::one_cpu pinned;
                                compute_centralities(nodes, edges, rounds, limit);
                              }};
  };
  const auto call = calls(max_iter, tol), hundred = calls(100, 0.0), once = calls(1, 0.0);
  const auto t = bench::interleaved_medians<6>(
      repeats, std::array<run, 6>{call[0], hundred[0], once[0], call[1], hundred[1], once[1]});
  const auto fields = [&](int team, const char* suffix) {
    const double per_iteration = (t[3 * team + 1] - t[3 * team + 2]) / 99;
    std::printf(
        "\"kernel%s\": %.6f, \"setup%s\": %.6f, \"per_iteration%s\": %.6f, "
        "\"ns_per_incidence_iteration%s\": %.3f",
        suffix, t[3 * team], suffix, t[3 * team + 2] - per_iteration, suffix, per_iteration, suffix,
        per_iteration / static_cast<double>(incidences) * 1e9);
  };
  std::printf("{\"nodes\": %zu, \"edges\": %zu, \"incidences\": %zu, ", nodes.size(), edges.size(),
              incidences);
  fields(0, "");
  std::printf(", ");
  fields(1, "_1t");
  std::printf("}\n");
  return 0;
}
