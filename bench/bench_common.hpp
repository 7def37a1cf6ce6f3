// Helpers for the stand-alone kernel benchmarks: read a dataset the way the Python side
// does, and time a callable. Not part of the module.
#pragma once

#include <sched.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../cpp_functions/boundary/interrupt.hpp"
#include "../cpp_functions/runtime/flat_types.hpp"

// Nothing interrupts a stand-alone timer. (Each timer is one translation unit.)
void cpp_functions::poll_interrupt() {}

namespace bench {

inline std::vector<long> read_ints(const std::string& path) {
  gzFile file = gzopen(path.c_str(), "rb");
  if (!file) throw std::runtime_error("cannot open " + path);
  std::string text;
  char chunk[1 << 16];
  for (int got; (got = gzread(file, chunk, sizeof chunk)) > 0;)
    text.append(chunk, static_cast<std::size_t>(got));
  gzclose(file);
  std::vector<long> values;
  const char* p = text.c_str();
  char* end = nullptr;
  for (long v = std::strtol(p, &end, 10); end != p; v = std::strtol(p, &end, 10)) {
    values.push_back(v);
    p = end;
  }
  return values;
}

// Hyperedges of data_dir/name in file order; with `distinct`, repeated member sets dropped.
inline std::vector<std::unordered_set<int>> read_hyperedges(const std::string& data_dir,
                                                            const std::string& name, bool distinct) {
  const std::string stem = data_dir + "/" + name + "/" + name;
  const std::vector<long> sizes = read_ints(stem + "-nverts.txt.gz");
  const std::vector<long> members = read_ints(stem + "-simplices.txt.gz");
  std::vector<std::unordered_set<int>> hyperedges;
  std::set<std::vector<int>> seen;
  std::size_t at = 0;
  for (long size : sizes) {
    std::vector<int> edge(members.begin() + static_cast<long>(at),
                          members.begin() + static_cast<long>(at) + size);
    at += static_cast<std::size_t>(size);
    std::sort(edge.begin(), edge.end());
    edge.erase(std::unique(edge.begin(), edge.end()), edge.end());
    if (distinct && !seen.insert(edge).second) continue;
    hyperedges.emplace_back(edge.begin(), edge.end());
  }
  return hyperedges;
}

using incidence_map = std::unordered_map<int, std::unordered_set<int>>;

// (node_dict, edge_dict) built as the binding builds them: each set reserved and filled in
// one go, so its elements sit together in memory as they do after a call's conversion.
inline std::pair<incidence_map, incidence_map> incidence_maps(
    const std::vector<std::unordered_set<int>>& hyperedges) {
  std::unordered_map<int, std::vector<int>> listed;
  std::vector<int> order;
  for (std::size_t e = 0; e < hyperedges.size(); ++e)
    for (int v : hyperedges[e]) {
      auto [it, fresh] = listed.try_emplace(v);
      if (fresh) order.push_back(v);
      it->second.push_back(static_cast<int>(e));
    }
  incidence_map nodes, edges;
  nodes.reserve(order.size());
  for (int v : order) {
    std::unordered_set<int>& set = nodes[v];
    set.reserve(listed[v].size());
    set.insert(listed[v].begin(), listed[v].end());
  }
  edges.reserve(hyperedges.size());
  for (std::size_t e = 0; e < hyperedges.size(); ++e) {
    std::unordered_set<int>& set = edges[static_cast<int>(e)];
    set.reserve(hyperedges[e].size());
    set.insert(hyperedges[e].begin(), hyperedges[e].end());
  }
  return {std::move(nodes), std::move(edges)};
}

// The kernels' flat inputs, as the binding fills them: a map's entries in its iteration order.
inline cpp_functions::hyperedge_list flat(const std::vector<std::unordered_set<int>>& hyperedges) {
  cpp_functions::hyperedge_list list;
  for (const auto& edge : hyperedges) {
    list.members.insert(list.members.end(), edge.begin(), edge.end());
    list.offsets.push_back(list.members.size());
  }
  return list;
}

inline cpp_functions::incidence_map flat(const incidence_map& map) {
  cpp_functions::incidence_map flat_map;
  for (const auto& [key, ids] : map) {
    flat_map.keys.push_back(key);
    flat_map.ids.insert(flat_map.ids.end(), ids.begin(), ids.end());
    flat_map.offsets.push_back(flat_map.ids.size());
  }
  return flat_map;
}

// A "Vm...:" line of /proc/self/status, in MiB.
inline double status_mib(const std::string& field) {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return 0.0;
  char line[256];
  double kib = 0.0;
  while (std::fgets(line, sizeof line, status))
    if (std::string(line).rfind(field, 0) == 0) kib = std::atof(line + field.size());
  std::fclose(status);
  return kib / 1024;
}

// Starts a new peak-resident-memory measurement (VmHWM) from the current resident size.
inline void reset_peak_memory() {
  if (std::FILE* refs = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", refs);
    std::fclose(refs);
  }
}

// Pins the calling thread to the first processor of its mask while alive. The kernels size
// their teams by the processors the caller may use, so a pinned call runs one thread.
// Create one only after a first unpinned call: helper threads inherit the mask they start
// with.
class one_cpu {
 public:
  one_cpu() {
    sched_getaffinity(0, sizeof saved_, &saved_);
    cpu_set_t first;
    CPU_ZERO(&first);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
      if (CPU_ISSET(cpu, &saved_)) {
        CPU_SET(cpu, &first);
        break;
      }
    sched_setaffinity(0, sizeof first, &first);
  }
  ~one_cpu() { sched_setaffinity(0, sizeof saved_, &saved_); }
  one_cpu(const one_cpu&) = delete;
  one_cpu& operator=(const one_cpu&) = delete;

 private:
  cpu_set_t saved_;
};

// Median seconds of each callable over `repeats` rounds, after one warm-up round; each round
// runs them all in turn, so a slow spell of a shared machine hits them alike and their ratios
// hold better than those of medians taken one after the other.
template <std::size_t N, typename F>
std::array<double, N> interleaved_medians(int repeats, const std::array<F, N>& runs) {
  std::array<double, N> medians{};
  if (repeats <= 0) return medians;
  std::array<std::vector<double>, N> times;
  for (int r = -1; r < repeats; ++r)
    for (std::size_t k = 0; k < N; ++k) {
      const auto start = std::chrono::steady_clock::now();
      runs[k]();
      if (r >= 0)
        times[k].push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
  for (std::size_t k = 0; k < N; ++k) {
    std::sort(times[k].begin(), times[k].end());
    medians[k] = times[k][times[k].size() / 2];
  }
  return medians;
}

// Median seconds of `repeats` runs after one warm-up; no run at all for repeats <= 0.
template <typename F>
double median_seconds(int repeats, F&& run) {
  return interleaved_medians<1>(repeats, std::array<std::decay_t<F>, 1>{run})[0];
}

}  // namespace bench
