// Test helper: for each line "n k1 ... kn" on stdin, builds real std::unordered_maps the two
// ways the module's order replica covers (reserved for n then emplaced, as a converted
// argument; filled key by key in that map's order, as a result) and
// prints one line per input line: 1 if the replica agrees with both, else 0, then the steps the
// replica took for the reserved map, counted with repeats looked for and without.
#include <iostream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cpp_functions/hash_order.hpp"

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream fields(line);
    std::size_t n = 0;
    fields >> n;
    std::vector<int> keys(n);
    for (int& k : keys) fields >> k;
    std::unordered_map<int, std::unordered_set<int>> reserved;
    reserved.reserve(n);
    for (int k : keys) reserved.emplace(k, std::unordered_set<int>{});
    std::size_t steps = 0;
    auto replica = [&](bool reserve, bool distinct, const std::vector<int>& from) {
      std::vector<int> order;
      for (std::uint32_t p : cpp_functions::unordered_map_order(
               from.data(), from.size(), reserve, from.size(), distinct, [] {}, &steps))
        order.push_back(from[p]);
      return order;
    };
    std::vector<int> reserved_order, filled_order;
    for (const auto& entry : reserved) reserved_order.push_back(entry.first);
    // A result map: filled key by key in the converted map's order.
    std::unordered_map<int, double> filled;
    for (int k : reserved_order) filled[k] = 0.0;
    for (const auto& entry : filled) filled_order.push_back(entry.first);
    const bool reserved_same = replica(true, false, keys) == reserved_order;
    const std::size_t reserve_steps = steps;
    // Result maps are filled from distinct keys, which skips the search for repeats.
    const bool filled_same = replica(false, true, reserved_order) == filled_order;
    std::cout << (reserved_same && filled_same ? 1 : 0) << ' ' << reserve_steps << '\n';
  }
}
