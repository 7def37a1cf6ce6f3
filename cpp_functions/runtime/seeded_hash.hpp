// Hashing of values a caller chooses (ids, member sets, weights) for tables whose probe
// sequences must stay short whatever the values. A fixed hash, strong or not, can be inverted
// to find values that share their low bits; a seed drawn per table cannot be known to the
// caller, so no set of values collides by design.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

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

}  // namespace cpp_functions
