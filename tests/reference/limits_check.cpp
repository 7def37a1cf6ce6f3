// Test helper: the guards of the 32-bit positions, called with counts no machine here can
// fill. Each guard must refuse before it reads the (absent) ids. Prints one line per check:
// its name, a tab, and "ok: " with the message, or what went wrong.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>

#include "cpp_functions/boundary/hash_order.hpp"
#include "cpp_functions/boundary/interrupt.hpp"
#include "cpp_functions/convert/line_graph.hpp"
#include "cpp_functions/runtime/id_index.hpp"

void cpp_functions::poll_interrupt() {}

namespace {

void expect_length_error(const char* name, const std::function<void()>& call) {
  try {
    call();
    std::printf("%s\taccepted\n", name);
  } catch (const std::length_error& error) {
    std::printf("%s\tok: %s\n", name, error.what());
  } catch (const std::exception& error) {
    std::printf("%s\tthrew %s\n", name, error.what());
  }
}

}  // namespace

int main() {
  constexpr std::size_t too_many = std::size_t{1} << 32;
  cpp_functions::check_positions(UINT32_MAX - 1);
  std::printf("largest count\tok: accepted\n");
  expect_length_error("positions", [] { cpp_functions::check_positions(UINT32_MAX); });
  expect_length_error("id index", [] { cpp_functions::id_index(nullptr, too_many); });
  expect_length_error("map order", [] {
    cpp_functions::unordered_map_order(nullptr, too_many, true, too_many, true, 1, [] {});
  });
  expect_length_error("map order, filled", [] {
    cpp_functions::unordered_map_order(nullptr, too_many, false, 0, true, 1, [] {});
  });
  expect_length_error("first in map order",
                      [] { cpp_functions::first_in_map_order(nullptr, too_many, too_many, false, [] {}); });
  // Offsets alone stand for the lists: never written, they take address space, not memory.
  expect_length_error("hyperedge positions", [] {
    cpp_functions::hyperedge_list hyperedges;
    hyperedges.offsets.resize(std::size_t{1} << 31 | 1);
    hyperedges.offsets[0] = hyperedges.offsets.back() = 0;
    compute_line_graph_edges(hyperedges, 1, "absolute", 0);
  });
  expect_length_error("hyperedge size", [] {
    cpp_functions::hyperedge_list hyperedges;
    hyperedges.offsets = {0, too_many, too_many};
    compute_line_graph_edges(hyperedges, 1, "absolute", 0);
  });
}
