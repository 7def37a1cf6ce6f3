// Test helper: for each line "n k1 ... kn" on stdin, builds real std::unordered_maps the two
// ways the module's order replica covers (reserved for n then emplaced, as a converted
// argument; filled key by key in that map's order, as a result) and
// prints one line per input line: 1 if the replica agrees with both (for distinct keys also
// when told so), alone and on a team of three, and its first key alone with the first of the
// reserved map, else 0, then the steps the replica took alone for the reserved map, counted
// with repeats looked for and without.
#include <iostream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cpp_functions/boundary/hash_order.hpp"

void cpp_functions::poll_interrupt() {}

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
    auto replica = [&](bool reserve, bool distinct, const std::vector<int>& from, std::size_t reserved_for) {
      std::vector<int> order, on_team;
      for (std::uint32_t p : cpp_functions::unordered_map_order(
               from.data(), from.size(), reserve, reserved_for, distinct, 1, [] {}, &steps))
        order.push_back(from[p]);
      for (std::uint32_t p : cpp_functions::unordered_map_order(from.data(), from.size(), reserve,
                                                                reserved_for, distinct, 3, [] {}))
        on_team.push_back(from[p]);
      return order == on_team ? order : std::vector<int>{};
    };
    std::vector<int> reserved_order, filled_order;
    for (const auto& entry : reserved) reserved_order.push_back(entry.first);
    // A result map: filled key by key in the converted map's order.
    std::unordered_map<int, double> filled;
    for (int k : reserved_order) filled[k] = 0.0;
    for (const auto& entry : filled) filled_order.push_back(entry.first);
    bool reserved_same = replica(true, false, keys, n) == reserved_order;
    const std::size_t reserve_steps = steps;
    // Told that the keys are distinct, the replica may take a shorter way; also where the map
    // was reserved for half of them (a dict that grew while converted) and must rehash.
    if (std::unordered_set<int>(keys.begin(), keys.end()).size() == n) {
      std::unordered_map<int, int> half;
      half.reserve(n / 2);
      for (int k : keys) half.emplace(k, 0);
      std::vector<int> half_order;
      for (const auto& entry : half) half_order.push_back(entry.first);
      reserved_same = reserved_same && replica(true, true, keys, n) == reserved_order &&
                      replica(true, true, keys, n / 2) == half_order;
    }
    // The first key alone, as is_connected finds it: also after a reserve for half the keys.
    for (std::size_t reserved_for : {n, n / 2}) {
      std::unordered_map<int, int> real;
      real.reserve(reserved_for);
      for (int k : keys) real.emplace(k, 0);
      const std::size_t first = cpp_functions::first_in_map_order(keys.data(), n, reserved_for, false, [] {});
      reserved_same = reserved_same && (n == 0 ? first == 0 : keys[first] == real.begin()->first);
    }
    // Result maps are filled from distinct keys, which skips the search for repeats.
    const bool filled_same = replica(false, true, reserved_order, 0) == filled_order;
    std::cout << (reserved_same && filled_same ? 1 : 0) << ' ' << reserve_steps << '\n';
  }
}
