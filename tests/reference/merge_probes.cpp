// Test helper: probe steps per edge of the table that merges equal member sets, for m
// two-member edges (m from argv) over 4m nodes: "crafted" pairs whose sets a fixed hash (the
// sum of mix(index + 1) over the members) would put into one probe run, "random" pairs, and
// "repeated" (every set four times). Prints "name probes_per_edge" per line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <unordered_map>
#include <vector>

#include "cpp_functions/algorithms/incidence.hpp"
#include "cpp_functions/runtime/seeded_hash.hpp"

namespace cpp_functions {
void poll_interrupt() {}
}  // namespace cpp_functions

namespace {

using pairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

double probes_per_edge(std::size_t nodes, const pairs& members) {
  cpp_functions::incidence_map node_map, edge_map;
  for (std::size_t v = 0; v < nodes; ++v) node_map.keys.push_back(static_cast<std::int32_t>(v));
  node_map.offsets.assign(nodes + 1, 0);
  for (std::size_t e = 0; e < members.size(); ++e) {
    edge_map.keys.push_back(static_cast<std::int32_t>(e));
    edge_map.ids.push_back(static_cast<std::int32_t>(members[e].first));
    edge_map.ids.push_back(static_cast<std::int32_t>(members[e].second));
    edge_map.offsets.push_back(edge_map.ids.size());
  }
  const auto g = cpp_functions::build_incidence(node_map, edge_map);
  return static_cast<double>(g.merge_probes) / static_cast<double>(members.size());
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t m = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  const std::size_t nodes = 4 * m;
  std::size_t capacity = 16;
  while (capacity < 2 * m) capacity *= 2;
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> by_low;
  for (std::uint32_t k = 0; k < nodes; ++k)
    by_low[cpp_functions::mix64(k + 1ULL) & (capacity - 1)].push_back(k);
  pairs crafted;
  for (std::uint32_t a = 0; a < nodes && crafted.size() < m; ++a)
    for (std::uint32_t b : by_low[(0 - cpp_functions::mix64(a + 1ULL)) & (capacity - 1)])
      if (b > a && crafted.size() < m) crafted.emplace_back(a, b);
  std::mt19937 random(7);
  pairs spread, repeated;
  for (std::size_t e = 0; e < m; ++e) {
    const auto a = static_cast<std::uint32_t>(random() % nodes);
    const auto b = static_cast<std::uint32_t>((a + 1 + random() % (nodes - 1)) % nodes);
    spread.emplace_back(a, b);
    repeated.push_back(spread[e / 4]);
  }
  std::printf("crafted %.3f\nrandom %.3f\nrepeated %.3f\n", probes_per_edge(nodes, crafted),
              probes_per_edge(nodes, spread), probes_per_edge(nodes, repeated));
  return 0;
}
