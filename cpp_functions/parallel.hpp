// Helpers shared by the kernels: how big a team a region gets, how an exception raised by a
// worker thread reaches the calling thread, and a fast map from 32-bit ids to dense positions.
#pragma once

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <utility>
#include <vector>

namespace cpp_functions {

// Team for a region doing `work` units: one thread below `serial_below` (a team start-up
// costs more than it saves there), else the caller's setting capped at the processor count,
// since threads beyond the cores only take turns on them.
inline int team_size(std::size_t work, std::size_t serial_below) {
  if (work < serial_below) return 1;
  return std::max(1, std::min(omp_get_max_threads(), omp_get_num_procs()));
}

// Holds the first exception thrown inside a parallel region. Workers call capture() from a
// catch block and then skip their remaining work; the calling thread calls rethrow() once
// the region has ended, so the exception never crosses the region boundary.
struct region_error {
  std::exception_ptr first;
  std::atomic<bool> failed{false};

  // Called first thing in a region whose work may throw: a worker's exception state is
  // allocated at its first throw, and with memory exhausted that allocation would abort.
  // The call is declared pure; storing its result keeps it from being dropped.
  static void prepare_thread() noexcept {
    volatile int pending = std::uncaught_exceptions();
    (void)pending;
  }

  void capture() noexcept {
    bool expected = false;
    if (failed.compare_exchange_strong(expected, true)) first = std::current_exception();
  }
  bool raised() const noexcept { return failed.load(std::memory_order_relaxed); }
  void rethrow() const {
    if (first) std::rethrow_exception(first);
  }
};

// Position of each of a set of distinct ids. Ids spanning a small range use a flat table
// (one load per lookup); scattered ids use a sorted array and bisection. Either is several
// times faster than a hash lookup and is read-only once built, so threads share it freely.
struct id_index {
  static constexpr std::uint32_t absent = UINT32_MAX;

  std::int64_t low = 0;
  std::vector<std::uint32_t> table;                            // id - low -> position, or absent
  std::vector<std::pair<std::int32_t, std::uint32_t>> sorted;  // (id, position) by id

  std::uint32_t find(std::int32_t id) const {
    if (!table.empty() || sorted.empty()) {
      const std::int64_t slot = static_cast<std::int64_t>(id) - low;
      if (slot < 0 || slot >= static_cast<std::int64_t>(table.size())) return absent;
      return table[static_cast<std::size_t>(slot)];
    }
    auto it = std::lower_bound(sorted.begin(), sorted.end(), id,
                               [](const auto& entry, std::int32_t key) { return entry.first < key; });
    return (it != sorted.end() && it->first == id) ? it->second : absent;
  }
};

// Builds the index of `ids`, where ids[k] is at position k. Ids must be distinct.
inline id_index make_id_index(const std::vector<std::int32_t>& ids) {
  constexpr std::int64_t table_slack = 4;  // table slots allowed per id
  constexpr std::int64_t table_floor = 4096;
  id_index index;
  if (ids.empty()) return index;
  const auto [lo, hi] = std::minmax_element(ids.begin(), ids.end());
  const std::int64_t span = static_cast<std::int64_t>(*hi) - *lo + 1;
  if (span <= table_slack * static_cast<std::int64_t>(ids.size()) + table_floor) {
    index.low = *lo;
    index.table.assign(static_cast<std::size_t>(span), id_index::absent);
    for (std::size_t k = 0; k < ids.size(); ++k)
      index.table[static_cast<std::size_t>(ids[k] - index.low)] = static_cast<std::uint32_t>(k);
  } else {
    index.sorted.reserve(ids.size());
    for (std::size_t k = 0; k < ids.size(); ++k)
      index.sorted.emplace_back(ids[k], static_cast<std::uint32_t>(k));
    std::sort(index.sorted.begin(), index.sorted.end());
  }
  return index;
}

}  // namespace cpp_functions
