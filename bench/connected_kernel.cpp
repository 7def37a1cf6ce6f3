// Times the connectivity kernel alone (no Python) on one dataset, all incidences kept.
// Usage: connected_kernel DATA_DIR NAME [REPEATS]
#include <cstdio>

#include "../cpp_functions/algorithms/connected.hpp"
#include "bench_common.hpp"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DATA_DIR NAME [REPEATS]\n", argv[0]);
    return 2;
  }
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 5;
  const auto maps = bench::incidence_maps(bench::read_hyperedges(argv[1], argv[2], false));
  // Entries in the maps' own order: the first is the native first, where the search starts.
  cpp_functions::incidence_entries nodes, edges;
  static_cast<cpp_functions::incidence_map&>(nodes) = bench::flat(maps.first);
  static_cast<cpp_functions::incidence_map&>(edges) = bench::flat(maps.second);
  const std::size_t incidences = edges.ids.size();
  const double input_mib = bench::status_mib("VmRSS:");
  bench::reset_peak_memory();
  bool answer = is_connected(nodes, edges);
  const double kernel_peak_mib = bench::status_mib("VmHWM:") - input_mib;
  const double seconds = bench::median_seconds(repeats, [&] { answer = is_connected(nodes, edges); });
  std::printf(
      "{\"nodes\": %zu, \"edges\": %zu, \"incidences\": %zu, \"connected\": %s, \"kernel\": %.6f, "
      "\"ns_per_incidence\": %.3f, \"input_mib\": %.1f, \"kernel_peak_mib\": %.1f}\n",
      nodes.size(), edges.size(), incidences, answer ? "true" : "false", seconds,
      seconds / static_cast<double>(incidences) * 1e9, input_mib, kernel_peak_mib);
  return 0;
}
