// Dense positions of 32-bit ids. Ids that span a small range index a flat table; any others
// go through an open-addressing table probed from a seeded hash (seeded_hash.hpp), so no
// choice of ids makes probe runs long. Either costs about one cache miss per lookup at any
// size: past the last-level cache, a table sorted by id would cost a chain of them.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "../boundary/interrupt.hpp"
#include "arrays.hpp"
#include "parallel.hpp"
#include "seeded_hash.hpp"
#include "test_counters.hpp"

namespace cpp_functions {

// Whether ids in [lo, hi] are few enough per slot for a flat table over the range.
inline bool dense_ids(std::int64_t lo, std::int64_t hi, std::size_t count) {
  constexpr std::int64_t table_slack = 4;  // table slots allowed per id
  constexpr std::int64_t table_floor = 4096;
  return hi - lo + 1 <= table_slack * static_cast<std::int64_t>(count) + table_floor;
}

// Ids with a 32-bit position each, by open addressing (linear probing) at most half full: a
// hit probes about 1.5 slots, a miss 2.5, whatever the ids (two thirds full, lookups took a
// third longer past the cache). Slots are atomic words so that a team can fill a table at
// once; loads and stores are relaxed, plain moves.
class id_table {
 public:
  static constexpr std::uint32_t absent = UINT32_MAX;

  explicit id_table(std::size_t expected = 0, int team = 1) : seed_(fresh_seed()) {
    allocate(expected, team);
  }

  std::uint32_t find(std::int32_t id) const {
    for (std::size_t slot = home(id);; slot = next(slot)) {
      const std::uint64_t held = slots_[slot].load(std::memory_order_relaxed);
      if (held == empty) return absent;
      if (static_cast<std::uint32_t>(held) == static_cast<std::uint32_t>(id))
        return static_cast<std::uint32_t>(held >> 32);
    }
  }

  // The position of id, which is given `position` if it had none yet. One thread at a time;
  // the table grows as needed, calling `poll` (if any) every few thousand slots it moves.
  std::uint32_t find_or_add(std::int32_t id, std::uint32_t position, void (*poll)() = nullptr) {
    if (2 * (size_ + 1) > capacity_) grow(poll);
    std::size_t slot = home(id);
    for (std::uint64_t held; (held = slots_[slot].load(std::memory_order_relaxed)) != empty;
         slot = next(slot), CPP_FUNCTIONS_COUNT(probes_, 1))
      if (static_cast<std::uint32_t>(held) == static_cast<std::uint32_t>(id))
        return static_cast<std::uint32_t>(held >> 32);
    slots_[slot].store(pack(id, position), std::memory_order_relaxed);
    ++size_;
    return position;
  }

  // Occupied slots that find_or_add has passed (test builds only, see test_counters.hpp).
  std::size_t probes() const { return probes_; }

  // Adds an id not in the table yet, concurrently with other threads adding others; the
  // table must have room (it was made for them).
  void add(std::int32_t id, std::uint32_t position) {
    for (std::size_t slot = home(id);; slot = next(slot)) {
      std::uint64_t held = empty;
      if (slots_[slot].load(std::memory_order_relaxed) == empty &&
          slots_[slot].compare_exchange_strong(held, pack(id, position), std::memory_order_relaxed))
        return;
    }
  }

 private:
  static constexpr std::uint64_t empty = UINT64_MAX;  // position absent: no entry
  static constexpr std::size_t slots_per_claim = 1 << 16;

  static std::uint64_t pack(std::int32_t id, std::uint32_t position) {
    return std::uint64_t{position} << 32 | static_cast<std::uint32_t>(id);
  }
  std::size_t home(std::int32_t id) const {
    const std::uint64_t h = mix64(static_cast<std::uint32_t>(id) ^ seed_);
    return static_cast<std::size_t>((static_cast<unsigned __int128>(h) * capacity_) >> 64);
  }
  std::size_t next(std::size_t slot) const { return slot + 1 == capacity_ ? 0 : slot + 1; }
  void allocate(std::size_t expected, int team) {
    capacity_ = 2 * expected + 1;
    slots_.reset(new std::atomic<std::uint64_t>[capacity_]);
    parallel_for(capacity_, slots_per_claim, team, [&](std::size_t begin, std::size_t end, int) {
      for (std::size_t slot = begin; slot < end; ++slot) slots_[slot].store(empty, std::memory_order_relaxed);
    });
  }
  void grow(void (*poll)()) {
    constexpr std::size_t slots_per_poll = 1 << 15;
    const std::unique_ptr<std::atomic<std::uint64_t>[]> old = std::move(slots_);
    const std::size_t old_capacity = capacity_;
    allocate(capacity_, 1);  // room for as many ids as there were slots: twice the slots
    for (std::size_t slot = 0; slot < old_capacity; ++slot) {
      if (poll != nullptr && slot % slots_per_poll == slots_per_poll - 1) poll();
      const std::uint64_t held = old[slot].load(std::memory_order_relaxed);
      if (held == empty) continue;
      std::size_t to = home(static_cast<std::int32_t>(held));
      while (slots_[to].load(std::memory_order_relaxed) != empty) to = next(to);
      slots_[to].store(held, std::memory_order_relaxed);
    }
  }

  std::uint64_t seed_;
  std::unique_ptr<std::atomic<std::uint64_t>[]> slots_;  // position << 32 | id, or empty
  std::size_t capacity_ = 0, size_ = 0;
  std::size_t probes_ = 0;
};

// The positions of distinct ids: flat where they span a small range, else hashed. Built on up
// to `team` threads; read-only once built, so threads share it.
class id_index {
 public:
  static constexpr std::uint32_t absent = UINT32_MAX;

  id_index() = default;

  // The index of the distinct ids[0 .. count), where ids[k] is at position k.
  id_index(const std::int32_t* ids, std::size_t count, int team = 1) {
    constexpr std::size_t ids_per_claim = 1 << 14;
    check_positions(count);
    constexpr std::size_t ids_per_poll = 1 << 20;  // cold at 2e7: 14 ms for 6e6 ids unpolled
    if (count == 0) return;
    std::int32_t lo = ids[0], hi = ids[0];
    for (std::size_t begin = 0; begin < count; begin += ids_per_poll) {
      if (begin != 0) poll_interrupt();
      const auto [low, high] = std::minmax_element(ids + begin, ids + std::min(count, begin + ids_per_poll));
      lo = std::min(lo, *low);
      hi = std::max(hi, *high);
    }
    if (dense_ids(lo, hi, count)) {
      low_ = lo;
      table_.resize(static_cast<std::size_t>(static_cast<std::int64_t>(hi) - low_ + 1));
      parallel_for(table_.size(), ids_per_claim * 4, team, [&](std::size_t begin, std::size_t end, int) {
        std::fill(table_.begin() + static_cast<std::ptrdiff_t>(begin),
                  table_.begin() + static_cast<std::ptrdiff_t>(end), absent);
      });
      parallel_for(count, ids_per_claim, team, [&](std::size_t begin, std::size_t end, int) {
        for (std::size_t k = begin; k < end; ++k) table_[offset(ids[k])] = static_cast<std::uint32_t>(k);
      });
      return;
    }
    hashed_ = id_table(count, team);
    parallel_for(count, ids_per_claim, team, [&](std::size_t begin, std::size_t end, int) {
      for (std::size_t k = begin; k < end; ++k) hashed_.add(ids[k], static_cast<std::uint32_t>(k));
    });
  }

  std::uint32_t find(std::int32_t id) const {
    if (table_.empty()) return hashed_.find(id);
    const std::size_t slot = offset(id);
    return slot < table_.size() ? table_[slot] : absent;
  }

  // out[k] = find(ids[k]) for k < count (out may be null: membership only). Returns whether
  // every id was found. The lookups do not depend on each other, so their misses overlap.
  bool find_all(const std::int32_t* ids, std::size_t count, std::uint32_t* out) const {
    std::uint32_t missing = 0;
    for (std::size_t k = 0; k < count; ++k) {
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

  std::int64_t low_ = 0;
  call_array<std::uint32_t> table_;  // dense: id - low_ -> position, or absent
  id_table hashed_{0};
};

// Numbers for the distinct values among ids[0 .. count): slots[k] is the number of ids[k],
// equal ids getting the same one, from 0 up; returns how many there are. Over a small range
// the numbers rank the values; otherwise they follow first appearance. One thread, polling for
// interruptions every few thousand steps.
inline std::size_t number_ids(const std::int32_t* ids, std::size_t count, std::uint32_t* slots) {
  constexpr std::uint32_t steps_per_poll = 1 << 14;
  if (count == 0) return 0;
  interrupt_ticker ticker{steps_per_poll};
  std::int32_t lo = ids[0], hi = ids[0];
  for (std::size_t k = 0; k < count; ++k) {
    ticker.tick();
    lo = std::min(lo, ids[k]);
    hi = std::max(hi, ids[k]);
  }
  std::size_t numbered = 0;
  if (dense_ids(lo, hi, count)) {
    call_array<std::uint32_t> rank(static_cast<std::size_t>(static_cast<std::int64_t>(hi) - lo + 1), 0);
    const auto at = [&](std::int32_t id) {
      return static_cast<std::size_t>(static_cast<std::int64_t>(id) - lo);
    };
    for (std::size_t k = 0; k < count; ++k) {
      ticker.tick();
      rank[at(ids[k])] = 1;
    }
    for (std::uint32_t& r : rank) {
      ticker.tick();
      if (r != 0) r = static_cast<std::uint32_t>(numbered++);
    }
    check_positions(numbered);
    for (std::size_t k = 0; k < count; ++k) {
      ticker.tick();
      slots[k] = rank[at(ids[k])];
    }
    return numbered;
  }
  id_table table(std::min<std::size_t>(count, 1 << 16));
  for (std::size_t k = 0; k < count; ++k) {
    ticker.tick();
    slots[k] = table.find_or_add(ids[k], static_cast<std::uint32_t>(numbered), poll_interrupt);
    if (slots[k] == numbered) check_positions(++numbered);
  }
  return numbered;
}

}  // namespace cpp_functions
