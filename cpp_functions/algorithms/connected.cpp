// Whether a hypergraph given by its two incidence maps is connected: whether a search from the
// first key of node_dict (in the map's iteration order) reaches every key, stepping from a
// node to the members of the edges that node lists.
//
// Method. Expanding every edge into all pairs of its members costs the sum of squared edge
// sizes (one edge of 1e5 members asks for 1e10 adjacency entries). The search walks the
// node-edge incidence instead: from a reached node it scans each edge the node lists, and
// each edge only the first time any reached node lists it, since its members are all marked
// by then. Work and memory are linear in the number of incidences, and the set of reached
// nodes is the same as with the expanded adjacency, also when the two maps disagree (an edge
// is scanned from whichever reached node lists it; a member that is not a key of node_dict is
// never marked and never expanded).
//
// The maps arrive flat, in dict order, with the native first key as the start. Listed edge ids
// are resolved before the search; members are read and looked up in batches (search_batch).
//
// Threads. The search goes level by level. A small level is expanded on the calling thread
// (a team's start-up per level would cost more than it saves); a level that lists at least
// parallel_work edges is expanded by the team, each thread claiming an edge or a node by one
// atomic exchange of its mark. Only the set of reached nodes decides the answer, and it does
// not depend on who claimed what.
#include "connected.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "../boundary/hash_order.hpp"
#include "../boundary/interrupt.hpp"
#include "../runtime/id_index.hpp"
#include "../runtime/parallel.hpp"
#include "../runtime/phase_marks.hpp"

namespace {

using cpp_functions::call_array;
using cpp_functions::id_index;
using cpp_functions::incidence_entries;
using cpp_functions::incidence_map;

constexpr std::uint32_t listed_per_poll = 1 << 13;  // listed edges expanded between two polls
constexpr std::size_t serial_below_work = 1 << 16;  // incidences resolved on one thread below
constexpr std::size_t nodes_per_claim = 2048;
constexpr std::size_t parallel_work = 1 << 15;  // levels listing fewer edges are expanded alone
constexpr std::size_t work_per_claim = 4096;    // listed edges in a chunk of a level
constexpr std::size_t edges_per_batch = 64;     // scanned edges whose members are read at once
constexpr std::size_t ids_per_batch = 256;      // member ids looked up at once

// Every edge id a node lists, reached or not, resolved before the search starts. A missing
// one is flagged by the team and named afterwards: the first in the native node order.
call_array<std::uint32_t> resolve_listed_edges(const incidence_entries& nodes, const id_index& edge_index) {
  call_array<std::uint32_t> listed(nodes.ids.size());
  std::atomic<bool> missing{false};
  cpp_functions::parallel_for(
      nodes.keys.size(), nodes_per_claim, cpp_functions::team_size(nodes.ids.size(), serial_below_work),
      [&](std::size_t first, std::size_t last, int) {
        const std::size_t begin = nodes.offsets[first], end = nodes.offsets[last];
        if (!edge_index.find_all(nodes.ids.data() + begin, end - begin, listed.data() + begin))
          missing.store(true, std::memory_order_relaxed);
      });
  if (missing.load())
    for (std::uint32_t v : cpp_functions::unordered_map_order(
             nodes.keys.data(), nodes.size(), true, nodes.reserved, true, 1, cpp_functions::poll_interrupt))
      for (std::size_t p = nodes.offsets[v]; p < nodes.offsets[v + 1]; ++p)
        if (listed[p] == id_index::absent)
          throw std::out_of_range("node " + std::to_string(nodes.keys[v]) + " lists edge " +
                                  std::to_string(nodes.ids[p]) + ", which is not a key of edge_dict");
  return listed;
}

// Marks as bytes, claimed by exchange, so a claim succeeds once per mark whoever tries.
struct marks {
  std::vector<std::atomic<std::uint8_t>> flags;  // value-initialised: all clear

  explicit marks(std::size_t count) : flags(count) {}
  bool claim(std::size_t k) {
    return flags[k].load(std::memory_order_relaxed) == 0 &&
           flags[k].exchange(1, std::memory_order_relaxed) == 0;
  }
};

// The search's work in stages, each over many edges or ids at once: past the cache every
// step of it misses, and a stage without branches between its loads lets those misses
// overlap, where following one edge through to its members would wait on each in turn.
struct search_batch {
  std::vector<std::uint32_t> edges;  // scanned edges whose members are not read yet
  std::vector<std::size_t> ranges;   // their members' ranges, begin and end
  std::vector<std::int32_t> ids;     // member ids not looked up yet
  std::vector<std::uint32_t> found;  // their positions
};

struct search_state {
  const incidence_map& nodes;
  const incidence_map& edges;
  const call_array<std::uint32_t>& listed;
  const id_index& node_index;
  marks visited, scanned;

  std::size_t degree(std::uint32_t v) const { return nodes.offsets[v + 1] - nodes.offsets[v]; }

  // Claims the unscanned edges among listed[begin, end) into `batch`; the batch moves on to its
  // next stage once full, and the nodes it claims go to `out`. A node's listed edges are
  // positions nodes.offsets[v] .. nodes.offsets[v + 1]; a hub's may be taken in parts.
  void expand(std::size_t begin, std::size_t end, search_batch& batch, std::vector<std::uint32_t>& out) {
    for (std::size_t p = begin; p < end; ++p)
      if (scanned.claim(listed[p])) batch.edges.push_back(listed[p]);
    if (batch.edges.size() >= edges_per_batch) read_members(batch);
    if (batch.ids.size() >= ids_per_batch) claim(batch, out);
  }

  // Runs the batch's stages to the end.
  void finish(search_batch& batch, std::vector<std::uint32_t>& out) {
    read_members(batch);
    claim(batch, out);
  }

 private:
  void read_members(search_batch& batch) const {
    constexpr std::size_t ahead = 8;
    batch.ranges.resize(2 * batch.edges.size());
    for (std::size_t k = 0; k < batch.edges.size(); ++k) {
      if (k + ahead < batch.edges.size()) __builtin_prefetch(&edges.offsets[batch.edges[k + ahead]]);
      batch.ranges[2 * k] = edges.offsets[batch.edges[k]];
      batch.ranges[2 * k + 1] = edges.offsets[batch.edges[k] + 1];
    }
    for (std::size_t k = 0; k < batch.edges.size(); ++k) {
      if (k + ahead < batch.edges.size()) __builtin_prefetch(&edges.ids[batch.ranges[2 * (k + ahead)]]);
      batch.ids.insert(batch.ids.end(), edges.ids.begin() + static_cast<std::ptrdiff_t>(batch.ranges[2 * k]),
                       edges.ids.begin() + static_cast<std::ptrdiff_t>(batch.ranges[2 * k + 1]));
    }
    batch.edges.clear();
  }

  void claim(search_batch& batch, std::vector<std::uint32_t>& out) {
    batch.found.resize(batch.ids.size());
    node_index.find_all(batch.ids.data(), batch.ids.size(), batch.found.data());
    for (std::uint32_t k : batch.found)
      if (k != id_index::absent && visited.claim(k)) out.push_back(k);
    batch.ids.clear();
  }
};

// Expands the level queue[first, end) with the team, in chunks of work_per_claim listed edges
// (reach[i]: the edges listed by the level's first i nodes; a hub's edges are shared out like
// any others), and appends the claimed nodes to the queue, in no particular order.
void expand_level(search_state& s, std::vector<std::uint32_t>& queue, std::size_t first,
                  const std::vector<std::size_t>& reach, int team) {
  const std::size_t end = queue.size(), work = reach.back();
  const std::size_t chunks = (work + work_per_claim - 1) / work_per_claim;
  // A line per chunk's list: their headers change with every claimed node.
  struct alignas(64) claimed_list {
    std::vector<std::uint32_t> nodes;
  };
  std::vector<claimed_list> local_next(chunks);
  cpp_functions::parallel_chunks(chunks, team, [&](std::size_t chunk, int) {
    search_batch batch;
    std::vector<std::uint32_t>& out = local_next[chunk].nodes;
    const std::size_t from = chunk * work_per_claim, to = std::min(work, from + work_per_claim);
    std::size_t i =
        static_cast<std::size_t>(std::upper_bound(reach.begin(), reach.end(), from) - reach.begin()) - 1;
    for (; i < end - first && reach[i] < to; ++i) {
      const std::size_t listed_from = s.nodes.offsets[queue[first + i]];
      s.expand(listed_from + std::max(from, reach[i]) - reach[i],
               listed_from + std::min(to, reach[i + 1]) - reach[i], batch, out);
    }
    s.finish(batch, out);
  });
  cpp_functions::polled_loop(local_next.size(), cpp_functions::poll_interrupt, [&](std::size_t c) {
    queue.insert(queue.end(), local_next[c].nodes.begin(), local_next[c].nodes.end());
  });
}

}  // namespace

bool is_connected(const incidence_entries& nodes, const incidence_entries& edges) {
  if (nodes.size() == 0) return false;
  call_array<std::uint32_t> listed =
      resolve_listed_edges(nodes, id_index(edges.keys.data(), edges.size(),
                                           cpp_functions::team_size(edges.keys.size(), serial_below_work)));
  const id_index node_index(nodes.keys.data(), nodes.size(),
                            cpp_functions::team_size(nodes.keys.size(), serial_below_work));
  const std::size_t n = nodes.keys.size();
  search_state s{nodes, edges, listed, node_index, marks(n), marks(edges.keys.size())};
  CPP_FUNCTIONS_PHASE("search set-up");

  // The native first key is the start; a node enters the queue once, when it is claimed. The queue
  // holds the levels one after another; [head, level_end) is the one being expanded.
  const int team = cpp_functions::team_size(nodes.ids.size(), serial_below_work);
  std::vector<std::uint32_t> queue;
  queue.reserve(n);
  queue.push_back(static_cast<std::uint32_t>(nodes.first));
  s.visited.claim(nodes.first);
  cpp_functions::interrupt_ticker ticker{listed_per_poll};
  search_batch batch;
  std::vector<std::size_t> reach;
  for (std::size_t head = 0; head < queue.size() && queue.size() < n;) {
    const std::size_t level_end = queue.size();
    if (team > 1) {
      reach.assign(1, 0);
      cpp_functions::polled_loop(level_end - head, cpp_functions::poll_interrupt, [&](std::size_t i) {
        reach.push_back(reach.back() + s.degree(queue[head + i]));
      });
    }
    if (team > 1 && reach.back() >= parallel_work) {
      expand_level(s, queue, head, reach, team);
      head = level_end;
      cpp_functions::poll_interrupt();
      continue;
    }
    for (; head < level_end && queue.size() < n; ++head) {
      const std::size_t begin = s.nodes.offsets[queue[head]], end = s.nodes.offsets[queue[head] + 1];
      for (std::size_t p = begin; p < end; p += listed_per_poll) {
        const std::size_t stop = std::min(p + listed_per_poll, end);
        ticker.tick(static_cast<std::uint32_t>(1 + stop - p));
        s.expand(p, stop, batch, queue);
      }
    }
    s.finish(batch, queue);
  }
  CPP_FUNCTIONS_PHASE("search");
  const bool connected = queue.size() == n;
  cpp_functions::free_polled(listed, cpp_functions::poll_interrupt);  // 80 MB at 2e7 incidences
  return connected;
}
