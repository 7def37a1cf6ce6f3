// Dense positions for 32-bit ids. Ids spanning a small range use a flat table (one load per
// lookup); scattered ids use a sorted array and bisection. Either is several times faster
// than a hash lookup, costs the same whatever the id values, and is read-only once built, so
// threads share it freely.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace cpp_functions {

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

// Whether ids in [lo, hi] are few enough per slot for a flat table over the range.
inline bool fits_table(std::int64_t lo, std::int64_t hi, std::size_t count) {
  constexpr std::int64_t table_slack = 4;  // table slots allowed per id
  constexpr std::int64_t table_floor = 4096;
  return hi - lo + 1 <= table_slack * static_cast<std::int64_t>(count) + table_floor;
}

// The index of `ids`, where ids[k] is at position k. Ids must be distinct.
template <typename Ids>
id_index make_id_index(const Ids& ids) {
  id_index index;
  if (ids.empty()) return index;
  const auto [lo, hi] = std::minmax_element(ids.begin(), ids.end());
  if (fits_table(*lo, *hi, ids.size())) {
    index.low = *lo;
    index.table.assign(static_cast<std::size_t>(static_cast<std::int64_t>(*hi) - *lo + 1), id_index::absent);
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

// The distinct values of `ids`, ascending: by a mark per value where they span a small range,
// else by sorting.
template <typename Ids>
std::vector<std::int32_t> distinct_ids(const Ids& ids) {
  std::vector<std::int32_t> distinct;
  if (ids.empty()) return distinct;
  const auto [lo, hi] = std::minmax_element(ids.begin(), ids.end());
  if (fits_table(*lo, *hi, ids.size())) {
    std::vector<bool> seen(static_cast<std::size_t>(static_cast<std::int64_t>(*hi) - *lo + 1), false);
    for (std::int32_t id : ids) seen[static_cast<std::size_t>(static_cast<std::int64_t>(id) - *lo)] = true;
    for (std::size_t k = 0; k < seen.size(); ++k)
      if (seen[k]) distinct.push_back(static_cast<std::int32_t>(*lo + static_cast<std::int64_t>(k)));
    return distinct;
  }
  distinct.assign(ids.begin(), ids.end());
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  return distinct;
}

}  // namespace cpp_functions
