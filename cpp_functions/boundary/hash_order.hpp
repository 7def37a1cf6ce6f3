// Iteration order of the standard library's std::unordered_map<int, V>, computed without
// building one. Callers see that order (the node index, the first node of a search, the key
// order of result dicts), but a real map costs a node allocation per key, several times the
// work of everything else a call does with its keys.
//
// The order follows from three rules of the library's hash table: a key that lands in an
// empty bucket goes to the front of the one list of all nodes; a key whose bucket is occupied
// goes to the front of that bucket's run; a rehash walks the list from the front and applies
// the same two rules with the new bucket count. This file applies those rules to index arrays,
// with the library's own rehash policy (bucket counts and growth points), so the order is the
// library's by construction; a test checks it against real maps.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "../runtime/arrays.hpp"
#include "../runtime/id_index.hpp"
#include "../runtime/parallel.hpp"
#include "../runtime/test_counters.hpp"
#include "interrupt.hpp"

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

// The list of a map whose nodes, in `seq` order, were inserted (or rehashed) into `buckets`
// buckets: by the two rules, each bucket's nodes stand together in the reverse of their seq
// order, and buckets stand in the reverse order of their first nodes in seq. So node i of seq
// lands after the nodes of the buckets whose first node comes later in seq, and after the
// nodes of its own bucket that come later. A count per bucket and two placing passes find
// that: their random accesses are independent of each other, where walking the list itself
// would chain them, a cache miss each once the map outgrows the cache.
//
// On a team, each participant owns a range of buckets for the passes that count and place,
// scanning seq for its own. Work goes out in slices of seq, one job each, with a poll after
// every job.
class regrouper {
 public:
  regrouper(const std::int32_t* keys, int team) : keys_(keys), team_(team) {}

  template <typename Poll>
  call_array<std::uint32_t> operator()(const call_array<std::uint32_t>& seq, std::size_t buckets,
                                       Poll& poll) {
    const std::size_t count = seq.size();
    call_array<std::uint32_t> out(count);
    if (buckets == 1) {
      std::reverse_copy(seq.begin(), seq.end(), out.begin());
      return out;
    }
    const bucket_divisor divisor(buckets);
    bucket_.resize(count);
    slices(count, poll, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i)
        bucket_[i] = static_cast<std::uint32_t>(divisor.mod(static_cast<std::size_t>(keys_[seq[i]])));
    });
    // Per bucket: its first position in seq (high half) and its node count; then the slot of
    // its next node.
    if (buckets > per_bucket_size_) {
      per_bucket_.reset(new std::atomic<std::uint64_t>[buckets]);
      per_bucket_size_ = buckets;
    }
    slices(buckets, poll, [&](std::size_t begin, std::size_t end) {
      for (std::size_t b = begin; b < end; ++b) per_bucket_[b].store(0, std::memory_order_relaxed);
    });
    std::atomic<bool> shared{false};
    owned_slices(count, buckets, false, poll, [&](std::size_t i, std::atomic<std::uint64_t>& entry) {
      const std::uint64_t held = entry.load(std::memory_order_relaxed);
      if (held != 0) shared.store(true, std::memory_order_relaxed);
      entry.store((held == 0 ? std::uint64_t{i} << 32 : held) + 1, std::memory_order_relaxed);
    });
    if (!shared.load()) {  // a bucket per node, as for keys numbered from 0 once they fit
      std::reverse_copy(seq.begin(), seq.end(), out.begin());
      return out;
    }
    // Each bucket's first slot: the nodes of the buckets whose first node lies further on.
    // A placed entry holds a slot below 2^32, which no later node (position above 0) takes
    // for its bucket's first.
    std::uint64_t next_slot = 0;
    for (std::size_t i = count; i-- > 0;) {
      if (i % slice_size == 0) poll();
      std::atomic<std::uint64_t>& entry = per_bucket_[bucket_[i]];
      const std::uint64_t held = entry.load(std::memory_order_relaxed);
      if (held >> 32 != i) continue;
      entry.store(next_slot, std::memory_order_relaxed);
      next_slot += static_cast<std::uint32_t>(held);
    }
    owned_slices(count, buckets, true, poll, [&](std::size_t i, std::atomic<std::uint64_t>& entry) {
      const std::uint64_t slot = entry.load(std::memory_order_relaxed);
      out[slot] = seq[i];
      entry.store(slot + 1, std::memory_order_relaxed);
    });
    return out;
  }

 private:
  static constexpr std::size_t slice_size = 1 << 16;  // positions of seq in one job

  // body(begin, end) over [0, count) by the team, a slice per job.
  template <typename Poll, typename Body>
  void slices(std::size_t count, Poll& poll, const Body& body) {
    for (std::size_t begin = 0; begin < count; begin += slice_size) {
      const std::size_t end = std::min(count, begin + slice_size);
      parallel_for(end - begin, (end - begin + team_ - 1) / team_, team_,
                   [&](std::size_t first, std::size_t last, int) { body(begin + first, begin + last); });
      poll();
    }
  }

  // body(i, entry of i's bucket) for every position of seq, ascending or descending, each
  // participant taking the positions whose buckets lie in its range.
  template <typename Poll, typename Body>
  void owned_slices(std::size_t count, std::size_t buckets, bool descending, Poll& poll, const Body& body) {
    const auto parts = static_cast<std::size_t>(team_);
    for (std::size_t done = 0; done < count; done += slice_size) {
      const std::size_t begin = descending ? count - std::min(count, done + slice_size) : done;
      const std::size_t end = descending ? count - done : std::min(count, done + slice_size);
      parallel_chunks(parts, team_, [&](std::size_t part, int) {
        const std::size_t low = buckets * part / parts, width = buckets * (part + 1) / parts - low;
        for (std::size_t k = 0; k < end - begin; ++k) {
          const std::size_t i = descending ? end - 1 - k : begin + k;
          if (bucket_[i] - low < width) body(i, per_bucket_[bucket_[i]]);
        }
      });
      poll();
    }
  }

  const std::int32_t* keys_;
  int team_;
  call_array<std::uint32_t> bucket_;  // of each position of seq
  std::unique_ptr<std::atomic<std::uint64_t>[]> per_bucket_;
  std::size_t per_bucket_size_ = 0;
};

// How a map takes in `count` keys: which of them it holds (the first of equal keys: emplace
// keeps the first), and the bucket counts it goes through. With `reserve`, the map is first
// reserved for `reserve_count` elements, as a converted argument is; without, it grows from
// empty, as a map filled key by key does. `distinct` says the keys are known to differ;
// otherwise repeats are found by a seeded hash table, since the map's own way (scanning the
// key's bucket) costs the whole bucket per key when keys share one.
struct map_insertions {
  call_array<std::uint32_t> inserted;  // positions into keys, in insertion order
  // The bucket count in force while inserted[rehash_at[r] ..] went in; r = 0 from the start.
  std::vector<std::size_t> rehash_at{0}, buckets;
  std::size_t probes = 0;  // repeats looked for (test builds only)

  template <typename Poll>
  map_insertions(const std::int32_t* keys, std::size_t count, bool reserve, std::size_t reserve_count,
                 bool distinct, Poll& poll) {
    constexpr std::size_t keys_per_poll = 1 << 14;
    check_positions(count);
    if (distinct) {
      inserted.resize(count);
      polled_loop(count, poll, [&](std::size_t i) { inserted[i] = static_cast<std::uint32_t>(i); });
    } else {
      id_table seen(count);
      inserted.reserve(count);
      for (std::size_t i = 0; i < count; ++i) {
        if (i % keys_per_poll == 0) poll();
        const auto fresh = static_cast<std::uint32_t>(inserted.size());
        if (seen.find_or_add(keys[i], fresh) == fresh) inserted.push_back(static_cast<std::uint32_t>(i));
      }
      CPP_FUNCTIONS_COUNT(probes, seen.probes() + count);
    }
    std::__detail::_Prime_rehash_policy policy;
    buckets.push_back(1);  // a default-constructed map has its single bucket
    if (reserve) {
      // reserve(n) is rehash(ceil(n / max_load)), and rehash never goes below one more element;
      // on an empty map it changes no order.
      const auto saved = policy._M_state();
      const std::size_t wanted = policy._M_next_bkt(
          std::max(policy._M_bkt_for_elements(1), policy._M_bkt_for_elements(reserve_count)));
      if (wanted != 1)
        buckets.back() = wanted;
      else
        policy._M_reset(saved);
    }
    polled_loop(inserted.size(), poll, [&](std::size_t j) {
      if (j + 1 <= policy._M_state()) return;  // no rehash below the resize point
      const auto grow = policy._M_need_rehash(buckets.back(), j, 1);
      if (grow.first) {
        rehash_at.push_back(j);
        buckets.push_back(grow.second);
      }
    });
    check_positions(buckets.back());  // bucket numbers are 32-bit too
  }
};

// The same order by the two rules applied key by key to a linked list, as the map itself
// does. While list and buckets fit in the cache this is the shorter way; past it, the walk
// along the list at each rehash and at the end is a chain of dependent misses. Goes in steps
// (advance), so that two orders can go on side by side with polls between steps.
class linked_walk {
 public:
  linked_walk(const std::int32_t* keys, const map_insertions& map)
      : keys_(keys), map_(map), next_(map.inserted.size() + 1, none) {}

  // Takes up to `steps` more steps; true once the order is complete. The walk's state lives
  // in locals within a step: through the members, every insertion reloaded them (1.05-1.07x
  // on the datasets' max_iter=0 calls).
  bool advance(std::size_t steps) {
    std::uint32_t* const next = next_.data();
    const std::uint32_t* const inserted = map_.inserted.data();
    const std::uint32_t head = static_cast<std::uint32_t>(map_.inserted.size());
    for (; round_ < map_.buckets.size(); ++round_, started_ = false) {
      if (!started_) {
        // A rehash inserts the nodes anew, in list order, under the new bucket count.
        divisor_ = bucket_divisor(map_.buckets[round_]);
        bucket_.assign(map_.buckets[round_], none);
        cursor_ = next[head];
        next[head] = none;
        added_ = map_.rehash_at[round_];
        started_ = true;
      }
      std::uint32_t* const bucket = bucket_.data();
      const bucket_divisor divisor = divisor_;
      const std::int32_t* const keys = keys_;
      const auto bucket_of = [&](std::uint32_t node) {
        return divisor.mod(static_cast<std::size_t>(keys[inserted[node]]));  // std::hash<int> is the value
      };
      // bucket[b]: the node before the first node of bucket b (head for the list's first
      // run), or none; next[i]: the node after i. Nodes are positions into map_.inserted.
      const auto insert = [&](std::uint32_t node) {
        CPP_FUNCTIONS_COUNT(taken, 1);
        const std::size_t b = bucket_of(node);
        if (bucket[b] != none) {
          next[node] = next[bucket[b]];
          next[bucket[b]] = node;
        } else {
          next[node] = next[head];
          next[head] = node;
          if (next[node] != none) bucket[bucket_of(next[node])] = node;
          bucket[b] = head;
        }
      };
      std::uint32_t cursor = cursor_;
      for (; cursor != none && steps != 0; --steps) {
        const std::uint32_t following = next[cursor];
        insert(cursor);
        cursor = following;
      }
      cursor_ = cursor;
      if (cursor != none) return false;
      const std::size_t end =
          round_ + 1 < map_.rehash_at.size() ? map_.rehash_at[round_ + 1] : map_.inserted.size();
      std::size_t added = added_;
      for (; added < end && steps != 0; --steps) insert(static_cast<std::uint32_t>(added++));
      added_ = added;
      if (added < end) return false;
    }
    if (order_.empty()) {
      order_.reserve(map_.inserted.size());
      cursor_ = next[head];
    }
    std::uint32_t cursor = cursor_;
    for (; cursor != none && steps != 0; cursor = next[cursor], --steps) order_.push_back(inserted[cursor]);
    cursor_ = cursor;
    return cursor == none;
  }

  call_array<std::uint32_t>& order() { return order_; }
  std::size_t taken = 0;  // nodes inserted (test builds only)

 private:
  static constexpr std::uint32_t none = UINT32_MAX;

  const std::int32_t* keys_;
  const map_insertions& map_;
  call_array<std::uint32_t> bucket_;
  call_array<std::uint32_t> next_;
  bucket_divisor divisor_{1};
  std::size_t round_ = 0, added_ = 0;
  std::uint32_t cursor_ = none;
  bool started_ = false;
  call_array<std::uint32_t> order_;
};

// Positions into `keys` of the map's entries in iteration order, one per key it holds (see
// map_insertions). Up to a few million keys, by the linked list; past that, by regrouping:
// between two rehashes the list is the regroup of the list before the last one followed by
// the keys inserted since, and a rehash keeps the order of that list and regroups it under
// the new count. Every step costs constant time whatever the key values. Built in two
// parts, so that a caller can take the linked walk in steps (map_order::walk).
class map_order {
 public:
  static constexpr std::size_t steps_per_poll = 1 << 14;

  template <typename Poll>
  map_order(const std::int32_t* keys, std::size_t count, bool reserve, std::size_t reserve_count,
            bool distinct, Poll& poll)
      : keys_(keys), map_(keys, count, reserve, reserve_count, distinct, poll) {
    // Distinct keys in [0, buckets) take a bucket each, so each goes to the front of the
    // list: where the map never rehashes, the order is the reverse of insertion. Ids numbered
    // from 0 are often just that.
    bool in_first_buckets = map_.buckets.size() == 1;
    for (std::size_t i = 0; in_first_buckets && i < count; ++i) {
      if (i % steps_per_poll == 0) poll();
      in_first_buckets = static_cast<std::size_t>(keys[i]) < map_.buckets[0];
    }
    if (in_first_buckets)
      order_ = call_array<std::uint32_t>(map_.inserted.rbegin(), map_.inserted.rend());
    else if (map_.inserted.size() < linked_below)
      walk.emplace(keys, map_);
  }
  map_order(const map_order&) = delete;  // the walk refers to map_
  map_order& operator=(const map_order&) = delete;

  // The linked walk where the order is taken that way and not complete yet; else empty.
  std::optional<linked_walk> walk;

  // The order, once any walk is complete. Runs on up to `team` threads; calls poll() between
  // parts of about a millisecond; adds the steps taken to *steps when given (test builds
  // only).
  template <typename Poll>
  call_array<std::uint32_t> finish(int team, Poll& poll, std::size_t* steps = nullptr) {
    std::size_t taken = map_.probes;
    if (walk) {
      taken += walk->taken;
      order_ = std::move(walk->order());
    } else if (order_.empty() && !map_.inserted.empty()) {
      regrouper regroup(keys_, team);
      for (std::size_t r = 0; r < map_.buckets.size(); ++r) {
        const std::size_t end = r + 1 < map_.rehash_at.size() ? map_.rehash_at[r + 1] : map_.inserted.size();
        order_.reserve(end);
        order_.insert(order_.end(), map_.inserted.begin() + static_cast<std::ptrdiff_t>(map_.rehash_at[r]),
                      map_.inserted.begin() + static_cast<std::ptrdiff_t>(end));
        CPP_FUNCTIONS_COUNT(taken, order_.size());
        order_ = regroup(order_, map_.buckets[r], poll);
      }
    } else {
      taken += map_.inserted.size();  // the reversal
    }
    if (steps != nullptr) *steps += taken + order_.size();
    return std::move(order_);
  }

 private:
  static constexpr std::size_t linked_below = 1 << 21;  // keys: list and buckets about fit in the cache
  const std::int32_t* keys_;
  const map_insertions map_;
  call_array<std::uint32_t> order_;
};

template <typename Poll>
call_array<std::uint32_t> unordered_map_order(const std::int32_t* keys, std::size_t count, bool reserve,
                                              std::size_t reserve_count, bool distinct, int team, Poll&& poll,
                                              std::size_t* steps = nullptr) {
  map_order order(keys, count, reserve, reserve_count, distinct, poll);
  while (order.walk && !order.walk->advance(map_order::steps_per_poll)) poll();
  return order.finish(team, poll, steps);
}

// The position into `keys` of the map's first entry in iteration order, or count for none:
// as unordered_map_order(...)[0]. Where the map does not rehash after its reserve, the first
// entry is the last key of the bucket that gets its first key last, found with a bit per
// bucket (which stays in the cache) and no ordering.
template <typename Poll>
std::size_t first_in_map_order(const std::int32_t* keys, std::size_t count, std::size_t reserve_count,
                               bool distinct, Poll&& poll) {
  const map_insertions map(keys, count, true, reserve_count, distinct, poll);
  if (map.inserted.empty()) return count;
  if (map.buckets.size() > 1)
    return unordered_map_order(keys, count, true, reserve_count, distinct, 1, poll)[0];
  const bucket_divisor divisor(map.buckets[0]);
  const auto bucket_of = [&](std::uint32_t p) { return divisor.mod(static_cast<std::size_t>(keys[p])); };
  std::vector<bool> seen(map.buckets[0], false);
  std::size_t last_new = 0;
  polled_loop(map.inserted.size(), poll, [&](std::size_t j) {
    const std::size_t b = bucket_of(map.inserted[j]);
    if (!seen[b]) {
      seen[b] = true;
      last_new = b;
    }
  });
  std::size_t j = map.inserted.size();
  while (bucket_of(map.inserted[--j]) != last_new) {
  }
  return map.inserted[j];
}

}  // namespace cpp_functions
