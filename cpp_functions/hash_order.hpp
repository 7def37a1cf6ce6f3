// Iteration order of the standard library's std::unordered_map<int, V>, computed without
// building one. Callers see that order (the node index, the first node of a search, the key
// order of result dicts), but a real map costs a node allocation per key, several times the
// work of everything else a call does with its keys.
//
// The order follows from three rules of the library's hash table: a key that lands in an
// empty bucket goes to the front of the one list of all nodes; a key whose bucket is occupied
// goes to the front of that bucket's run; a rehash walks the list from the front and applies
// the same two rules with the new bucket count. This file replays exactly those steps on index
// arrays, with the library's own rehash policy (bucket counts and growth points), so the
// order is the library's by construction; a test checks it against real maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "seeded_hash.hpp"

namespace cpp_functions {

// x % d for a fixed d: where x and d fit 32 bits (every non-negative id, every table this
// module builds) by a multiplication, exactly (Lemire, Kaser and Kurz, "Faster remainder by
// direct computation", 2019); else by the division. The replay takes a remainder per key,
// and a 64-bit division costs several times the rest of its step.
struct bucket_divisor {
  std::uint64_t d, m;

  explicit bucket_divisor(std::uint64_t divisor)
      : d(divisor), m(divisor <= UINT32_MAX ? UINT64_MAX / divisor + 1 : 0) {}
  std::size_t mod(std::uint64_t x) const {
    if (x > UINT32_MAX || d > UINT32_MAX) return static_cast<std::size_t>(x % d);
    return static_cast<std::size_t>((static_cast<unsigned __int128>(m * x) * d) >> 64);
  }
};

// Positions into `keys` of the map's entries in iteration order, one per distinct key (the
// first position of each key: emplace keeps the first). With `reserve`, the map is first
// reserved for `reserve_count` elements, as a converted argument is; without, it grows from
// empty, as a map filled key by key does. `distinct` says the keys are known to differ;
// otherwise repeats are found first, by a seeded hash set, since the map's own way (scanning
// the key's bucket) costs the whole bucket per key when keys share one. Every step then costs
// constant time whatever the key values. Calls poll() every few thousand keys; adds the steps
// taken to *steps when given (for tests).
template <typename Poll>
array<std::uint32_t> unordered_map_order(const std::int32_t* keys, std::size_t count, bool reserve,
                                         std::size_t reserve_count, bool distinct, Poll&& poll,
                                         std::size_t* steps = nullptr) {
  constexpr std::size_t keys_per_poll = 1 << 14;
  using policy_type = std::__detail::_Prime_rehash_policy;
  constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();
  const std::uint32_t before_begin = static_cast<std::uint32_t>(count);  // the list's head

  if (reserve && distinct && count != 0) {
    // Distinct keys in [0, buckets) have a bucket each, so each goes to the front of the list:
    // unless the map rehashes, the order is the reverse of insertion. Ids numbered from 0 are
    // often just that. The policy grows only at its next resize point, so asking for the last
    // key tells whether it rehashes at all.
    policy_type reserved;
    const std::size_t buckets = reserved._M_next_bkt(
        std::max(reserved._M_bkt_for_elements(1), reserved._M_bkt_for_elements(reserve_count)));
    bool in_range = true;
    for (std::size_t i = 0; i < count; ++i) in_range &= static_cast<std::size_t>(keys[i]) < buckets;
    if (in_range && buckets != 1 && reserved._M_state() != 0 &&
        !reserved._M_need_rehash(buckets, count - 1, 1).first) {
      array<std::uint32_t> order(count);
      for (std::size_t k = 0; k < count; ++k) order[k] = static_cast<std::uint32_t>(count - 1 - k);
      if (steps != nullptr) *steps += 2 * count;
      return order;
    }
  }

  std::vector<bool> repeated;
  std::size_t taken = 0;
  if (!distinct) {
    repeated.assign(count, false);
    id_set seen(count);
    for (std::size_t i = 0; i < count; ++i) {
      if (i % keys_per_poll == 0) poll();
      repeated[i] = !seen.insert(keys[i]);
    }
    taken += seen.probes();
  }

  policy_type policy;
  std::size_t bucket_count = 1;  // a default-constructed map has its single bucket
  // bucket[b]: the node before the first node of bucket b (before_begin for the list's
  // first run), or none; next[i]: the node after i, with next[before_begin] the list's head.
  array<std::uint32_t> bucket(1, none);
  array<std::uint32_t> next(count + 1, none);
  std::size_t elements = 0;

  bucket_divisor divisor(bucket_count);
  auto bucket_of = [&](std::uint32_t node) {
    return divisor.mod(static_cast<std::size_t>(keys[node]));  // std::hash<int> is the value
  };
  auto rehash_to = [&](std::size_t buckets) {
    divisor = bucket_divisor(buckets);
    array<std::uint32_t> fresh(buckets, none);
    std::uint32_t p = next[before_begin];
    next[before_begin] = none;
    std::size_t begin_bucket = 0;
    while (p != none) {
      ++taken;
      const std::uint32_t following = next[p];
      const std::size_t b = bucket_of(p);
      if (fresh[b] == none) {
        next[p] = next[before_begin];
        next[before_begin] = p;
        fresh[b] = before_begin;
        if (next[p] != none) fresh[begin_bucket] = p;
        begin_bucket = b;
      } else {
        next[p] = next[fresh[b]];
        next[fresh[b]] = p;
      }
      p = following;
    }
    bucket.swap(fresh);
    bucket_count = buckets;
  };

  if (reserve) {
    // reserve(n) is rehash(ceil(n / max_load)), and rehash never goes below one more element.
    const auto saved = policy._M_state();
    std::size_t wanted =
        std::max(policy._M_bkt_for_elements(elements + 1), policy._M_bkt_for_elements(reserve_count));
    wanted = policy._M_next_bkt(wanted);
    if (wanted != bucket_count)
      rehash_to(wanted);
    else
      policy._M_reset(saved);
  }

  for (std::size_t i = 0; i < count; ++i) {
    if (i % keys_per_poll == 0) poll();
    if (!distinct && repeated[i]) continue;  // a key already present keeps its place
    ++taken;
    const auto node = static_cast<std::uint32_t>(i);
    std::size_t b = bucket_of(node);
    const auto grow = policy._M_need_rehash(bucket_count, elements, 1);
    if (grow.first) {
      rehash_to(grow.second);
      b = bucket_of(node);
    }
    if (bucket[b] != none) {
      next[node] = next[bucket[b]];
      next[bucket[b]] = node;
    } else {
      next[node] = next[before_begin];
      next[before_begin] = node;
      if (next[node] != none) bucket[bucket_of(next[node])] = node;
      bucket[b] = before_begin;
    }
    ++elements;
  }

  array<std::uint32_t> order;
  order.reserve(elements);
  for (std::uint32_t p = next[before_begin]; p != none; p = next[p]) order.push_back(p);
  if (steps != nullptr) *steps += taken + order.size();
  return order;
}

}  // namespace cpp_functions
