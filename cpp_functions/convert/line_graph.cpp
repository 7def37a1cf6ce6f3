// The s-line graph of a hyperedge list: one triple (i, j, weight) for every pair of positions
// i < j whose hyperedges share at least s members.
//
// Method. Comparing every pair costs n(n-1)/2 set walks (1.9e10 on a 2e5-hyperedge list) even
// when almost no pair overlaps. Instead an inverted index lists, for every member, the
// ascending positions that hold it. For a position i, walking the index entries of its
// members past i visits exactly the positions j > i that share something with i, once per
// shared member, so a dense per-thread counter ends up holding |e_i & e_j| for every such j.
// The work is the number of (pair, shared member) incidences, not the number of pairs.
// Hyperedges with fewer than s members can reach no count of s and are left out of the index
// (s >= 1); s = 0 joins every pair, so its output size n(n-1)/2 is known beforehand.
//
// Order and layout. Edges come in ascending (i, j) order for every thread count. A first
// pass counts the accepted pairs of each position, a prefix sum turns the counts into
// offsets, and a second pass recomputes each position's overlaps and writes each edge's second
// position and weight straight into its slot of an exact-size result. Recounting is cheaper than buffering:
// the output is the largest thing the call touches, and buffers would copy it once more.
//
// Encoding: members are renumbered into dense slots (id_index.hpp) so the index is two flat
// arrays. The result does not depend on the numbering.
//
// Threads: positions go out in chunks, each thread keeping its own counters; the calling
// thread polls for interruptions between jobs of positions sized to last about a millisecond.
#include "line_graph.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "../id_index.hpp"
#include "../interrupt.hpp"
#include "../omp_api.hpp"
#include "../parallel.hpp"
#include "../phase_marks.hpp"
#include "../transpose.hpp"

namespace {

using cpp_functions::hyperedge_list;
using cpp_functions::line_graph_edges;
using cpp_functions::parallel_for;
using cpp_functions::team_size;

constexpr int thread_request_floor = 256;
constexpr std::size_t serial_below_incidences = 20000;        // smaller inputs run on one thread
constexpr std::size_t members_per_claim = 4096;               // a thread's unit when copying members
constexpr auto job_target = std::chrono::microseconds(1000);  // a job of positions, between two polls
constexpr std::size_t chunks_per_job = 32;  // claims per job: work per position is very skewed

enum class weighting { absolute, normalized, zero };

// std::bad_alloc with a message that says how much was asked for.
struct output_too_large : std::bad_alloc {
  std::string message;
  explicit output_too_large(std::string text) : message(std::move(text)) {}
  const char* what() const noexcept override { return message.c_str(); }
};

// Flat copy of the hyperedges that take part, plus the inverted index over member slots.
struct incidence_index {
  cpp_functions::call_array<std::uint32_t> sizes;         // true size of every hyperedge
  cpp_functions::call_array<std::size_t> member_offsets;  // members of i: [member_offsets[i], [i+1])
  cpp_functions::call_array<std::uint32_t> member_slots;  // dense slot of each member
  cpp_functions::call_array<std::size_t> holder_offsets;  // holders of slot v: [holder_offsets[v], [v+1])
  cpp_functions::call_array<std::uint32_t> holders;       // positions, ascending within a slot
};

// Members of hyperedges with at least `min_size` members, copied in parallel (each position
// owns its slice), then renumbered into dense slots.
void flatten_members(const hyperedge_list& hyperedges, std::size_t min_size, incidence_index& index,
                     cpp_functions::call_array<std::int32_t>& member_ids) {
  const std::size_t n = hyperedges.size();
  index.sizes.resize(n);
  index.member_offsets.assign(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t size = hyperedges.offsets[i + 1] - hyperedges.offsets[i];
    if (size > UINT32_MAX)
      throw std::length_error("hyperedge " + std::to_string(i) + " has " + std::to_string(size) +
                              " members: at most 2^32 - 1");
    index.sizes[i] = static_cast<std::uint32_t>(size);
    index.member_offsets[i + 1] = index.member_offsets[i] + (size >= min_size ? size : 0);
  }
  member_ids.resize(index.member_offsets[n]);
  parallel_for(n, members_per_claim, team_size(member_ids.size(), serial_below_incidences),
               [&](std::size_t begin, std::size_t end, int) {
                 for (std::size_t i = begin; i < end; ++i)
                   std::copy_n(
                       hyperedges.members.begin() + static_cast<std::ptrdiff_t>(hyperedges.offsets[i]),
                       index.member_offsets[i + 1] - index.member_offsets[i],
                       member_ids.begin() + static_cast<std::ptrdiff_t>(index.member_offsets[i]));
               });
}

incidence_index build_index(const hyperedge_list& hyperedges, std::size_t min_size) {
  incidence_index index;
  cpp_functions::call_array<std::int32_t> member_ids;
  flatten_members(hyperedges, min_size, index, member_ids);
  index.member_slots.resize(member_ids.size());
  const std::size_t num_slots =
      cpp_functions::number_ids(member_ids.data(), member_ids.size(), index.member_slots.data());
  // Positions are scanned in ascending order, so every slot's holders come out ascending,
  // which the overlap walk relies on.
  cpp_functions::transpose(index.member_offsets, index.member_slots, num_slots, index.holder_offsets,
                           index.holders, team_size(index.member_slots.size(), serial_below_incidences));
  return index;
}

// Adds |e_i & e_j| into overlap[j] for every j > i sharing a member with i, and lists each
// such j once in `touched`. The caller zeroes the touched slots afterwards.
void gather_overlaps(const incidence_index& index, std::uint32_t i, std::vector<std::uint32_t>& overlap,
                     std::vector<std::uint32_t>& touched) {
  for (std::size_t k = index.member_offsets[i]; k < index.member_offsets[i + 1]; ++k) {
    const std::uint32_t slot = index.member_slots[k];
    const std::uint32_t* first = index.holders.data() + index.holder_offsets[slot];
    const std::uint32_t* last = index.holders.data() + index.holder_offsets[slot + 1];
    for (const std::uint32_t* j = std::upper_bound(first, last, i); j != last; ++j)
      if (overlap[*j]++ == 0) touched.push_back(*j);
  }
}

// 0.0 / 0.0 for an empty hyperedge. IEEE 754 leaves the sign of the NaN it makes to the
// processor (x86-64 sets it, aarch64 clears it); this is the x86-64 one on every processor,
// so the bits do not depend on the machine.
constexpr double empty_overlap_weight = -std::numeric_limits<double>::quiet_NaN();

double edge_weight(weighting mode, std::uint32_t shared, std::uint32_t size_i, std::uint32_t size_j) {
  switch (mode) {
    case weighting::absolute:
      return static_cast<double>(shared);
    case weighting::normalized: {
      const std::uint32_t smaller = std::min(size_i, size_j);
      return smaller == 0 ? empty_overlap_weight : static_cast<double>(shared) / static_cast<double>(smaller);
    }
    default:
      return 0.0;
  }
}

// Refuses a result that cannot fit in this machine's memory before anything is allocated,
// so the caller gets MemoryError instead of the process being killed halfway through. The
// Python list the binding makes of it takes a tuple and a list slot per pair (its ints and
// floats are shared), plus a float per pair where weights are many distinct fractions.
void check_output_size(std::uint64_t pairs) {
  constexpr double native_bytes_per_pair = sizeof(std::int32_t) + sizeof(double);
  constexpr double python_bytes_per_pair = 72;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return;
  const double needed = static_cast<double>(pairs) * (native_bytes_per_pair + python_bytes_per_pair);
  const double available = static_cast<double>(pages) * static_cast<double>(page_size);
  if (needed > available)
    throw output_too_large("line graph of " + std::to_string(pairs) + " pairs needs " +
                           std::to_string(static_cast<long long>(needed / (1 << 20))) +
                           " MiB, more than this machine's memory");
}

// Leaves in `touched` the positions j > i sharing at least s members with i, ascending, with
// their counts still in overlap[j]; the counters of the other positions are zeroed. Sorting
// k positions costs about k log k steps; where they fill their range densely, a scan of the
// range in order is cheaper.
void accepted_pairs(const incidence_index& index, std::uint32_t i, std::uint32_t s,
                    std::vector<std::uint32_t>& overlap, std::vector<std::uint32_t>& touched) {
  constexpr std::size_t scan_steps_per_pair = 8;
  gather_overlaps(index, i, overlap, touched);
  std::size_t accepted = 0;
  std::uint32_t low = std::numeric_limits<std::uint32_t>::max(), high = 0;
  for (std::uint32_t j : touched) {
    if (overlap[j] >= s) {
      touched[accepted++] = j;
      low = std::min(low, j);
      high = std::max(high, j);
    } else {
      overlap[j] = 0;
    }
  }
  touched.resize(accepted);
  if (accepted > 1 && static_cast<std::size_t>(high - low) < accepted * scan_steps_per_pair) {
    std::size_t k = 0;
    for (std::uint32_t j = low; j <= high; ++j)
      if (overlap[j] != 0) touched[k++] = j;
  } else {
    std::sort(touched.begin(), touched.end());
  }
}

// A thread's counters for the overlap walk: zero, and empty, between positions. A cache line
// each: every push_back writes the list's end pointer.
struct alignas(64) walk_buffers {
  std::vector<std::uint32_t> overlap;
  std::vector<std::uint32_t> touched;
};

// Runs visit(i, overlap, touched) for every position i in parallel, each thread with its own
// zeroed counter and touched list, which visit must leave zeroed and empty. Positions go out
// in jobs sized to last about job_target, with a poll for interruptions after each; the first
// exception a visit throws, or an interruption, ends the walk.
template <typename Visit>
void for_each_position(const incidence_index& index, std::size_t work, Visit&& visit) {
  const std::size_t n = index.sizes.size();
  std::vector<walk_buffers> buffers(static_cast<std::size_t>(team_size(work, serial_below_incidences)));
  // Positions in the next job: from one per thread, doubled while jobs are short and halved
  // while they are long (one position can take milliseconds).
  std::size_t batch = buffers.size();
  for (std::size_t first = 0; first < n;) {
    const std::size_t count = std::min(batch, n - first);
    // The team only shrinks within a call (a busy machine makes it go on alone).
    const int team = std::min(team_size(work, serial_below_incidences), static_cast<int>(buffers.size()));
    const auto start = std::chrono::steady_clock::now();
    parallel_for(count, (count + chunks_per_job - 1) / chunks_per_job, team,
                 [&](std::size_t begin, std::size_t end, int participant) {
                   walk_buffers& own = buffers[static_cast<std::size_t>(participant)];
                   if (own.overlap.empty()) own.overlap.assign(n, 0);
                   for (std::size_t i = first + begin; i < first + end; ++i)
                     visit(static_cast<std::uint32_t>(i), own.overlap, own.touched);
                 });
    cpp_functions::poll_interrupt();
    first += count;
    const auto took = std::chrono::steady_clock::now() - start;
    if (took < job_target / 2) batch *= 2;
    if (took > job_target * 2 && batch > 1) batch /= 2;
  }
}

// s >= 1: first pass. pair_offsets[i + 1] receives the number of accepted pairs (i, j > i),
// then the counts become offsets.
void count_pairs(const incidence_index& index, std::uint32_t s,
                 cpp_functions::call_array<std::size_t>& pair_offsets) {
  for_each_position(index, index.member_slots.size(), [&](std::uint32_t i, auto& overlap, auto& touched) {
    if (index.sizes[i] < s) return;
    gather_overlaps(index, i, overlap, touched);
    std::size_t accepted = 0;
    for (std::uint32_t j : touched) {
      accepted += overlap[j] >= s;
      overlap[j] = 0;
    }
    touched.clear();
    pair_offsets[i + 1] = accepted;
  });
  for (std::size_t i = 0; i < index.sizes.size(); ++i) pair_offsets[i + 1] += pair_offsets[i];
}

// s >= 1: second pass. Writes each position's accepted pairs, ascending j, at its offset.
void write_pairs(const incidence_index& index, std::uint32_t s, weighting mode, line_graph_edges& edges) {
  for_each_position(index, index.member_slots.size(), [&](std::uint32_t i, auto& overlap, auto& touched) {
    std::size_t out = edges.offsets[i];
    if (out == edges.offsets[i + 1]) return;
    accepted_pairs(index, i, s, overlap, touched);
    for (std::uint32_t j : touched) {
      edges.second[out] = static_cast<std::int32_t>(j);
      edges.weights[out++] = edge_weight(mode, overlap[j], index.sizes[i], index.sizes[j]);
      overlap[j] = 0;
    }
    touched.clear();
  });
}

// s = 0: every pair, disjoint and empty hyperedges included; position i's pairs start at
// the number of pairs of the positions before it.
void write_all_pairs(const incidence_index& index, weighting mode, line_graph_edges& edges) {
  const std::size_t n = index.sizes.size();
  for_each_position(index, edges.size(), [&](std::uint32_t i, auto& overlap, auto& touched) {
    gather_overlaps(index, i, overlap, touched);
    std::size_t out = edges.offsets[i];
    for (std::size_t j = i + 1; j < n; ++j) {
      edges.second[out] = static_cast<std::int32_t>(j);
      edges.weights[out++] = edge_weight(mode, overlap[j], index.sizes[i], index.sizes[j]);
      overlap[j] = 0;
    }
    touched.clear();
  });
}

}  // namespace

int max_thread_request() { return std::max(thread_request_floor, omp_get_num_procs()); }

line_graph_edges compute_line_graph_edges(const hyperedge_list& hyperedges, int s, const std::string& weights,
                                          int max_threads) {
  if (max_threads > 0) cpp_functions::set_thread_setting(std::min(max_threads, max_thread_request()));
  line_graph_edges edges;
  const std::size_t n = hyperedges.size();
  if (s < 0 || n < 2) {
    edges.offsets.assign(n + 1, 0);
    return edges;
  }
  if (n > static_cast<std::size_t>(INT32_MAX))
    throw std::length_error(std::to_string(n) +
                            " hyperedges: at most 2^31 - 1, as positions are 32-bit ints");
  const weighting mode = weights == "absolute"     ? weighting::absolute
                         : weights == "normalized" ? weighting::normalized
                                                   : weighting::zero;
  if (s == 0) {
    const std::uint64_t pairs = static_cast<std::uint64_t>(n) * (n - 1) / 2;
    check_output_size(pairs);
    const incidence_index index = build_index(hyperedges, 0);
    edges.offsets.resize(n + 1);
    for (std::size_t i = 0; i <= n; ++i) edges.offsets[i] = i * (n - 1) - (i == 0 ? 0 : i * (i - 1) / 2);
    edges.second.resize(pairs);
    edges.weights.resize(pairs);
    write_all_pairs(index, mode, edges);
    return edges;
  }
  const auto threshold = static_cast<std::uint32_t>(s);
  const incidence_index index = build_index(hyperedges, threshold);
  CPP_FUNCTIONS_PHASE("structure build");
  edges.offsets.assign(n + 1, 0);
  if (index.member_slots.empty()) return edges;  // no hyperedge has s members: no pair
  count_pairs(index, threshold, edges.offsets);
  check_output_size(edges.offsets[n]);
  edges.second.resize(edges.offsets[n]);
  edges.weights.resize(edges.offsets[n]);
  write_pairs(index, threshold, mode, edges);
  CPP_FUNCTIONS_PHASE("pairs");
  return edges;
}
