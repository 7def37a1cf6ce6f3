// Every read of the interpreter's private structures, and the one write, in one place. Each was
// checked against CPython 3.13 (the layouts of ints, sets, dicts and their key tables, the
// thread state's event bits) and is compiled only for it; any other version, or a build with
// CPP_FUNCTIONS_PRIVATE_READS=0 (make test-clang builds so, to test this side), takes the
// public interface or goes without the shortcut, with the same results.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#ifndef CPP_FUNCTIONS_PRIVATE_READS
#define CPP_FUNCTIONS_PRIVATE_READS (PY_VERSION_HEX >> 16 == 0x030D)
#endif

namespace cpp_functions::interpreter {

// An exact int in the signed 32-bit range, read as plain memory, so that helper threads may
// read it while the calling thread holds the interpreter lock: one digit (|v| < 2^30) or a few
// more for the rest of the range (ids from hashes and databases use all 31 bits). False for
// anything else, and always where private reads are off: the calling thread converts those.
inline bool plain_int32(PyObject* item, std::int32_t& value) {
#if CPP_FUNCTIONS_PRIVATE_READS
  static_assert(PyLong_SHIFT == 30 || PyLong_SHIFT == 15, "digits of an unknown width");
  constexpr std::uintptr_t max_digits = (32 + PyLong_SHIFT - 1) / PyLong_SHIFT;
  if (!PyLong_CheckExact(item)) return false;
  auto* number = reinterpret_cast<PyLongObject*>(item);
  if (PyUnstable_Long_IsCompact(number)) {
    value = static_cast<std::int32_t>(PyUnstable_Long_CompactValue(number));
    return true;
  }
  const std::uintptr_t tag = number->long_value.lv_tag;
  const std::uintptr_t digits = tag >> _PyLong_NON_SIZE_BITS;
  if (digits > max_digits) return false;
  std::uint64_t magnitude = 0;
  for (std::uintptr_t k = digits; k-- > 0;)
    magnitude = magnitude << PyLong_SHIFT | number->long_value.ob_digit[k];
  const bool negative = (tag & _PyLong_SIGN_MASK) == 2;
  if (magnitude > (negative ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1)) return false;
  value = static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(magnitude)
                                             : static_cast<std::int64_t>(magnitude));
  return true;
#else
  (void)item;
  (void)value;
  return false;
#endif
}

// The elements of an exact set or frozenset in its iteration order, when all are plain_int32;
// false at the first other one (and always where private reads are off). Iteration walks the
// hash table in slot order and skips empty and deleted slots (hash -1, which no live element
// has). Pure reads.
inline bool set_of_plain_ints(PyObject* set, std::int32_t* out) {
#if CPP_FUNCTIONS_PRIVATE_READS
  const auto* table = reinterpret_cast<PySetObject*>(set);
  for (Py_ssize_t slot = 0; slot <= table->mask; ++slot) {
    const setentry& entry = table->table[slot];
    if (entry.key == nullptr || entry.hash == -1) continue;
    if (!plain_int32(entry.key, *out++)) return false;
  }
  return true;
#else
  (void)set;
  (void)out;
  return false;
#endif
}

// Whether each of the first `length` slots of the dict's entry table holds an entry: then
// PyDict_Next from position p yields entry p at slot p, and a team can walk parts of the table
// at once. Entry p sits in slot p, the last slot below length is full and none after. Costs a
// walk over the holes, so a caller asks again only while the answer is yes. Positions as slot
// numbers are 3.13's; elsewhere the answer is no.
inline bool dict_without_holes(PyObject* dict, Py_ssize_t length) {
#if CPP_FUNCTIONS_PRIVATE_READS
  if (length == 0) return true;
  Py_ssize_t position = length - 1;
  PyObject *key = nullptr, *value = nullptr;
  return PyDict_Next(dict, &position, &key, &value) != 0 && position == length &&
         PyDict_Next(dict, &position, &key, &value) == 0;
#else
  (void)dict;
  (void)length;
  return false;
#endif
}

// A new dict holding `key: value`, with the table that filling it with `entries` would end
// in; null with the error set on failure. A fill rebuilds the table each time it doubles, each
// rebuild one step that rehashes all the entries so far (0.4 s for the last of a 6M-entry
// dict), and the interpreter presizes for at most 87381 entries. A merge into an empty dict
// first sizes it for the source's count of entries (ma_used), then copies the entries the
// source's entry table holds: a one-entry source that states a count needing that table sizes
// the dict at once. The source is ours and seen by nothing else, and states its true count again
// before anything else runs. Debug and free-threaded builds check or lock that count: they,
// and other versions, grow the dict as they fill it.
inline PyObject* dict_with_room(Py_ssize_t entries, PyObject* key, PyObject* value) {
  PyObject* dict = nullptr;
#if CPP_FUNCTIONS_PRIVATE_READS && !defined(Py_DEBUG) && !defined(Py_GIL_DISABLED)
  Py_ssize_t slots = 8;  // the first table; a fill doubles it when two thirds are taken
  while (slots * 2 / 3 < entries) slots *= 2;
  if (slots > 8) {
    PyObject* source = PyDict_New();
    if (source == nullptr || PyDict_SetItem(source, key, value) != 0) {
      Py_XDECREF(source);
      return nullptr;
    }
    if ((dict = PyDict_New()) != nullptr) {
      auto* stated = reinterpret_cast<PyDictObject*>(source);
      stated->ma_used = slots / 3 + 1;  // the fewest entries that need `slots`
      const int merged = PyDict_Update(dict, source);
      stated->ma_used = 1;
      if (merged != 0) Py_CLEAR(dict);
    }
    Py_DECREF(source);
    return dict;
  }
#else
  (void)entries;
#endif
  if ((dict = PyDict_New()) != nullptr && PyDict_SetItem(dict, key, value) != 0) Py_CLEAR(dict);
  return dict;
}

// Where a dict's hash index keeps the slot an int key is first looked up in, so that the slot
// can be fetched ahead of the insertion: in a large dict filled in an order unrelated to the
// keys' values each insertion misses the cache there. The key table's layout is checked once
// on a small dict; where it is not as expected, or private reads are off, nothing is fetched.
// A prefetch never faults and changes nothing but timing.
struct dict_index {
  static constexpr std::size_t log2_size_at = 8, log2_index_bytes_at = 9, indices_at = 32;

  static bool layout_known() {
#if CPP_FUNCTIONS_PRIVATE_READS
    static const bool known = [] {
      PyObject* probe = PyDict_New();
      if (probe == nullptr) return PyErr_Clear(), false;
      PyObject* key = PyLong_FromLong(1);
      const bool set = key != nullptr && PyDict_SetItem(probe, key, key) == 0;
      Py_XDECREF(key);
      if (!set) PyErr_Clear();
      bool matches = false;
      if (set) {
        const auto* keys =
            reinterpret_cast<const unsigned char*>(reinterpret_cast<PyDictObject*>(probe)->ma_keys);
        // Eight one-byte index slots; key 1 is entry 0, in slot 1; the others empty (-1).
        matches = keys[log2_size_at] == 3 && keys[log2_index_bytes_at] == 3 &&
                  static_cast<signed char>(keys[indices_at + 1]) == 0 &&
                  static_cast<signed char>(keys[indices_at]) == -1 &&
                  static_cast<signed char>(keys[indices_at + 7]) == -1;
      }
      Py_DECREF(probe);
      return matches;
    }();
    return known;
#else
    return false;
#endif
  }

  // Only where layout_known().
  static void prefetch(PyObject* dict, std::int32_t key) {
#if CPP_FUNCTIONS_PRIVATE_READS
    const auto* keys = reinterpret_cast<const unsigned char*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
    const unsigned log2_size = keys[log2_size_at], log2_index_bytes = keys[log2_index_bytes_at];
    if (log2_size >= 48 || log2_index_bytes < log2_size) return;
    const Py_hash_t hash = key == -1 ? -2 : key;  // an int's hash is its value, but for -1
    const std::size_t slot = static_cast<std::size_t>(hash) & ((std::size_t{1} << log2_size) - 1);
    __builtin_prefetch(keys + indices_at + (slot << (log2_index_bytes - log2_size)), 1);
#else
    (void)dict;
    (void)key;
#endif
  }
};

// Whether a poll on this thread would run anything: a signal's handlers (signals go to the main
// thread's state) or a scheduled collection, the two things PyErr_CheckSignals does. Reads the
// thread state's event bits; where private reads are off, always yes. A signal whose bit is
// set just after this answers no is found by the next poll. Needs the interpreter lock.
inline bool poll_would_act() {
#if CPP_FUNCTIONS_PRIVATE_READS
  constexpr std::uintptr_t signals_pending = 1 << 1, collection_scheduled = 1 << 4;
  const std::uintptr_t events = __atomic_load_n(&PyThreadState_Get()->eval_breaker, __ATOMIC_RELAXED);
  return (events & (signals_pending | collection_scheduled)) != 0;
#else
  return true;
#endif
}

}  // namespace cpp_functions::interpreter
