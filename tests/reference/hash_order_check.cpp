// Test helper: for each line "n k1 ... kn" on stdin, builds real std::unordered_maps the two
// ways the module's order replica covers (reserved for n then emplaced; filled key by key) and
// prints the line numbers where the replica disagrees.
#include <iostream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cpp_functions/hash_order.hpp"

int main() {
  std::string line;
  for (int number = 0; std::getline(std::cin, line); ++number) {
    std::istringstream fields(line);
    std::size_t n = 0;
    fields >> n;
    std::vector<int> keys(n);
    for (int& k : keys) fields >> k;
    std::unordered_map<int, std::unordered_set<int>> reserved;
    reserved.reserve(n);
    for (int k : keys) reserved.emplace(k, std::unordered_set<int>{});
    std::unordered_map<int, double> filled;
    for (int k : keys) filled[k] = 0.0;
    auto replica = [&](bool reserve) {
      std::vector<int> order;
      for (std::uint32_t p : cpp_functions::unordered_map_order(keys.data(), n, reserve, n, [] {})) order.push_back(keys[p]);
      return order;
    };
    std::vector<int> reserved_order, filled_order;
    for (const auto& entry : reserved) reserved_order.push_back(entry.first);
    for (const auto& entry : filled) filled_order.push_back(entry.first);
    const bool same = replica(true) == reserved_order && replica(false) == filled_order;
    if (!same) std::cout << number << '\n';
  }
}
