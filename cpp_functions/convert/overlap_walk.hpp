// The line-graph kernel's walkers: for one position i, the positions j > i whose hyperedges
// share at least s members with hyperedge i, with the count, found through an inverted index
// (the ascending positions holding each member).
//
// dense_walker (s <= 1) counts into an array of one counter per position.
//
// hub_walker (s >= 2). A member held by d hyperedges costs d(d-1)/2 visits, and the few
// members held by thousands of hyperedges take most of them, though the pairs they join mostly
// share nothing else and stay below s. The (at most 32) members held most often are heavy, and
// each hyperedge's heavy members are a 32-bit mask, stored in every index entry that names the
// hyperedge. A pair that shares no light member needs s heavy ones, so both sides have at least
// s heavy members ("rich"): a heavy member's list keeps only its rich holders, and only rich
// positions walk their heavy members. Every other pair is found through a light member, and the
// heavy members it shares are the bits its two masks share, read from the entry that found it:
// no lookup elsewhere. Counts go into a small hash table sized by the entries a position walks,
// which stays in the cache where an array of a counter per position would miss on most visits.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "../runtime/arrays.hpp"
#include "../runtime/flat_types.hpp"
#include "../runtime/id_index.hpp"
#include "../runtime/parallel.hpp"
#include "../runtime/transpose.hpp"

// A test build (CPP_FUNCTIONS_TEST_KNOBS) sets small values to reach every path on small inputs.
#ifndef CPP_FUNCTIONS_HEAVY_FLOOR
#define CPP_FUNCTIONS_HEAVY_FLOOR 64
#endif
#ifndef CPP_FUNCTIONS_MAX_HEAVY
#define CPP_FUNCTIONS_MAX_HEAVY 32
#endif
#ifndef CPP_FUNCTIONS_DENSE_BELOW
#define CPP_FUNCTIONS_DENSE_BELOW (1 << 18)
#endif

namespace cpp_functions::line_graph {

#ifdef CPP_FUNCTIONS_TEST_KNOBS
extern std::size_t test_kept_pairs;  // the kept-pairs budget of every call
#endif

constexpr std::size_t serial_below_incidences = 20000;          // smaller inputs run on one thread
constexpr std::size_t members_per_claim = 4096;                 // a thread's unit when copying members
constexpr std::size_t heavy_floor = CPP_FUNCTIONS_HEAVY_FLOOR;  // a heavy member has more holders
constexpr std::size_t max_heavy = CPP_FUNCTIONS_MAX_HEAVY;      // bits of a mask
static_assert(max_heavy <= 32, "heavy members are bits of a 32-bit mask");
// Lists of fewer positions count into an array of a counter per position: it fits the cache.
constexpr std::size_t dense_below = CPP_FUNCTIONS_DENSE_BELOW;

// Bits set in x. The baseline x86-64 has no popcount instruction, and the compiler's builtin
// then calls a library function.
inline std::uint32_t bits_set(std::uint32_t x) {
  x -= (x >> 1) & 0x55555555u;
  x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
  return (((x + (x >> 4)) & 0x0F0F0F0Fu) * 0x01010101u) >> 24;
}

struct pair_entry {
  std::uint32_t second, shared;
};

// Members of the hyperedges with at least min_size of them, renumbered into dense slots.
struct member_lists {
  call_array<std::size_t> offsets;  // members of i: slots[offsets[i] .. offsets[i+1])
  call_array<std::uint32_t> slots;
  std::size_t num_slots = 0;

  std::size_t size() const { return offsets.size() - 1; }
  // Members of i, 0 when below min_size.
  std::uint32_t size(std::size_t i) const { return static_cast<std::uint32_t>(offsets[i + 1] - offsets[i]); }
};

// Numbers the members, copied first (in parallel, each position owning its slice) where some
// hyperedges are left out.
inline member_lists number_members(const hyperedge_list& hyperedges, std::size_t min_size) {
  const std::size_t n = hyperedges.size();
  member_lists members;
  members.offsets.resize(n + 1);
  members.offsets[0] = 0;
  polled_loop(n, poll_interrupt, [&](std::size_t i) {
    const std::size_t size = hyperedges.offsets[i + 1] - hyperedges.offsets[i];
    if (size > UINT32_MAX)
      throw std::length_error("hyperedge " + std::to_string(i) + " has " + std::to_string(size) +
                              " members: at most 2^32 - 1");
    members.offsets[i + 1] = members.offsets[i] + (size >= min_size ? size : 0);
  });
  members.slots.resize(members.offsets[n]);
  if (members.slots.size() == hyperedges.members.size()) {  // every hyperedge takes part: no copy
    members.num_slots = number_ids(hyperedges.members.data(), members.slots.size(), members.slots.data());
    return members;
  }
  call_array<std::int32_t> ids(members.offsets[n]);
  parallel_for(n, members_per_claim, team_size(ids.size(), serial_below_incidences),
               [&](std::size_t begin, std::size_t end, int) {
                 for (std::size_t i = begin; i < end; ++i)
                   std::copy_n(
                       hyperedges.members.begin() + static_cast<std::ptrdiff_t>(hyperedges.offsets[i]),
                       members.size(i), ids.begin() + static_cast<std::ptrdiff_t>(members.offsets[i]));
               });
  members.num_slots = number_ids(ids.data(), ids.size(), members.slots.data());
  return members;
}

struct dense_index {
  member_lists members;
  call_array<std::size_t> holder_offsets;  // holders of slot v: [holder_offsets[v], [v+1])
  call_array<std::uint32_t> holders;       // positions, ascending within a slot
  std::uint32_t s = 0;

  std::size_t positions() const { return members.size(); }
  std::size_t incidences() const { return members.slots.size(); }
  std::uint32_t size(std::size_t i) const { return members.size(i); }
  // Frees what only a walk reads; sizes stay.
  void release_lists() {
    free_polled(holders, poll_interrupt);
    free_polled(holder_offsets, poll_interrupt);
  }
  // Frees everything, with polls between slices (see free_polled); once the walk is done.
  void release_all() {
    release_lists();
    free_polled(members.slots, poll_interrupt);
    free_polled(members.offsets, poll_interrupt);
  }
};

inline dense_index build_dense_index(const hyperedge_list& hyperedges, std::uint32_t s) {
  dense_index index;
  index.s = s;
  index.members = number_members(hyperedges, s);
  // Positions are scanned in ascending order, so every slot's holders come out ascending.
  transpose(index.members.offsets, index.members.slots, index.members.num_slots, index.holder_offsets,
            index.holders, team_size(index.members.slots.size(), serial_below_incidences));
  return index;
}

// A thread's counters: zero, and the touched list empty, between positions. A cache line
// each: every push_back writes the list's end pointer.
class alignas(64) dense_walker {
 public:
  explicit dense_walker(const dense_index& index) : index_(&index) {}

  // Adds |e_i & e_j| into the counter of every j > i sharing a member with i; take() and
  // clear() reset them.
  void gather(std::uint32_t i) {
    const dense_index& x = *index_;
    if (overlap_.empty()) overlap_.assign(x.members.size(), 0);
    for (std::size_t k = x.members.offsets[i]; k < x.members.offsets[i + 1]; ++k) {
      const std::uint32_t slot = x.members.slots[k];
      const std::uint32_t* first = x.holders.data() + x.holder_offsets[slot];
      const std::uint32_t* last = x.holders.data() + x.holder_offsets[slot + 1];
      for (const std::uint32_t* j = std::upper_bound(first, last, i); j != last; ++j)
        if (overlap_[*j]++ == 0) touched_.push_back(*j);
    }
  }
  std::uint32_t take(std::uint32_t j) { return std::exchange(overlap_[j], 0); }
  void clear() { touched_.clear(); }

  std::size_t count(std::uint32_t i) {
    gather(i);
    std::size_t accepted = 0;
    for (std::uint32_t j : touched_) accepted += take(j) >= index_->s;
    clear();
    return accepted;
  }

  // Calls emit(j, shared) for the accepted pairs of i, ascending j. Sorting k positions costs about k log k
  // steps; where they fill their range densely, a scan of the range in order is cheaper.
  template <typename Emit>
  void pairs(std::uint32_t i, const Emit& emit) {
    constexpr std::size_t scan_steps_per_pair = 8;
    gather(i);
    std::size_t accepted = 0;
    std::uint32_t low = std::numeric_limits<std::uint32_t>::max(), high = 0;
    for (std::uint32_t j : touched_) {
      if (overlap_[j] >= index_->s) {
        touched_[accepted++] = j;
        low = std::min(low, j);
        high = std::max(high, j);
      } else {
        overlap_[j] = 0;
      }
    }
    touched_.resize(accepted);
    if (accepted > 1 && static_cast<std::size_t>(high - low) < accepted * scan_steps_per_pair) {
      for (std::uint32_t j = low; j <= high; ++j)
        if (overlap_[j] != 0) emit(j, take(j));
    } else {
      std::sort(touched_.begin(), touched_.end());
      for (std::uint32_t j : touched_) emit(j, take(j));
    }
    clear();
  }

 private:
  const dense_index* index_;
  std::vector<std::uint32_t> overlap_;
  std::vector<std::uint32_t> touched_;
};

constexpr std::uint32_t list_end = std::numeric_limits<std::uint32_t>::max();    // position ending a list
constexpr std::uint32_t not_walked = std::numeric_limits<std::uint32_t>::max();  // entry of a skipped member

// Every member's holders, ascending, each list ended by a list_end entry. Each member of each
// position names the position's own entry in that member's list, so a walk starts right after
// it: no search, and no list offsets. With heavy members, `heavy` holds beside every entry the
// heavy members of its position as bits, and a heavy member's list only its rich holders.
struct hub_index {
  call_array<std::uint32_t> member_offsets;  // members of i: entry_of[member_offsets[i] .. [i+1])
  call_array<std::uint32_t> entry_of;        // or not_walked: a heavy member of a position not rich
  call_array<std::uint32_t> holders;
  call_array<std::uint32_t> heavy;  // empty without heavy members
  std::uint32_t s = 0;

  std::size_t positions() const { return member_offsets.size() - 1; }
  std::size_t incidences() const { return entry_of.size(); }
  std::uint32_t size(std::size_t i) const {
    return static_cast<std::uint32_t>(member_offsets[i + 1] - member_offsets[i]);
  }
  bool rich(std::uint32_t mask) const { return bits_set(mask) >= s; }
  // Frees what only a walk reads; sizes stay (and so does incidences(), for the budget).
  void release_lists() {
    free_polled(holders, poll_interrupt);
    free_polled(heavy, poll_interrupt);
  }
  // Frees everything, with polls between slices (see free_polled); once the walk is done.
  void release_all() {
    release_lists();
    free_polled(entry_of, poll_interrupt);
    free_polled(member_offsets, poll_interrupt);
  }
};

// The heavy members of a hub index while it is built: chosen once the lists' lengths are known,
// kept only where they at least halve the visits of the walk.
struct heavy_members {
  std::vector<std::uint32_t> slots;                 // bit k of a mask stands for slots[k]
  std::vector<std::uint8_t> bit_of;                 // of every slot: its bit, or max_heavy
  call_array<std::uint32_t> masks;                  // of every position
  std::vector<std::vector<std::uint32_t>> members;  // of slots[k]: the member at each of its entries

  // lengths(v): holders of slot v.
  template <typename Lengths>
  void choose(const member_lists& lists, std::uint32_t s, int team, const Lengths& lengths) {
    // At most max_heavy, the most held, each more than heavy_floor; ties with the first one left
    // out are left out too.
    std::vector<std::pair<std::size_t, std::uint32_t>> held;  // holders and slot
    double visits = 0;                                        // of the walk without heavy members
    polled_loop(lists.num_slots, poll_interrupt, [&](std::size_t slot) {
      const std::size_t d = lengths(static_cast<std::uint32_t>(slot));
      visits += 0.5 * static_cast<double>(d) * static_cast<double>(d - 1);
      if (d > heavy_floor) held.push_back({d, static_cast<std::uint32_t>(slot)});
    });
    std::size_t threshold = heavy_floor;
    if (held.size() > max_heavy) {
      std::nth_element(held.begin(), held.begin() + max_heavy, held.end(), std::greater<>());
      threshold = held[max_heavy].first;
    }
    bit_of.assign(lists.num_slots, max_heavy);
    double kept_visits = visits;
    for (const auto& [d, slot] : held)
      if (d > threshold) {
        bit_of[slot] = static_cast<std::uint8_t>(slots.size());
        slots.push_back(slot);
        kept_visits -= 0.5 * static_cast<double>(d) * static_cast<double>(d - 1);
      }
    if (slots.empty()) return;
    masks.resize(lists.size());
    std::vector<std::array<std::size_t, max_heavy>> rich_holders(static_cast<std::size_t>(team));
    parallel_for(lists.size(), members_per_claim, team,
                 [&](std::size_t begin, std::size_t end, int participant) {
                   auto& counts = rich_holders[static_cast<std::size_t>(participant)];
                   for (std::size_t i = begin; i < end; ++i) {
                     std::uint32_t mask = 0;
                     for (std::size_t k = lists.offsets[i]; k < lists.offsets[i + 1]; ++k)
                       if (bit_of[lists.slots[k]] < max_heavy)
                         mask |= std::uint32_t{1} << bit_of[lists.slots[k]];
                     masks[i] = mask;
                     if (bits_set(mask) >= s)
                       for (std::size_t b = 0; b < max_heavy; ++b) counts[b] += mask >> b & 1;
                   }
                 });
    for (std::size_t b = 0; b < slots.size(); ++b) {
      std::size_t d = 0;
      for (const auto& counts : rich_holders) d += counts[b];
      kept_visits += 0.5 * static_cast<double>(d) * (static_cast<double>(d) - 1);
    }
    if (2 * kept_visits > visits) {  // the hubs' pairs mostly share more than hubs: no split
      slots.clear();
      call_array<std::uint32_t>().swap(masks);
      return;
    }
    for (std::uint32_t slot : slots) members.emplace_back(lengths(slot));
  }
};

inline hub_index build_hub_index(const hyperedge_list& hyperedges, std::uint32_t s) {
  hub_index index;
  index.s = s;
  member_lists lists = number_members(hyperedges, s);
  check_positions(lists.slots.size() + lists.num_slots);  // entries and list ends
  const int team = team_size(lists.slots.size(), serial_below_incidences);
  call_array<std::size_t> holder_offsets;  // list of slot v: [holder_offsets[v], [v+1]), its end last
  heavy_members heavy;
  const auto counted = [&](const call_array<std::size_t>& offsets) {
    heavy.choose(lists, s, team, [&](std::uint32_t slot) { return offsets[slot + 1] - offsets[slot] - 1; });
  };
  // Once placed, a member's slot number gives way to its entry.
  const auto placed = [&](std::size_t p, std::uint32_t slot, std::size_t at) {
    if (!heavy.slots.empty() && heavy.bit_of[slot] < max_heavy)
      heavy.members[heavy.bit_of[slot]][at - holder_offsets[slot]] = static_cast<std::uint32_t>(p);
    lists.slots[p] = static_cast<std::uint32_t>(at);
  };
  transpose(
      lists.offsets, lists.slots, lists.num_slots, 1, holder_offsets, index.holders, team, counted,
      [](std::size_t r) { return static_cast<std::uint32_t>(r); }, placed);
  parallel_for(lists.num_slots, members_per_claim, team, [&](std::size_t begin, std::size_t end, int) {
    for (std::size_t slot = begin; slot < end; ++slot) index.holders[holder_offsets[slot + 1] - 1] = list_end;
  });
  if (!heavy.slots.empty()) {
    // The offsets go before the masks beside the entries come: the call's peak of memory.
    std::vector<std::pair<std::size_t, std::size_t>> heavy_lists;  // first entry, list end
    for (std::uint32_t slot : heavy.slots)
      heavy_lists.push_back({holder_offsets[slot], holder_offsets[slot + 1] - 1});
    call_array<std::size_t>().swap(holder_offsets);
    index.heavy.resize(index.holders.size());
    parallel_for(index.holders.size(), members_per_claim * 16, team,
                 [&](std::size_t begin, std::size_t end, int) {
                   for (std::size_t at = begin; at < end; ++at)
                     index.heavy[at] = index.holders[at] == list_end ? 0 : heavy.masks[index.holders[at]];
                 });
    call_array<std::uint32_t>().swap(heavy.masks);
    parallel_for(heavy_lists.size(), 1, team, [&](std::size_t begin, std::size_t end, int) {
      for (std::size_t k = begin; k < end; ++k) {
        const auto [first, last] = heavy_lists[k];
        std::size_t kept = first;
        for (std::size_t at = first; at < last; ++at) {
          const std::uint32_t p = heavy.members[k][at - first];
          if (index.rich(index.heavy[at])) {
            index.holders[kept] = index.holders[at];
            index.heavy[kept] = index.heavy[at];
            lists.slots[p] = static_cast<std::uint32_t>(kept++);
          } else {
            lists.slots[p] = not_walked;
          }
        }
        index.holders[kept] = list_end;
      }
    });
  }
  // 32-bit offsets (the entries are fewer than 2^32): half the memory during the walk.
  index.member_offsets.resize(lists.offsets.size());
  parallel_for(lists.offsets.size(), members_per_claim * 16, team,
               [&](std::size_t begin, std::size_t end, int) {
                 for (std::size_t i = begin; i < end; ++i)
                   index.member_offsets[i] = static_cast<std::uint32_t>(lists.offsets[i]);
               });
  index.entry_of = std::move(lists.slots);
  return index;
}

class alignas(64) hub_walker {
 public:
  explicit hub_walker(const hub_index& index) : index_(&index) {}

  std::size_t count(std::uint32_t i) { return select(i, count_only{}); }

  // Calls emit(j, shared) for the accepted pairs of i, ascending j.
  template <typename Emit>
  void pairs(std::uint32_t i, const Emit& emit) {
    select(i, emit);
  }

 private:
  struct counter {
    std::uint32_t position, shared, heavy;
  };
  static constexpr std::uint32_t prefetch_distance = 4;
  static constexpr std::size_t scan_steps_per_pair = 8;
  static constexpr std::size_t table_slots_per_entry = 4;  // a fuller table probes longer

  struct count_only {
    void operator()(std::uint32_t, std::uint32_t) const {}
  };

  // Counts the accepted pairs of i, and hands them to emit, ascending, unless it is count_only.
  template <typename Emit>
  std::size_t select(std::uint32_t i, const Emit& emit) {
    const hub_index& x = *index_;
    const std::uint32_t* first = x.entry_of.data() + x.member_offsets[i];
    const std::uint32_t* last = x.entry_of.data() + x.member_offsets[i + 1];
    // Positions go in ascending order: the lists of a later one are fetched while this one
    // is counted, so their first misses overlap instead of following each other.
    if (i + prefetch_distance < x.positions())
      for (std::size_t k = x.member_offsets[i + prefetch_distance];
           k < x.member_offsets[i + prefetch_distance + 1]; ++k)
        if (x.entry_of[k] != not_walked) __builtin_prefetch(x.holders.data() + x.entry_of[k]);
    const std::uint32_t* walked =
        std::find_if(first, last, [](std::uint32_t at) { return at != not_walked; });
    if (walked == last) return 0;
    const std::uint32_t mask_i = x.heavy.empty() ? 0 : x.heavy[*walked];  // i's own entry
    if (mask_i == 0)
      return walk(walked, last, emit, [](std::uint32_t shared, std::uint32_t) { return shared; }, false);
    const bool rich_i = x.rich(mask_i);
    // The walk counted heavy members only where both sides are rich.
    return walk(
        walked, last, emit,
        [&](std::uint32_t shared, std::uint32_t mask_j) {
          return rich_i && x.rich(mask_j) ? shared : shared + bits_set(mask_i & mask_j);
        },
        true);
  }

  // The walk of the lists after i's entries [first, last); total(count, mask_j) gives a pair's
  // shared members from the walk's count (masks are read only if `masked`).
  template <typename Emit, typename Total>
  std::size_t walk(const std::uint32_t* first, const std::uint32_t* last, const Emit& emit,
                   const Total& total, bool masked) {
    const hub_index& x = *index_;
    bool dense = x.positions() < dense_below;
    std::size_t entries = 0;
    if (!dense) {
      for (const std::uint32_t* at = first; at != last; ++at)
        if (*at != not_walked)
          for (const std::uint32_t* j = x.holders.data() + *at + 1; *j != list_end; ++j) ++entries;
      // A table of more than a quarter of the array's bytes would not stay in the cache either.
      dense = entries * table_slots_per_entry * sizeof(counter) * 4 > x.positions() * sizeof(std::uint32_t);
    }
    if (dense) return walk_dense(first, last, emit, total, masked);
    if (entries == 0) return 0;
    int bits = 4;
    while ((std::size_t{1} << bits) < table_slots_per_entry * entries) ++bits;
    const std::size_t capacity = std::size_t{1} << bits;
    if (table_.size() < capacity) table_.assign(capacity, counter{list_end, 0, 0});
    for (const std::uint32_t* at = first; at != last; ++at) {
      if (*at == not_walked) continue;
      for (std::size_t p = *at + 1; x.holders[p] != list_end; ++p) {
        const std::uint32_t j = x.holders[p];
        std::size_t slot = static_cast<std::uint32_t>(j * 0x9E3779B1u) >> (32 - bits);
        while (table_[slot].position != j && table_[slot].position != list_end)
          slot = (slot + 1) & (capacity - 1);
        if (table_[slot].position == list_end) {
          table_[slot] = {j, 1, masked ? x.heavy[p] : 0};
          used_.push_back(static_cast<std::uint32_t>(slot));
        } else {
          ++table_[slot].shared;
        }
      }
    }
    // The used slots from a list: a scan of the table would guess wrong at every other slot.
    std::size_t accepted = 0;
    for (std::uint32_t slot : used_) {
      const std::uint32_t j = std::exchange(table_[slot].position, list_end);
      const std::uint32_t shared = total(table_[slot].shared, table_[slot].heavy);
      if (shared < x.s) continue;
      ++accepted;
      if constexpr (!std::is_same_v<Emit, count_only>) accepted_.push_back({j, shared});
    }
    used_.clear();
    if constexpr (!std::is_same_v<Emit, count_only>) {
      std::sort(accepted_.begin(), accepted_.end(),
                [](pair_entry a, pair_entry b) { return a.second < b.second; });
      for (const pair_entry& pair : accepted_) emit(pair.second, pair.shared);
      accepted_.clear();
    }
    return accepted;
  }

  template <typename Emit, typename Total>
  std::size_t walk_dense(const std::uint32_t* first, const std::uint32_t* last, const Emit& emit,
                         const Total& total, bool masked) {
    const hub_index& x = *index_;
    if (dense_.empty()) dense_.assign(x.positions(), 0);
    // Raw pointers: through the vectors every store would reload their data pointers.
    const std::uint32_t* holders = x.holders.data();
    std::uint32_t* dense = dense_.data();
    std::size_t touched = 0;
    for (const std::uint32_t* at = first; at != last; ++at) {
      if (*at == not_walked) continue;
      for (std::size_t p = *at + 1;; ++p) {
        const std::uint32_t j = holders[p];
        if (j == list_end) break;
        if (dense[j]++ != 0) continue;
        if (touched == touched_.size()) touched_.resize(2 * touched + 64);
        if (masked && touched == masks_.size()) masks_.resize(touched_.size());
        touched_[touched] = j;
        if (masked) masks_[touched] = x.heavy[p];
        ++touched;
      }
    }
    std::uint32_t* list = touched_.data();
    std::size_t accepted = 0;
    if constexpr (std::is_same_v<Emit, count_only>) {
      for (std::size_t t = 0; t < touched; ++t)
        accepted += total(std::exchange(dense[list[t]], 0), masked ? masks_[t] : 0) >= x.s;
      return accepted;
    }
    // Without branches: whether a pair is kept follows no pattern.
    std::uint32_t low = list_end, high = 0;
    for (std::size_t t = 0; t < touched; ++t) {
      const std::uint32_t j = list[t];
      const std::uint32_t shared = total(dense[j], masked ? masks_[t] : 0);
      const std::uint32_t kept = shared >= x.s;
      dense[j] = shared & (0 - kept);
      list[accepted] = j;
      accepted += kept;
      low = std::min(low, kept ? j : list_end);
      high = std::max(high, kept ? j : 0);
    }
    // Sorting k positions costs about k log k steps; where they fill their range densely, a
    // scan of the range in order is cheaper.
    if (accepted > 1 && static_cast<std::size_t>(high - low) < accepted * scan_steps_per_pair) {
      for (std::uint32_t j = low; j <= high; ++j)
        if (dense[j] != 0) emit(j, std::exchange(dense[j], 0));
    } else {
      std::sort(list, list + accepted);
      for (std::size_t t = 0; t < accepted; ++t) emit(list[t], std::exchange(dense[list[t]], 0));
    }
    return accepted;
  }

  const hub_index* index_;
  std::vector<counter> table_;          // all unused (list_end) between positions
  std::vector<std::uint32_t> used_;     // slots of table_ in use
  std::vector<std::uint32_t> dense_;    // all zero between positions
  std::vector<std::uint32_t> touched_;  // room for the positions counted in dense_, and their masks
  std::vector<std::uint32_t> masks_;
  std::vector<pair_entry> accepted_;  // of the table, to be ordered
};

}  // namespace cpp_functions::line_graph
