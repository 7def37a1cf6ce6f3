// Test helper: reads one hypergraph from stdin ("max_iter tol", then "n id1 ... idn" for the
// nodes, then one line "e k m1 ... mk" per edge), runs the centrality kernel with every
// instruction-set build the processor supports and prints "variant digest" per build, the
// digest covering the ids and the bits of every score. The team follows the processors and
// OMP_THREAD_LIMIT. With an argument k, each call changes its processors at its k-th
// interruption poll (one poll per round): pinned to one processor from there on, or, with a
// second argument "grow", pinned before the call and set free there. The team changes with
// them in the middle of the call.
#include "cpp_functions/algorithms/centrality_variants.hpp"

#include <sched.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

int polls = 0, switch_at = -1;
bool grow = false;
cpu_set_t all_processors;

void pin(bool one) {
  cpu_set_t set = all_processors;
  if (one) {
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
      if (CPU_ISSET(cpu, &all_processors)) {
        CPU_SET(cpu, &set);
        break;
      }
  }
  sched_setaffinity(0, sizeof set, &set);
}

}  // namespace

namespace cpp_functions {
void poll_interrupt() {
  if (++polls == switch_at) pin(!grow);
}
}  // namespace cpp_functions

using cpp_functions::centrality_variant;

int main(int argc, char** argv) {
  sched_getaffinity(0, sizeof all_processors, &all_processors);
  if (argc > 1) switch_at = std::atoi(argv[1]);
  grow = argc > 2 && std::strcmp(argv[2], "grow") == 0;
  int max_iter = 0;
  double tol = 0.0;
  std::size_t n = 0;
  std::cin >> max_iter >> tol >> n;
  cpp_functions::incidence_map nodes, edges;
  nodes.keys.resize(n);
  for (auto& k : nodes.keys) std::cin >> k;
  nodes.offsets.assign(n + 1, 0);
  std::int32_t e = 0;
  std::size_t k = 0;
  while (std::cin >> e >> k) {
    edges.keys.push_back(e);
    for (std::size_t q = 0; q < k; ++q) {
      std::int32_t member = 0;
      std::cin >> member;
      edges.ids.push_back(member);
    }
    edges.offsets.push_back(edges.ids.size());
  }
  std::vector<std::pair<const char*, centrality_variant>> variants{
      {"baseline", centrality_variant::baseline}};
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) variants.emplace_back("avx2", centrality_variant::avx2);
#endif
  for (const auto& [name, variant] : variants) {
    polls = 0;
    pin(grow);
    const auto r = cpp_functions::compute_centralities_with(nodes, edges, max_iter, tol, variant);
    pin(false);
    std::uint64_t digest = 1469598103934665603ULL;  // FNV-1a over the raw bytes
    auto add = [&](const void* data, std::size_t bytes) {
      for (std::size_t b = 0; b < bytes; ++b)
        digest = (digest ^ static_cast<const unsigned char*>(data)[b]) * 1099511628211ULL;
    };
    add(r.node_ids.data(), r.node_ids.size() * sizeof(std::int32_t));
    add(r.node_scores.data(), r.node_scores.size() * sizeof(double));
    add(r.edge_ids.data(), r.edge_ids.size() * sizeof(std::int32_t));
    add(r.edge_scores.data(), r.edge_scores.size() * sizeof(double));
    std::cout << name << " " << digest << "\n";
  }
  return 0;
}
