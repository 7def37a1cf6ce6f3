// Test helper: the line-graph kernel built with small thresholds (see the line_graph_paths
// fixture), so that small inputs take every path: heavy members split off or not, counts in
// the table or the array, pairs kept or walked again from any chunk on.
//
// Input on stdin, blocks of: "n s weights threads budget", then n lines "k m1 ... mk". For each
// block prints "pairs N", then one line "i j weight-as-hex-bits" per edge, in result order.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "cpp_functions/boundary/interrupt.hpp"
#include "cpp_functions/convert/line_graph.hpp"
#include "cpp_functions/convert/overlap_walk.hpp"

void cpp_functions::poll_interrupt() {}

std::size_t cpp_functions::line_graph::test_kept_pairs = 0;

int main() {
  std::size_t n = 0;
  int s = 0, threads = 0;
  std::string weights;
  std::size_t budget = 0;
  while (std::cin >> n >> s >> weights >> threads >> budget) {
    cpp_functions::hyperedge_list hyperedges;
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t k = 0;
      std::cin >> k;
      for (std::size_t m = 0; m < k; ++m) {
        std::int32_t member = 0;
        std::cin >> member;
        hyperedges.members.push_back(member);
      }
      hyperedges.offsets.push_back(hyperedges.members.size());
    }
    cpp_functions::line_graph::test_kept_pairs = budget;
    const auto edges = compute_line_graph_edges(hyperedges, s, weights, threads);
    std::printf("pairs %zu\n", edges.size());
    for (std::size_t i = 0; i + 1 < edges.offsets.size(); ++i)
      for (std::size_t p = edges.offsets[i]; p < edges.offsets[i + 1]; ++p) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &edges.weights[p], sizeof bits);
        std::printf("%zu %" PRId32 " %016" PRIx64 "\n", i, edges.second[p], bits);
      }
  }
  return 0;
}
