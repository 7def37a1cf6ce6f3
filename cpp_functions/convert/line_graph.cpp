// The s-line graph of a hyperedge list: one triple (i, j, weight) for every pair of positions
// i < j whose hyperedges share at least s members.
//
// Method. Comparing every pair costs n(n-1)/2 set walks (1.9e10 on a 2e5-hyperedge list) even
// when almost no pair overlaps. Instead an inverted index lists, for every member, the
// ascending positions that hold it. For a position i, walking the index entries of its
// members past i visits exactly the positions j > i that share something with i, once per
// shared member, and a per-thread counter ends up holding |e_i & e_j| for every such j. The
// work is the number of (pair, shared member) visits, not the number of pairs. Hyperedges
// with fewer than s members can reach no count of s and are left out of the index (s >= 1);
// s = 0 joins every pair, so its output size n(n-1)/2 is known beforehand.
//
// Hubs (s >= 2, overlap_walk.hpp): the members held by the most hyperedges are walked only
// where both sides can reach s through them alone; elsewhere they are counted from bit masks.
//
// Order and layout. Edges come in ascending (i, j) order for every thread count. One walk
// counts the accepted pairs of each position and keeps them (second position and count) while
// they fit a budget; a prefix sum turns the counts into offsets, and the kept pairs are copied
// into an exact-size result. Chunks of positions whose pairs did not fit are walked again and
// write their edges straight into their slots, so a large output (s = 1) is never held twice.
//
// Encoding: members are renumbered into dense slots (id_index.hpp) so the index is two flat
// arrays. The result does not depend on the numbering.
//
// Threads: positions go out in chunks, each thread keeping its own counters; the calling
// thread polls for interruptions between jobs of positions sized to last about a millisecond.
#include "line_graph.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "../boundary/interrupt.hpp"
#include "../runtime/omp_api.hpp"
#include "../runtime/parallel.hpp"
#include "../runtime/phase_marks.hpp"
#include "overlap_walk.hpp"

namespace {

using cpp_functions::hyperedge_list;
using cpp_functions::line_graph_edges;
using cpp_functions::parallel_for;
using cpp_functions::team_size;
using cpp_functions::line_graph::dense_walker;
using cpp_functions::line_graph::hub_walker;
using cpp_functions::line_graph::pair_entry;

constexpr int thread_request_floor = 256;
constexpr auto job_target = std::chrono::microseconds(1000);  // a job of positions, between two polls
constexpr std::size_t chunks_per_job = 32;  // claims per job: work per position is very skewed
// Pairs (8 bytes each) a call keeps from its counting walk: this many, or one per four
// incidences where that is more (2 bytes per incidence beside the index's 20 or so). A test
// build sets the budget itself, to switch to walking again at chosen places.
#ifndef CPP_FUNCTIONS_PAIRS_PER_CLAIM
#define CPP_FUNCTIONS_PAIRS_PER_CLAIM 4096  // one shared counter: taken in steps
#endif
#ifdef CPP_FUNCTIONS_TEST_KNOBS
std::size_t kept_pairs(std::size_t) { return cpp_functions::line_graph::test_kept_pairs; }
#else
std::size_t kept_pairs(std::size_t incidences) { return std::max<std::size_t>(1 << 20, incidences / 4); }
#endif

enum class weighting { absolute, normalized, zero };

// std::bad_alloc with a message that says how much was asked for.
struct output_too_large : std::bad_alloc {
  std::string message;
  explicit output_too_large(std::string text) : message(std::move(text)) {}
  const char* what() const noexcept override { return message.c_str(); }
};

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

// Runs visit(begin, end, walker, participant) for chunks of positions in parallel, each
// participant with its own walker. Positions go out in jobs sized to last about job_target, with a poll for
// interruptions after each; the first exception a visit throws, or an interruption, ends the
// walk.
template <typename Walker, typename Index, typename Visit>
void for_each_chunk(const Index& index, std::size_t work, std::vector<Walker>& walkers, Visit&& visit) {
  const std::size_t n = index.positions();
  const int first_team = team_size(work, cpp_functions::line_graph::serial_below_incidences);
  while (walkers.size() < static_cast<std::size_t>(first_team)) walkers.emplace_back(index);
  // Positions in the next job: from one per thread, doubled while jobs are short and halved
  // while they are long (one position can take milliseconds).
  std::size_t batch = static_cast<std::size_t>(first_team);
  for (std::size_t first = 0; first < n;) {
    const std::size_t count = std::min(batch, n - first);
    // The team only shrinks within a call (a busy machine makes it go on alone).
    const int team =
        std::min(team_size(work, cpp_functions::line_graph::serial_below_incidences), first_team);
    const auto start = std::chrono::steady_clock::now();
    parallel_for(count, (count + chunks_per_job - 1) / chunks_per_job, team,
                 [&](std::size_t begin, std::size_t end, int participant) {
                   visit(first + begin, first + end, walkers[static_cast<std::size_t>(participant)],
                         participant);
                 });
    cpp_functions::poll_interrupt();
    first += count;
    const auto took = std::chrono::steady_clock::now() - start;
    if (took < job_target / 2) batch *= 2;
    if (took > job_target * 2 && batch > 1) batch /= 2;
  }
}

// The accepted pairs of the positions [first, end), in (i, j) order.
struct kept_chunk {
  std::uint32_t first, end;
  std::vector<pair_entry> pairs;
};

// s >= 1. One walk counts every position's accepted pairs and keeps them, chunk by chunk,
// while the call's kept pairs fit `budget`; a chunk that would pass it keeps only its counts
// and is walked again once the result is sized.
template <typename Walker, typename Index>
void collect_pairs(Index& index, weighting mode, std::size_t budget, line_graph_edges& edges) {
  constexpr std::size_t pairs_per_claim = CPP_FUNCTIONS_PAIRS_PER_CLAIM;  // budget taken in steps
  const std::size_t n = index.positions();
  const auto write = [&](std::size_t i, const pair_entry& pair, std::size_t out) {
    edges.second[out] = static_cast<std::int32_t>(pair.second);
    edges.weights[out] = edge_weight(mode, pair.shared, index.size(i), index.size(pair.second));
  };
  // Accepted pairs of each position, with a bit for those walked again. The result's offsets
  // come after the walk: the lists may be gone by then.
  constexpr std::uint32_t walk_again = std::uint32_t{1} << 31;  // counts stay below n < 2^31
  cpp_functions::call_array<std::uint32_t> counts(n);
  // By participant; the team only shrinks within a call.
  std::vector<std::vector<kept_chunk>> kept(static_cast<std::size_t>(
      team_size(index.incidences(), cpp_functions::line_graph::serial_below_incidences)));
  std::atomic<std::size_t> claimed{0};
  std::atomic<bool> any_again{false};
  std::vector<Walker> walkers;
  for_each_chunk(
      index, index.incidences(), walkers,
      [&](std::size_t begin, std::size_t end, Walker& walker, int participant) {
        kept_chunk chunk{static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(end), {}};
        std::size_t allowance = 0;
        bool keep = !any_again.load(std::memory_order_relaxed);  // else its first pairs would be thrown away
        for (std::size_t i = begin; i < end; ++i) {
          const auto position = static_cast<std::uint32_t>(i);
          if (!keep) {
            counts[i] = static_cast<std::uint32_t>(walker.count(position));
            continue;
          }
          const std::size_t had = chunk.pairs.size();
          walker.pairs(position,
                       [&](std::uint32_t j, std::uint32_t shared) { chunk.pairs.push_back({j, shared}); });
          counts[i] = static_cast<std::uint32_t>(chunk.pairs.size() - had);
          if (chunk.pairs.size() <= allowance) continue;
          const std::size_t step = std::max(pairs_per_claim, chunk.pairs.size() - allowance);
          if (claimed.fetch_add(step, std::memory_order_relaxed) + step <= budget) {
            allowance += step;
          } else {
            claimed.fetch_sub(step + allowance, std::memory_order_relaxed);
            keep = false;
            std::vector<pair_entry>().swap(chunk.pairs);
          }
        }
        if (!keep) {
          for (std::size_t i = begin; i < end; ++i) counts[i] |= walk_again;
          any_again.store(true, std::memory_order_relaxed);
        }
        if (keep && !chunk.pairs.empty())
          kept[static_cast<std::size_t>(participant)].push_back(std::move(chunk));
      });
  const bool again = any_again.load(std::memory_order_relaxed);
  if (!again) {  // no second walk: the lists go before the result comes
    std::vector<Walker>().swap(walkers);
    index.release_lists();
  }
  edges.offsets.resize(n + 1);
  edges.offsets[0] = 0;
  cpp_functions::polled_loop(n, cpp_functions::poll_interrupt, [&](std::size_t i) {
    edges.offsets[i + 1] = edges.offsets[i] + (counts[i] & ~walk_again);
  });
  if (!again) cpp_functions::call_array<std::uint32_t>().swap(counts);
  check_output_size(edges.offsets[n]);
  edges.second.resize(edges.offsets[n]);
  edges.weights.resize(edges.offsets[n]);
  std::vector<kept_chunk*> chunks;
  for (auto& own : kept)
    for (kept_chunk& chunk : own) chunks.push_back(&chunk);
  parallel_for(chunks.size(), 1, team_size(edges.size(), cpp_functions::line_graph::serial_below_incidences),
               [&](std::size_t begin, std::size_t end, int) {
                 for (std::size_t c = begin; c < end; ++c) {
                   const pair_entry* pair = chunks[c]->pairs.data();
                   for (std::uint32_t i = chunks[c]->first; i < chunks[c]->end; ++i)
                     for (std::size_t out = edges.offsets[i]; out < edges.offsets[i + 1]; ++out)
                       write(i, *pair++, out);
                   std::vector<pair_entry>().swap(chunks[c]->pairs);
                 }
               });
  if (!again) return;
  for_each_chunk(index, index.incidences(), walkers,
                 [&](std::size_t begin, std::size_t end, Walker& walker, int) {
                   for (std::size_t i = begin; i < end; ++i) {
                     if (!(counts[i] & walk_again) || edges.offsets[i] == edges.offsets[i + 1]) continue;
                     std::size_t out = edges.offsets[i];
                     walker.pairs(static_cast<std::uint32_t>(i), [&](std::uint32_t j, std::uint32_t shared) {
                       write(i, pair_entry{j, shared}, out++);
                     });
                   }
                 });
}

// s = 0: every pair, disjoint and empty hyperedges included; position i's pairs start at
// the number of pairs of the positions before it.
void write_all_pairs(const cpp_functions::line_graph::dense_index& index, weighting mode,
                     line_graph_edges& edges) {
  const std::size_t n = index.positions();
  std::vector<dense_walker> walkers;
  for_each_chunk(
      index, edges.size(), walkers, [&](std::size_t begin, std::size_t end, dense_walker& walker, int) {
        for (std::size_t i = begin; i < end; ++i) {
          walker.gather(static_cast<std::uint32_t>(i));
          std::size_t out = edges.offsets[i];
          for (std::size_t j = i + 1; j < n; ++j, ++out) {
            edges.second[out] = static_cast<std::int32_t>(j);
            edges.weights[out] =
                edge_weight(mode, walker.take(static_cast<std::uint32_t>(j)), index.size(i), index.size(j));
          }
          walker.clear();
        }
      });
}

}  // namespace

int max_thread_request() { return std::max(thread_request_floor, omp_get_num_procs()); }

line_graph_edges compute_line_graph_edges(const hyperedge_list& hyperedges, int s, const std::string& weights,
                                          int max_threads) {
  namespace lg = cpp_functions::line_graph;
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
    const lg::dense_index index = lg::build_dense_index(hyperedges, 0);
    edges.offsets.resize(n + 1);
    for (std::size_t i = 0; i <= n; ++i) edges.offsets[i] = i * (n - 1) - (i == 0 ? 0 : i * (i - 1) / 2);
    edges.second.resize(pairs);
    edges.weights.resize(pairs);
    write_all_pairs(index, mode, edges);
    return edges;
  }
  const auto threshold = static_cast<std::uint32_t>(s);
  if (s == 1) {
    lg::dense_index index = lg::build_dense_index(hyperedges, threshold);
    CPP_FUNCTIONS_PHASE("structure build");
    collect_pairs<dense_walker>(index, mode, kept_pairs(index.incidences()), edges);
    index.release_all();  // in slices with polls, not at once at the end of the scope
  } else {
    lg::hub_index index = lg::build_hub_index(hyperedges, threshold);
    CPP_FUNCTIONS_PHASE("structure build");
    collect_pairs<hub_walker>(index, mode, kept_pairs(index.incidences()), edges);
    index.release_all();
  }
  CPP_FUNCTIONS_PHASE("pairs");
  return edges;
}
