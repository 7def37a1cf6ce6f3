// Reading the leading run of an argument that needs no Python code, on the module's team.
//
// Most inputs are exact lists, tuples or dicts of exact sets of 32-bit exact ints. Reading such
// an input runs no Python code, so a team of threads reads it: the slots of each set's hash
// table and each int's digit. This is safe because the calling thread holds the interpreter
// lock for the whole call and runs only our code meanwhile, so no Python code can change or
// free those objects (the containers hold them); the workers only load memory, never change a
// reference count and call no C API but PyDict_Next, which in an interpreter with that lock
// only loads memory too. The run ends before the first object that needs more (a set
// subclass, an element that is no 32-bit exact int). The caller polls for signals between the
// chunks it hands to these functions, never inside one, so each chunk reads its container
// afresh.
#pragma once

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "../runtime/arrays.hpp"
#include "../runtime/parallel.hpp"
#include "interpreter.hpp"

// Workers read containers that only the interpreter lock keeps unchanged.
#ifdef Py_GIL_DISABLED
#error "cpp_functions reads Python containers on helper threads and needs the interpreter lock"
#endif

namespace cpp_functions::reading {

constexpr std::size_t serial_below_objects = 4096;  // smaller inputs are read on one thread
constexpr std::size_t objects_per_claim = 1024;     // a thread's unit of parallel reading
constexpr std::size_t set_work = 4;                 // reading a set costs about four ids

// Lowers `target` to `value` if that is smaller: the first failing index of a parallel read.
inline void lower_to(std::atomic<std::size_t>& target, std::size_t value) {
  std::size_t seen = target.load(std::memory_order_relaxed);
  while (value < seen && !target.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

// Whether the object is a set or frozenset itself, whose table may be read directly.
inline bool is_exact_set(PyObject* object) {
  return PySet_CheckExact(object) || PyFrozenSet_CheckExact(object);
}

// Resizes ids to `size`. A vector that must grow copies what it holds, and faults the new
// pages in, on the calling thread; here the team copies, into a buffer sized for the entries
// still expected at the ids per entry read so far (callers reserve `offsets` for every entry).
// It takes at most four times `size`, and no more than a vector would where address space is short.
// The old buffer's pages go back with poll() between slices (see free_polled).
template <typename Poll = void (*)()>
void grow_ids(
    call_array<std::int32_t>& ids, std::size_t size, std::size_t entries, std::size_t expected_entries,
    int team, Poll&& poll = [] {}) {
  constexpr std::size_t ids_per_copy = 1 << 16;
  if (size <= ids.capacity()) return ids.resize(size);
  const std::size_t doubled = std::max(size, 2 * ids.capacity());
  const double projected =
      std::min(static_cast<double>(size) / static_cast<double>(std::max<std::size_t>(entries, 1)) *
                   static_cast<double>(expected_entries) * 1.125,
               4.0 * static_cast<double>(size));
  call_array<std::int32_t> grown;
  try {
    grown.reserve(std::max(doubled, static_cast<std::size_t>(projected)));
  } catch (const std::bad_alloc&) {
    grown.reserve(doubled);
  }
  grown.resize(size);
  parallel_for(ids.size(), ids_per_copy, team, [&](std::size_t begin, std::size_t end, int) {
    std::memcpy(grown.data() + begin, ids.data() + begin, (end - begin) * sizeof(std::int32_t));
  });
  ids.swap(grown);
  free_polled(grown, poll);  // the old buffer
}

// Makes room in ids for `coming` more entries (at most those still expected) at twice the ids per entry of
// the `entries` read so far, so that reading them rarely grows ids: there the copy of every id read so far
// runs in a job that may not pause for polls (it holds objects borrowed from the container).
// Callers make room between chunks, where the copy's job may pause.
inline void make_room_ahead(call_array<std::int32_t>& ids, std::size_t entries, std::size_t coming,
                            std::size_t expected_entries) {
  coming = std::min(coming, expected_entries > entries ? expected_entries - entries : 0);
  if (entries == 0 || coming == 0) return;
  const std::size_t size = ids.size(), wanted = size + 2 * (size / entries + 1) * coming;
  if (wanted <= ids.capacity()) return;
  try {
    grow_ids(ids, wanted, entries + 2 * coming, expected_entries, team_size(size, serial_below_objects),
             poll_interrupt);
  } catch (const std::bad_alloc&) {
    return;  // a guess too large for the memory left: the chunk grows ids by what it needs
  }
  ids.resize(size);
}

// Appends to ids the tables of sets[0..count) (borrowed, alive, exact sets), where
// offsets[first + 1 + k] holds set k's size, as far as the leading run of sets of 32-bit exact
// ints goes; returns the length of that run, with offsets cut to one entry per set read.
// Sizes become running sums in place: the team that wrote them faulted their pages in.
inline std::size_t read_set_tables(PyObject* const* sets, std::size_t count, std::size_t first,
                                   call_array<std::size_t>& offsets, call_array<std::int32_t>& ids) {
  std::size_t* const running = offsets.data() + first;
  for (std::size_t k = 0; k < count; ++k) running[k + 1] += running[k];
  const std::size_t base = ids.size();
  const int team = team_size(count * set_work + running[count] - base, serial_below_objects * set_work);
  grow_ids(ids, running[count], first + count, offsets.capacity() - 1, team);

  // Tables by the team in chunks of about as much work each (a set's slots and ids): a few large
  // sets are shared out as well as many small ones.
  std::vector<std::size_t> cuts{0};
  for (std::size_t k = 0, work = 0; k < count; ++k)
    if ((work += running[k + 1] - running[k] + set_work) >= objects_per_claim * set_work || k + 1 == count) {
      cuts.push_back(k + 1);
      work = 0;
    }
  std::atomic<std::size_t> first_unread{count};
  parallel_chunks(cuts.size() - 1, team, [&](std::size_t c, int) {
    for (std::size_t k = cuts[c]; k < cuts[c + 1] && k < first_unread.load(std::memory_order_relaxed); ++k)
      if (!interpreter::set_of_plain_ints(sets[k], ids.data() + running[k])) return lower_to(first_unread, k);
  });
  const std::size_t read = first_unread.load();
  offsets.resize(first + read + 1);
  ids.resize(offsets.back());
  return read;
}

// Reads sets[0..count) (borrowed, all alive) into offsets and ids as far as the leading run of
// exact sets of 32-bit exact ints goes; returns the length of that run. offsets gains one entry
// per set read. No Python code runs and nothing is changed but the outputs.
inline std::size_t read_exact_sets(PyObject* const* sets, std::size_t count, call_array<std::size_t>& offsets,
                                   call_array<std::int32_t>& ids) {
  const no_polls_in_jobs unpolled;
  const std::size_t first = offsets.size() - 1;
  offsets.resize(first + 1 + count);
  std::atomic<std::size_t> first_other{count};
  parallel_for(count, objects_per_claim, team_size(count, serial_below_objects),
               [&](std::size_t begin, std::size_t end, int) {
                 for (std::size_t k = begin; k < end && k < first_other.load(std::memory_order_relaxed);
                      ++k) {
                   if (!is_exact_set(sets[k])) return lower_to(first_other, k);
                   offsets[first + 1 + k] = static_cast<std::size_t>(PySet_GET_SIZE(sets[k]));
                 }
               });
  return read_set_tables(sets, first_other.load(), first, offsets, ids);
}

// The dict entries of one chunk, k in [0, count), read into keys, offsets and ids as far as
// the leading run of 32-bit exact-int keys with exact sets of 32-bit exact ints goes; returns
// its length. walk(begin, end, visit) calls visit(k, key, value) for the chunk's entries
// [begin, end) in order until visit returns false; it must be safe on the team.
template <typename Walk>
std::size_t read_exact_entries(std::size_t count, const Walk& walk, call_array<std::int32_t>& keys,
                               call_array<std::size_t>& offsets, call_array<std::int32_t>& ids,
                               call_array<PyObject*>& values) {
  const no_polls_in_jobs unpolled;
  const std::size_t first = offsets.size() - 1;
  keys.resize(first + count);
  offsets.resize(first + 1 + count);
  values.resize(count);
  std::atomic<std::size_t> first_other{count};
  parallel_for(
      count, objects_per_claim, team_size(count, serial_below_objects),
      [&](std::size_t begin, std::size_t end, int) {
        walk(begin, end, [&](std::size_t k, PyObject* key, PyObject* value) {
          if (k >= first_other.load(std::memory_order_relaxed)) return false;
          if (key == nullptr || !interpreter::plain_int32(key, keys[first + k]) || !is_exact_set(value)) {
            lower_to(first_other, k);
            return false;
          }
          values[k] = value;
          offsets[first + 1 + k] = static_cast<std::size_t>(PySet_GET_SIZE(value));
          return true;
        });
      });
  const std::size_t read = read_set_tables(values.data(), first_other.load(), first, offsets, ids);
  keys.resize(first + read);
  return read;
}

}  // namespace cpp_functions::reading
