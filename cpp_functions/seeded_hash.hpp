// Hashing of values a caller chooses (ids, member sets, weights) for tables whose probe
// sequences must stay short whatever the values. A fixed hash, strong or not, can be inverted
// to find values that share their low bits; a seed drawn per table cannot be known to the
// caller, so no set of values collides by design.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace cpp_functions {

// A bijective mix of 64 bits in which every input bit changes about half the output bits.
inline std::uint64_t mix64(std::uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  return k ^ (k >> 33);
}

// A fresh seed from the clock and a stack address. Unpredictable enough that inputs cannot be
// prepared against it; results never depend on it.
inline std::uint64_t fresh_seed() {
  const auto ticks = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  const std::uint64_t local = 0;
  return mix64(ticks ^ mix64(reinterpret_cast<std::uintptr_t>(&local)));
}

// A set of 32-bit ids by open addressing at most half full, for dropping repeated ids in
// amortised constant time per id. Counts its probe steps, for tests.
class id_set {
 public:
  explicit id_set(std::size_t expected) : seed_(fresh_seed()) {
    std::size_t capacity = 16;
    while (capacity < 2 * expected) capacity *= 2;
    slots_.assign(capacity, empty);
  }

  // True when `id` was not in the set yet.
  bool insert(std::int32_t id) {
    if (2 * (size_ + 1) > slots_.size()) grow();
    const auto value = static_cast<std::uint32_t>(id);
    for (std::size_t slot = place(value);; slot = (slot + 1) & (slots_.size() - 1)) {
      ++probes_;
      if (slots_[slot] == empty) {
        slots_[slot] = value;
        ++size_;
        return true;
      }
      if (slots_[slot] == value) return false;
    }
  }

  std::size_t probes() const { return probes_; }

 private:
  // Slots hold id values as 64-bit words so that `empty` is no id.
  static constexpr std::uint64_t empty = UINT64_MAX;

  std::size_t place(std::uint32_t value) const {
    return static_cast<std::size_t>(mix64(value ^ seed_)) & (slots_.size() - 1);
  }

  void grow() {
    std::vector<std::uint64_t> old(2 * slots_.size(), empty);
    old.swap(slots_);
    for (std::uint64_t value : old)
      if (value != empty) {
        std::size_t slot = place(static_cast<std::uint32_t>(value));
        while (slots_[slot] != empty) slot = (slot + 1) & (slots_.size() - 1);
        slots_[slot] = value;
      }
  }

  std::uint64_t seed_;
  std::vector<std::uint64_t> slots_;
  std::size_t size_ = 0;
  std::size_t probes_ = 0;
};

}  // namespace cpp_functions
