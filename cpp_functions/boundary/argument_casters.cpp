// Conversion of the kernels' arguments at the Python boundary: list[set[int]] and
// dict[int, set[int]] into the flat arrays of flat_types.hpp, with every Python call, refusal
// and error of stl.h's casters kept (casters.hpp), and dict keys in native order
// (hash_order.hpp). The leading run of plain objects is read by the team
// (parallel_reading.hpp); from the first object that needs more, everything runs on the
// calling thread in stl.h's order, since Python code may then change what follows.
//
// Interruption. The calling thread polls between chunks of about 2^15 objects and in every
// long loop, only where no borrowed pointer is held (a handler may run any Python code), and
// each chunk reads its container afresh. A handler may also raise inside an element's own
// __index__ or __int__, where pybind11's int caster clears every Exception and retries through
// int(), losing the Ctrl-C or the deadline. Here the call ends with what the handler raised
// (signal_origin.hpp), and with exhausted memory or too deep a recursion (an __index__ that
// calls the module again would be retried exponentially often): the one place where these
// casters differ from stl.h's.
//
// Repeated ids. Only ids that are not exact ints can repeat within a set or among a dict's
// keys; those are dropped with a seeded hash table, in linear time whatever their values.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "../runtime/id_index.hpp"
#include "../runtime/parallel.hpp"
#include "../runtime/phase_marks.hpp"
#include "casters.hpp"
#include "hash_order.hpp"
#include "interrupt.hpp"
#include "parallel_reading.hpp"
#include "signal_origin.hpp"

namespace py = pybind11;

namespace cpp_functions {
namespace {

using namespace reading;

constexpr std::size_t objects_per_chunk = 1 << 15;  // read in parallel between two polls
// The first chunks are smaller, doubling up to that: the call's first poll comes soon.
constexpr std::size_t first_chunk = objects_per_chunk / 8;
constexpr std::uint32_t steps_per_poll = 1024;       // sequential conversions between two polls
constexpr std::size_t serial_order_below = 1 << 16;  // keys whose native order one thread finds

// ---- elements -----------------------------------------------------------------------------

// Errors that a conversion must not swallow: interruptions (KeyboardInterrupt and everything
// else outside Exception, and whatever a signal handler raised during the conversion),
// exhausted memory and too deep a recursion.
bool must_propagate() {
  return !PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError) ||
         PyErr_ExceptionMatches(PyExc_RecursionError) || raised_by_signal_handler();
}

// pybind11's one retry: a number whose protocol raised is converted once more as make(item).
template <typename T, typename Convert>
bool retry_as(PyObject* (*make)(PyObject*), PyObject* item, T& value, Convert convert) {
  if (PyNumber_Check(item) == 0) return false;
  py::object number = py::reinterpret_steal<py::object>(make(item));
  if (number) return convert(number.ptr(), value, false);
  if (must_propagate()) throw py::error_already_set();
  PyErr_Clear();
  return false;
}

// The int rule for an object that is not an exact int, as pybind11's caster applies it: read
// through the integer protocol, with the retry through int(). Errors are cleared and refuse
// the object, except those of must_propagate(), which end the call.
bool convert_number(PyObject* item, std::int32_t& value, bool retry) {
  if (PyFloat_Check(item)) return false;
  const long read = PyLong_AsLong(item);
  const bool raised = read == -1 && PyErr_Occurred();
  if (raised && must_propagate()) throw py::error_already_set();
  if (raised || read < INT_MIN || read > INT_MAX) {
    PyErr_Clear();
    return raised && retry && retry_as(PyNumber_Long, item, value, convert_number);
  }
  value = static_cast<std::int32_t>(read);
  return true;
}

// One element by the int rule, on the calling thread. For an exact int no Python code runs:
// the value is read, and one that does not fit is refused.
bool convert_int(PyObject* item, std::int32_t& value) {
  if (PyLong_CheckExact(item)) {
    int overflow = 0;
    const long read = PyLong_AsLongAndOverflow(item, &overflow);
    if (overflow != 0 || read < INT_MIN || read > INT_MAX) {
      PyErr_Clear();
      return false;
    }
    if (read == -1 && PyErr_Occurred()) PyErr_Clear();
    value = static_cast<std::int32_t>(read);
    return true;
  }
  return convert_number(item, value, true);
}

// The float rule: read through the float protocol, with the retry through float().
bool convert_float(PyObject* item, double& value, bool retry) {
  const double read = PyFloat_AsDouble(item);
  if (read == -1.0 && PyErr_Occurred()) {
    if (must_propagate()) throw py::error_already_set();
    PyErr_Clear();
    return retry && retry_as(PyNumber_Float, item, value, convert_float);
  }
  value = read;
  return true;
}

// ---- sets ---------------------------------------------------------------------------------

// Keeps the first of equal values in out[first..]: elements that convert to the same native
// value are one member, as in a native set.
void drop_repeats(call_array<std::int32_t>& out, std::size_t first) {
  std::size_t kept = first;
  id_table seen(out.size() - first);
  for (std::size_t k = first; k < out.size(); ++k)
    if (seen.find_or_add(out[k], static_cast<std::uint32_t>(kept - first)) == kept - first)
      out[kept++] = out[k];
  out.resize(kept);
}

// One set by stl.h's rule, on the calling thread: its distinct values appended to `out`, or
// false (and `out` unchanged) when refused. The set's own iteration runs as stl.h runs it:
// iter(), then next() before each element is converted.
bool load_set(PyObject* src, call_array<std::int32_t>& out) {
  if (!PyAnySet_Check(src)) return false;
  const std::size_t first = out.size();
  if (is_exact_set(src) && !PyErr_Occurred()) {
    out.resize(first + static_cast<std::size_t>(PySet_GET_SIZE(src)));
    if (interpreter::set_of_plain_ints(src, out.data() + first)) return true;
    out.resize(first);
  }
  // An exact set of exact ints holds distinct values; anything else may repeat one.
  bool may_repeat = !is_exact_set(src);
  py::object iterator = py::reinterpret_steal<py::object>(PyObject_GetIter(src));
  if (!iterator) throw py::error_already_set();
  while (true) {
    py::object item = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
    if (!item) {
      if (PyErr_Occurred()) throw py::error_already_set();
      break;
    }
    may_repeat = may_repeat || !PyLong_CheckExact(item.ptr());
    std::int32_t value = 0;
    if (!convert_int(item.ptr(), value)) {
      out.resize(first);
      return false;
    }
    out.push_back(value);
  }
  if (may_repeat) drop_repeats(out, first);
  return true;
}

// stl.h reserves a vector of len(sequence) hash sets before it reads any item, and __len__ is
// the sequence's own: a huge claimed length fails there, as ValueError or MemoryError. The
// same reservation is made (and released; pages are never touched) so that it fails alike.
void reserve_as_stl(Py_ssize_t length) {
  std::vector<std::unordered_set<int>> reservation;
  reservation.reserve(static_cast<std::size_t>(length));
}

}  // namespace

bool load_hyperedge_list(PyObject* src, hyperedge_list& out) {
  if (!PySequence_Check(src) || PyBytes_Check(src) || PyUnicode_Check(src)) return false;
  out = hyperedge_list{};
  const Py_ssize_t claimed = PySequence_Size(src);
  if (claimed == -1) throw py::error_already_set();
  reserve_as_stl(claimed);
  out.offsets.reserve(static_cast<std::size_t>(claimed) + 1);
  // The loop bound is asked for again and, as in stl.h, not checked: -1 runs until an item
  // access fails.
  const Py_ssize_t end = PySequence_Size(src);
  Py_ssize_t next = 0;
  if ((PyList_CheckExact(src) || PyTuple_CheckExact(src)) && end >= 0 && !PyErr_Occurred()) {
    for (std::size_t chunk = first_chunk; next < end; chunk = std::min(2 * chunk, objects_per_chunk)) {
      make_room_ahead(out.members, out.offsets.size() - 1, chunk, out.offsets.capacity() - 1);
      // Afresh per chunk: a signal handler run by the last poll may have changed the list.
      const Py_ssize_t stop =
          std::min({end, PySequence_Fast_GET_SIZE(src), next + static_cast<Py_ssize_t>(chunk)});
      if (stop <= next) break;
      const std::size_t read = read_exact_sets(
          PySequence_Fast_ITEMS(src) + next, static_cast<std::size_t>(stop - next), out.offsets, out.members);
      next += static_cast<Py_ssize_t>(read);
      if (next < stop) break;
      poll_interrupt();
    }
  }
  interrupt_ticker ticker{steps_per_poll};
  for (; next != end; ++next) {
    ticker.tick();
    py::object item = py::reinterpret_steal<py::object>(PySequence_GetItem(src, next));
    if (!item) throw py::error_already_set();
    if (!load_set(item.ptr(), out.members)) return false;
    out.offsets.push_back(out.members.size());
  }
  CPP_FUNCTIONS_PHASE("argument walk");
  return true;
}

namespace {

// A dict's entries in dict order, repeated native keys included: entry k is keys[k] with the
// ids ids[offsets[k] ..].
struct dict_entries {
  call_array<std::int32_t> keys;
  call_array<std::size_t> offsets{0};
  call_array<std::int32_t> ids;
  std::size_t reserved = 0;   // the dict's size when conversion began: what stl.h reserves
  bool distinct_keys = true;  // exact-int keys are distinct values
};

// Reads the leading run of plain entries of dict `src` into `out` on the team, chunk by chunk
// (see parallel_reading.hpp); returns the dict position where it ended.
//
// Walking a dict runs no Python code, for subclasses too (stl.h iterates by PyDict_Next).
// Chunks of entries are read in parallel, each walked afresh after the last poll. In a dict
// without holes (the usual dict, never shrunk) the team walks the entry table itself, each
// thread from its own position: PyDict_Next only loads memory. Otherwise the calling thread
// collects a chunk's objects first.
Py_ssize_t read_leading_entries(PyObject* src, dict_entries& out) {
  call_array<std::int32_t>& keys = out.keys;
  call_array<std::size_t>& offsets = out.offsets;
  call_array<std::int32_t>& ids = out.ids;
  Py_ssize_t position = 0;
  bool fast = !PyErr_Occurred();
  bool dense = true;
  call_array<PyObject*> values;
  std::vector<PyObject*> key_objects, value_objects;
  std::vector<Py_ssize_t> positions;
  for (std::size_t chunk = first_chunk; fast; chunk = std::min(2 * chunk, objects_per_chunk)) {
    make_room_ahead(ids, offsets.size() - 1, chunk, offsets.capacity() - 1);
    const Py_ssize_t length = PyDict_GET_SIZE(src);
    dense = dense && interpreter::dict_without_holes(src, length);
    std::size_t count = 0, read = 0;
    if (dense) {
      count = static_cast<std::size_t>(
          std::clamp<Py_ssize_t>(length - position, 0, static_cast<Py_ssize_t>(chunk)));
      const Py_ssize_t from = position;
      read = read_exact_entries(
          count,
          [&](std::size_t begin, std::size_t end, const auto& visit) {
            Py_ssize_t at = from + static_cast<Py_ssize_t>(begin);
            PyObject *key = nullptr, *value = nullptr;
            for (std::size_t k = begin; k < end; ++k) {
              // The table has no holes, so every call yields the next slot; ending early
              // would only stop the parallel prefix there.
              if (PyDict_Next(src, &at, &key, &value) == 0) key = value = nullptr;
              if (!visit(k, key, value)) return;
            }
          },
          keys, offsets, ids, values);
      position += static_cast<Py_ssize_t>(read);
    } else {
      key_objects.clear();
      value_objects.clear();
      positions.assign(1, position);
      PyObject *key = nullptr, *value = nullptr;
      while (key_objects.size() < chunk && PyDict_Next(src, &position, &key, &value)) {
        key_objects.push_back(key);
        value_objects.push_back(value);
        positions.push_back(position);
      }
      count = key_objects.size();
      read = read_exact_entries(
          count,
          [&](std::size_t begin, std::size_t end, const auto& visit) {
            for (std::size_t k = begin; k < end && visit(k, key_objects[k], value_objects[k]); ++k) {
            }
          },
          keys, offsets, ids, values);
      position = positions[read];
    }
    fast = count != 0 && read == count;
    if (fast) poll_interrupt();
  }
  return position;
}

// Reads a dict by stl.h's rule into `out`; false when a rule refuses it.
bool read_dict(PyObject* src, dict_entries& out) {
  if (!PyDict_Check(src)) return false;
  out.reserved = static_cast<std::size_t>(PyDict_Size(src));
  out.keys.reserve(out.reserved);
  out.offsets.reserve(out.reserved + 1);
  Py_ssize_t position = read_leading_entries(src, out);
  // The rest by stl.h's rule: key, then value, each entry's objects held while Python code
  // that may drop them from the dict runs.
  PyObject *key = nullptr, *value = nullptr;
  interrupt_ticker ticker{steps_per_poll};
  while (true) {
    ticker.tick();  // between entries, while none is held: a handler may change the dict
    if (PyDict_Next(src, &position, &key, &value) == 0) break;
    py::object held_key = py::reinterpret_borrow<py::object>(key);
    py::object held_value = py::reinterpret_borrow<py::object>(value);
    out.distinct_keys = out.distinct_keys && PyLong_CheckExact(key);
    std::int32_t native_key = 0;
    if (!convert_int(key, native_key) || !load_set(value, out.ids)) return false;
    out.keys.push_back(native_key);
    out.offsets.push_back(out.ids.size());
  }

  CPP_FUNCTIONS_PHASE("argument walk");
  return true;
}

}  // namespace

bool load_incidence_map(PyObject* src, incidence_map& out) {
  out = incidence_map{};
  dict_entries entries;
  if (!read_dict(src, entries)) return false;
  const call_array<std::int32_t>& keys = entries.keys;
  const call_array<std::size_t>& offsets = entries.offsets;
  const call_array<std::int32_t>& ids = entries.ids;
  const int team = team_size(keys.size() + ids.size(), serial_below_objects * 4);
  const call_array<std::uint32_t> order =
      unordered_map_order(keys.data(), keys.size(), true, entries.reserved, entries.distinct_keys,
                          team_size(keys.size(), serial_order_below), poll_interrupt);
  CPP_FUNCTIONS_PHASE("order replay");
  // Native order, by the team in blocks: keys, lengths and each block's total ids; then each
  // block's offsets and ids from where the blocks before it end.
  out.keys.resize(order.size());
  out.offsets.resize(order.size() + 1);
  out.offsets[0] = 0;
  count_then_fill(
      order.size(), objects_per_claim, team,
      [&](std::size_t begin, std::size_t end) {
        std::size_t total = 0;
        for (std::size_t k = begin; k < end; ++k) {
          out.keys[k] = keys[order[k]];
          total += out.offsets[k + 1] = offsets[order[k] + 1] - offsets[order[k]];
        }
        return total;
      },
      [&](std::size_t total) { out.ids.resize(total); },
      [&](std::size_t begin, std::size_t end, std::size_t at) {
        for (std::size_t k = begin; k < end; ++k) {
          const std::size_t from = offsets[order[k]], length = out.offsets[k + 1];
          if (length != 0) std::memcpy(out.ids.data() + at, ids.data() + from, length * sizeof(std::int32_t));
          out.offsets[k + 1] = at += length;
        }
      });
  CPP_FUNCTIONS_PHASE("reorder");
  return true;
}

bool load_scalar(PyObject* src, int& out) {
  std::int32_t value = 0;
  if (!convert_int(src, value)) return false;
  out = value;
  return true;
}

bool load_scalar(PyObject* src, double& out) { return convert_float(src, out, true); }

bool load_incidence_entries(PyObject* src, incidence_entries& out) {
  out = incidence_entries{};
  dict_entries entries;
  if (!read_dict(src, entries)) return false;
  if (!entries.distinct_keys) {
    // The native map keeps the first entry of equal keys.
    id_table seen(entries.keys.size());
    std::size_t kept = 0;
    for (std::size_t k = 0; k < entries.keys.size(); ++k) {
      if (seen.find_or_add(entries.keys[k], static_cast<std::uint32_t>(kept)) != kept) continue;
      const std::size_t begin = entries.offsets[k], end = entries.offsets[k + 1], at = entries.offsets[kept];
      if (end != begin)
        std::memmove(entries.ids.data() + at, entries.ids.data() + begin,
                     (end - begin) * sizeof(std::int32_t));
      entries.keys[kept++] = entries.keys[k];
      entries.offsets[kept] = at + end - begin;
    }
    entries.keys.resize(kept);
    entries.offsets.resize(kept + 1);
    entries.ids.resize(entries.offsets[kept]);
  }
  out.keys = std::move(entries.keys);
  out.offsets = std::move(entries.offsets);
  out.ids = std::move(entries.ids);
  out.reserved = entries.reserved;
  out.first = first_in_map_order(out.keys.data(), out.keys.size(), out.reserved, true, poll_interrupt);
  CPP_FUNCTIONS_PHASE("order replay");
  return true;
}

}  // namespace cpp_functions
