// Cross-architecture check: reads hypergraphs from stdin and prints one digest line per
// computation, covering every bit of every result, so that a build for another processor
// (run under an emulator) can be compared line by line with the native build.
//
// Input: blocks of "name count s_values", then `count` lines "k m1 ... mk" (one hyperedge
// each); s_values is a comma-separated list of thresholds, or "none". For each block
// the driver runs, on its own helper threads:
// - the order replica of a converted dict over the node ids (hash_order.hpp) and a real
//   std::unordered_map's order, which must agree;
// - the line graph at each s, "absolute" and "normalized";
// - centralities for 0, 1 and 100 rounds (tol 0) and with the default tol;
// - connectivity.
// Nodes are keyed in the native order of a converted dict, edges by position, as the
// module's casters would hand them over.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cpp_functions/algorithms/centrality.hpp"
#include "cpp_functions/algorithms/connected.hpp"
#include "cpp_functions/boundary/hash_order.hpp"
#include "cpp_functions/boundary/interrupt.hpp"
#include "cpp_functions/convert/line_graph.hpp"

// Nothing interrupts the driver.
void cpp_functions::poll_interrupt() {}

namespace {

using cpp_functions::hyperedge_list;
using cpp_functions::incidence_map;

// FNV-1a over raw bytes: the digest changes with any bit of any value.
struct digest {
  std::uint64_t value = 1469598103934665603ULL;

  template <typename T, typename Allocator>
  void add(const std::vector<T, Allocator>& values) {
    add_bytes(values.data(), values.size() * sizeof(T));
  }
  void add_bytes(const void* data, std::size_t bytes) {
    for (std::size_t b = 0; b < bytes; ++b)
      value = (value ^ static_cast<const unsigned char*>(data)[b]) * 1099511628211ULL;
  }
};

// Node ids in first-seen order, the native map order of a dict built that way, and the
// incidence maps in those orders.
struct hypergraph {
  hyperedge_list hyperedges;
  incidence_map nodes, edges;
  bool order_agrees = true;
};

hypergraph build(const std::vector<std::vector<std::int32_t>>& lists) {
  hypergraph g;
  std::unordered_map<std::int32_t, std::vector<std::int32_t>> listed;
  std::vector<std::int32_t> first_seen;
  for (std::size_t e = 0; e < lists.size(); ++e) {
    std::unordered_set<std::int32_t> seen;
    for (std::int32_t v : lists[e]) {
      if (!seen.insert(v).second) continue;
      g.hyperedges.members.push_back(v);
      auto [it, fresh] = listed.try_emplace(v);
      if (fresh) first_seen.push_back(v);
      it->second.push_back(static_cast<std::int32_t>(e));
    }
    g.hyperedges.offsets.push_back(g.hyperedges.members.size());
    g.edges.keys.push_back(static_cast<std::int32_t>(e));
  }
  g.edges.ids = g.hyperedges.members;
  g.edges.offsets = g.hyperedges.offsets;
  const auto order = cpp_functions::unordered_map_order(first_seen.data(), first_seen.size(), true,
                                                        first_seen.size(), true, 2, [] {});
  std::unordered_map<std::int32_t, int> real;
  real.reserve(first_seen.size());
  for (std::int32_t v : first_seen) real.emplace(v, 0);
  std::size_t k = 0;
  for (const auto& entry : real)
    g.order_agrees = g.order_agrees && k < order.size() && first_seen[order[k++]] == entry.first;
  g.order_agrees = g.order_agrees && k == order.size();
  for (std::uint32_t p : order) {
    const std::int32_t v = first_seen[p];
    g.nodes.keys.push_back(v);
    g.nodes.ids.insert(g.nodes.ids.end(), listed[v].begin(), listed[v].end());
    g.nodes.offsets.push_back(g.nodes.ids.size());
  }
  return g;
}

void report(const std::string& name, const std::string& what, const digest& d) {
  std::printf("%s %s %016llx\n", name.c_str(), what.c_str(), static_cast<unsigned long long>(d.value));
}

void run(const std::string& name, const std::vector<int>& thresholds, const hypergraph& g) {
  std::printf("%s order %s\n", name.c_str(), g.order_agrees ? "agrees" : "differs");
  digest keys;
  keys.add(g.nodes.keys);
  report(name, "node-order", keys);
  for (int s : thresholds)
    for (const char* mode : {"absolute", "normalized"}) {
      const auto lg = compute_line_graph_edges(g.hyperedges, s, mode, 0);
      digest d;
      d.add(lg.offsets);
      d.add(lg.second);
      d.add(lg.weights);
      report(name, "line-graph-s" + std::to_string(s) + "-" + mode, d);
    }
  for (auto [rounds, tol] : {std::pair{0, 0.0}, {1, 0.0}, {100, 0.0}, {100, 1e-6}}) {
    const auto c = compute_centralities(g.nodes, g.edges, rounds, tol);
    digest d;
    d.add(c.node_ids);
    d.add(c.node_scores);
    d.add(c.edge_ids);
    d.add(c.edge_scores);
    report(name, "centrality-" + std::to_string(rounds) + (tol > 0.0 ? "-tol" : ""), d);
  }
  // Entries in native order: the first is the native first, where the search starts.
  cpp_functions::incidence_entries nodes, edges;
  static_cast<cpp_functions::incidence_map&>(nodes) = g.nodes;
  static_cast<cpp_functions::incidence_map&>(edges) = g.edges;
  std::printf("%s connected %d\n", name.c_str(), is_connected(nodes, edges) ? 1 : 0);
}

}  // namespace

int main() {
  std::string name;
  std::string s_values;
  std::size_t count = 0;
  while (std::cin >> name >> count >> s_values) {
    std::vector<int> thresholds;
    for (const char* p = s_values == "none" ? "" : s_values.c_str(); *p != '\0';) {
      char* end = nullptr;
      thresholds.push_back(static_cast<int>(std::strtol(p, &end, 10)));
      p = *end == ',' ? end + 1 : end;
    }
    std::vector<std::vector<std::int32_t>> lists(count);
    for (auto& members : lists) {
      std::size_t k = 0;
      std::cin >> k;
      members.resize(k);
      for (auto& v : members) std::cin >> v;
    }
    run(name, thresholds, build(lists));
  }
  return std::cin.eof() ? 0 : 1;
}
