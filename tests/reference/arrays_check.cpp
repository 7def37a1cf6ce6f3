// Checks the call arrays: values survive growth across the mapped size and fault_in() of any
// part, new parts take what is written. Prints "ok" and whether the big arrays sit on
// huge-page boundaries, or the first difference.
#include <cstdint>
#include <cstdio>

#include "cpp_functions/arrays.hpp"

namespace {

// No byte is zero where a page starts (k a multiple of 1024), so a stray write of one shows.
std::int32_t value_at(std::size_t k) { return static_cast<std::int32_t>((k * 2654435761u) ^ 0x5a5a5a5au); }

}  // namespace

int main() {
  cpp_functions::array<std::int32_t> a;
  bool aligned = true;
  std::size_t filled = 0;
  // Steps that start and end anywhere within pages and huge pages, some pushed one by one.
  const std::size_t steps[] = {1, 1000, 70000, 262143, 3, 1 << 20, 777777, 5, (1 << 21) + 13, 123457};
  for (std::size_t round = 0; round < 3; ++round)
    for (std::size_t step : steps) {
      if (step < 100) {
        for (std::size_t k = 0; k < step; ++k) a.push_back(value_at(filled + k));
      } else {
        a.resize(filled + step);
        cpp_functions::fault_in(a, filled);
        for (std::size_t k = filled; k < a.size(); ++k) a[k] = value_at(k);
      }
      filled += step;
      for (std::size_t k = 0; k < filled; ++k)
        if (a[k] != value_at(k)) {
          std::printf("element %zu of %zu is %d, not %d\n", k, filled, a[k], value_at(k));
          return 1;
        }
      if (a.capacity() * sizeof(std::int32_t) >= (std::size_t{1} << 20))
        aligned = aligned && reinterpret_cast<std::uintptr_t>(a.data()) % (std::size_t{1} << 21) == 0;
    }
  a.resize(10);  // shrinking keeps the head
  for (std::size_t k = 0; k < 10; ++k)
    if (a[k] != value_at(k)) return 1;
  std::printf("ok %s\n", aligned ? "aligned" : "unaligned");
  return 0;
}
