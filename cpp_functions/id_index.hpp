// Dense positions of 32-bit ids. Ids that span a small range index a flat table; any others
// go through an open-addressing table probed from a seeded hash (seeded_hash.hpp), so no
// choice of ids makes probe runs long. Past the last-level cache a lookup in either is a
// cache miss, so lookups come in batches that prefetch the slots of later ids: the misses
// then overlap instead of following one another.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "arrays.hpp"
#include "seeded_hash.hpp"

namespace cpp_functions {

constexpr std::size_t prefetch_distance = 16;  // lookups ahead whose slots are fetched

// Whether ids in [lo, hi] are few enough per slot for a flat table over the range.
inline bool dense_ids(std::int64_t lo, std::int64_t hi, std::size_t count) {
  constexpr std::int64_t table_slack = 4;  // table slots allowed per id
  constexpr std::int64_t table_floor = 4096;
  return hi - lo + 1 <= table_slack * static_cast<std::int64_t>(count) + table_floor;
}

// Ids with a 32-bit position each, by open addressing (linear probing) at most two thirds
// full: a hit probes about two slots, a miss about five, whatever the ids.
class id_table {
 public:
  static constexpr std::uint32_t absent = UINT32_MAX;

  explicit id_table(std::size_t expected = 0) : seed_(fresh_seed()) {
    slots_.assign(expected + expected / 2 + 1, empty);
  }

  std::uint32_t find(std::int32_t id) const {
    for (std::size_t slot = home(id);; slot = next(slot)) {
      const std::uint64_t held = slots_[slot];
      if (held == empty) return absent;
      if (static_cast<std::uint32_t>(held) == static_cast<std::uint32_t>(id))
        return static_cast<std::uint32_t>(held >> 32);
    }
  }
  // The position of id, which is given `position` if it had none yet.
  std::uint32_t find_or_add(std::int32_t id, std::uint32_t position) {
    if (3 * (size_ + 1) > 2 * slots_.size()) grow();
    std::size_t slot = home(id);
    for (; slots_[slot] != empty; slot = next(slot))
      if (static_cast<std::uint32_t>(slots_[slot]) == static_cast<std::uint32_t>(id))
        return static_cast<std::uint32_t>(slots_[slot] >> 32);
    slots_[slot] = pack(id, position);
    ++size_;
    return position;
  }
  void prefetch(std::int32_t id) const { __builtin_prefetch(&slots_[home(id)]); }

 private:
  static constexpr std::uint64_t empty = UINT64_MAX;  // position absent: no entry

  static std::uint64_t pack(std::int32_t id, std::uint32_t position) {
    return std::uint64_t{position} << 32 | static_cast<std::uint32_t>(id);
  }
  std::size_t home(std::int32_t id) const {
    const std::uint64_t h = mix64(static_cast<std::uint32_t>(id) ^ seed_);
    return static_cast<std::size_t>((static_cast<unsigned __int128>(h) * slots_.size()) >> 64);
  }
  std::size_t next(std::size_t slot) const { return slot + 1 == slots_.size() ? 0 : slot + 1; }
  void grow() {
    array<std::uint64_t> old(2 * slots_.size(), empty);
    old.swap(slots_);
    for (std::uint64_t held : old)
      if (held != empty) {
        std::size_t slot = home(static_cast<std::int32_t>(held));
        while (slots_[slot] != empty) slot = next(slot);
        slots_[slot] = held;
      }
  }

  std::uint64_t seed_;
  array<std::uint64_t> slots_;  // position << 32 | id, or empty
  std::size_t size_ = 0;
};

// The positions of distinct ids: flat where they span a small range, else hashed. Read-only
// once built: threads share it.
class id_index {
 public:
  static constexpr std::uint32_t absent = UINT32_MAX;

  id_index() = default;

  // The index of ids[0 .. count), where ids[k] is at position k; of equal ids, the first.
  id_index(const std::int32_t* ids, std::size_t count) {
    check_positions(count);
    if (count == 0) return;
    const auto [lo, hi] = std::minmax_element(ids, ids + count);
    if (dense_ids(*lo, *hi, count)) {
      low_ = *lo;
      table_.assign(static_cast<std::size_t>(static_cast<std::int64_t>(*hi) - low_ + 1), absent);
      for (std::size_t k = count; k-- > 0;) table_[offset(ids[k])] = static_cast<std::uint32_t>(k);
      return;
    }
    hashed_ = id_table(count);
    for (std::size_t k = 0; k < count; ++k) {
      if (k + prefetch_distance < count) hashed_.prefetch(ids[k + prefetch_distance]);
      hashed_.find_or_add(ids[k], static_cast<std::uint32_t>(k));
    }
  }
  template <typename Ids>
  explicit id_index(const Ids& ids) : id_index(ids.data(), ids.size()) {}

  std::uint32_t find(std::int32_t id) const {
    if (table_.empty()) return hashed_.find(id);
    const std::size_t slot = offset(id);
    return slot < table_.size() ? table_[slot] : absent;
  }

  // out[k] = find(ids[k]) for k < count (out may be null: membership only). Returns whether
  // every id was found.
  bool find_all(const std::int32_t* ids, std::size_t count, std::uint32_t* out) const {
    std::uint32_t missing = 0;
    for (std::size_t k = 0; k < count; ++k) {
      if (k + prefetch_distance < count) prefetch(ids[k + prefetch_distance]);
      const std::uint32_t position = find(ids[k]);
      missing |= position == absent;
      if (out != nullptr) out[k] = position;
    }
    return missing == 0;
  }

 private:
  // Negative offsets wrap to values past the table.
  std::size_t offset(std::int32_t id) const {
    return static_cast<std::size_t>(static_cast<std::int64_t>(id) - low_);
  }
  void prefetch(std::int32_t id) const {
    if (table_.empty())
      hashed_.prefetch(id);
    else if (offset(id) < table_.size())
      __builtin_prefetch(&table_[offset(id)]);
  }

  std::int64_t low_ = 0;
  array<std::uint32_t> table_;  // dense: id - low_ -> position, or absent
  id_table hashed_{0};
};

// Numbers for the distinct values among ids[0 .. count): slots[k] is the number of ids[k],
// equal ids getting the same one, from 0 up; returns how many there are. Over a small range
// the numbers rank the values; otherwise they follow first appearance.
inline std::size_t number_ids(const std::int32_t* ids, std::size_t count, std::uint32_t* slots) {
  check_positions(count);
  if (count == 0) return 0;
  const auto [lo, hi] = std::minmax_element(ids, ids + count);
  if (dense_ids(*lo, *hi, count)) {
    array<std::uint32_t> rank(static_cast<std::size_t>(static_cast<std::int64_t>(*hi) - *lo + 1), 0);
    for (std::size_t k = 0; k < count; ++k)
      rank[static_cast<std::size_t>(static_cast<std::int64_t>(ids[k]) - *lo)] = 1;
    std::uint32_t numbered = 0;
    for (std::uint32_t& r : rank) r = r != 0 ? numbered++ : 0;
    for (std::size_t k = 0; k < count; ++k)
      slots[k] = rank[static_cast<std::size_t>(static_cast<std::int64_t>(ids[k]) - *lo)];
    return numbered;
  }
  id_table table(std::min<std::size_t>(count, 1 << 16));
  std::uint32_t numbered = 0;
  for (std::size_t k = 0; k < count; ++k) {
    if (k + prefetch_distance < count) table.prefetch(ids[k + prefetch_distance]);
    slots[k] = table.find_or_add(ids[k], numbered);
    numbered += slots[k] == numbered;
  }
  return numbered;
}

}  // namespace cpp_functions
