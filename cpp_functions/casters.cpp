// Conversion of the kernels' arguments and results at the Python boundary.
//
// Arguments. pybind11's stl.h builds a hash set per hyperedge or entry and a hash map per
// dict: an allocation and a hash insert per id, which every kernel then flattened at once.
// Here the ids go straight into flat arrays. What stl.h does that a caller can observe is kept
// call for call: which objects are accepted, every Python call (a sequence's __len__ twice
// and __getitem__ per item, a set's __iter__, an element's __index__ / __int__), the stop at
// the first refused element, the errors that propagate, and the native order of dict keys
// (hash_order.hpp). Elements that are not exact ints go through pybind11's own int caster.
//
// Parallel reading. Most inputs are exact lists, tuples or dicts of exact sets of small
// exact ints. Reading such an input runs no Python code, so a team of threads reads it: the
// slots of each set's hash table and each int's digit. This is safe because the calling
// thread holds the interpreter lock for the whole call and runs only our code meanwhile, so no
// Python code can change or free those objects (the containers hold them); the workers only
// load memory, never change a reference count and never call the C API, which may raise. The
// prefix read in parallel ends before the first object that needs more (a set subclass, an
// element that is no small exact int): from there on, everything runs on the calling thread
// in the original order, with stl.h's calls, since Python code may then run and change what
// follows.
//
// Interruption. The calling thread polls for Python signals between chunks of about 2^16
// objects and in every loop that may run long. A handler that raises stops the call with its
// exception; one that returns may have run any Python code, so polls happen only where no
// borrowed pointer is held, and each chunk reads its container afresh. An interruption raised
// inside an element's own conversion (a Python __index__ or __int__ during which the handler
// ran) ends the call too, as do running out of memory and too deep a recursion there: the
// library's int caster clears those errors and retries through int(), which loses the Ctrl-C
// and, for an __index__ that calls the module again, retries exponentially often. That is
// the one place where these casters differ from stl.h's.
//
// Repeated ids. Only ids that are not exact ints can repeat within a set or among a dict's
// keys (exact ints are distinct Python values and convert injectively); those are dropped with
// a seeded hash set, in linear time whatever their values.
//
// Results. A line graph's list shares one int per distinct position (given all its references
// at once) and one float per distinct weight between its tuples, and each tuple is untracked by
// the cyclic collector once filled (the collector would untrack a tuple of ints and floats
// itself, but only after scanning it); that halves the memory of a large result and skips
// those scans. Centrality scores arrive in index order and leave in the key order of a
// std::unordered_map filled id by id, the order their dicts have always had.
#include "casters.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "hash_order.hpp"
#include "interrupt.hpp"
#include "parallel.hpp"
#include "seeded_hash.hpp"

namespace py = pybind11;

namespace cpp_functions {
namespace {

constexpr std::size_t serial_below_objects = 4096;  // smaller inputs are read on one thread
constexpr std::size_t objects_per_chunk = 1 << 16;  // read in parallel between two polls
constexpr std::size_t objects_per_claim = 1024;     // a thread's unit of parallel reading
constexpr std::uint32_t steps_per_poll = 1024;      // sequential conversions between two polls

// Lowers `target` to `value` if that is smaller: the first failing index of a parallel read.
void lower_to(std::atomic<std::size_t>& target, std::size_t value) {
  std::size_t seen = target.load(std::memory_order_relaxed);
  while (value < seen && !target.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

// ---- elements -----------------------------------------------------------------------------

// An exact int of one digit (|v| < 2^30): its value is plain memory. Pure reads, so workers
// may call this.
inline bool read_compact(PyObject* item, std::int32_t& value) {
  if (!PyLong_CheckExact(item)) return false;
  auto* number = reinterpret_cast<PyLongObject*>(item);
  if (!PyUnstable_Long_IsCompact(number)) return false;
  value = static_cast<std::int32_t>(PyUnstable_Long_CompactValue(number));
  return true;
}

// Errors that a conversion must not swallow: interruptions (KeyboardInterrupt and everything
// else outside Exception), exhausted memory and too deep a recursion.
bool must_propagate() {
  return !PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError) ||
         PyErr_ExceptionMatches(PyExc_RecursionError);
}

// The int rule for an object that is not an exact int, as pybind11's caster applies it: read
// through the integer protocol; if that raises and the object is a number, read int(object)
// once more, without further fallback. Errors are cleared and refuse the object, except those
// of must_propagate(), which end the call.
bool convert_number(PyObject* item, std::int32_t& value, bool retry) {
  if (PyFloat_Check(item)) return false;
  const long read = PyLong_AsLong(item);
  const bool raised = read == -1 && PyErr_Occurred();
  if (raised && must_propagate()) throw py::error_already_set();
  if (raised || read < INT_MIN || read > INT_MAX) {
    PyErr_Clear();
    if (!raised || !retry || PyNumber_Check(item) == 0) return false;
    py::object number = py::reinterpret_steal<py::object>(PyNumber_Long(item));
    if (!number) {
      if (must_propagate()) throw py::error_already_set();
      PyErr_Clear();
      return false;
    }
    return convert_number(number.ptr(), value, false);
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

// ---- sets ---------------------------------------------------------------------------------

inline bool is_exact_set(PyObject* object) {
  return PySet_CheckExact(object) || PyFrozenSet_CheckExact(object);
}

// The elements of an exact set, in its iteration order, when all are small exact ints; false
// at the first other element. Iteration walks the hash table in slot order and skips empty
// slots and deleted ones (marked by hash -1, which no live element has). Pure reads.
bool read_set_table(PyObject* set, std::int32_t* out) {
  const auto* table = reinterpret_cast<PySetObject*>(set);
  for (Py_ssize_t slot = 0; slot <= table->mask; ++slot) {
    const setentry& entry = table->table[slot];
    if (entry.key == nullptr || entry.hash == -1) continue;
    if (!read_compact(entry.key, *out++)) return false;
  }
  return true;
}

// Keeps the first of equal values in out[first..]: elements that convert to the same native
// value are one member, as in a native set.
void drop_repeats(std::vector<std::int32_t>& out, std::size_t first) {
  std::size_t kept = first;
  id_set seen(out.size() - first);
  for (std::size_t k = first; k < out.size(); ++k)
    if (seen.insert(out[k])) out[kept++] = out[k];
  out.resize(kept);
}

// One set by stl.h's rule, on the calling thread: its distinct values appended to `out`, or
// false (and `out` unchanged) when refused. The set's own iteration runs as stl.h runs it:
// iter(), then next() before each element is converted.
bool load_set(PyObject* src, std::vector<std::int32_t>& out) {
  if (!PyAnySet_Check(src)) return false;
  const std::size_t first = out.size();
  if (is_exact_set(src) && !PyErr_Occurred()) {
    out.resize(first + static_cast<std::size_t>(PySet_GET_SIZE(src)));
    if (read_set_table(src, out.data() + first)) return true;
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

// ---- the parallel prefix ------------------------------------------------------------------

// Reads sets[0..count) (borrowed, all alive) into offsets and ids as far as the leading run of
// exact sets of small exact ints goes; returns the length of that run. offsets gains one entry
// per set read. No Python code runs and nothing is changed but the outputs.
std::size_t read_exact_sets(PyObject* const* sets, std::size_t count, std::vector<std::size_t>& offsets,
                            std::vector<std::int32_t>& ids) {
  const int team = team_size(count, serial_below_objects);
  std::vector<std::size_t> sizes(count);
  std::atomic<std::size_t> first_other{count};
  parallel_for(count, objects_per_claim, team, [&](std::size_t begin, std::size_t end, int) {
    for (std::size_t k = begin; k < end && k < first_other.load(std::memory_order_relaxed); ++k) {
      if (!is_exact_set(sets[k])) return lower_to(first_other, k);
      sizes[k] = static_cast<std::size_t>(PySet_GET_SIZE(sets[k]));
    }
  });
  const std::size_t exact = first_other.load();
  const std::size_t base_entry = offsets.size() - 1;
  const std::size_t base = ids.size();
  offsets.reserve(offsets.size() + exact);
  for (std::size_t k = 0; k < exact; ++k) offsets.push_back(offsets.back() + sizes[k]);
  ids.resize(offsets.back());

  std::atomic<std::size_t> first_unread{exact};
  parallel_for(exact, objects_per_claim, team, [&](std::size_t begin, std::size_t end, int) {
    for (std::size_t k = begin; k < end && k < first_unread.load(std::memory_order_relaxed); ++k)
      if (!read_set_table(sets[k], ids.data() + offsets[base_entry + k])) return lower_to(first_unread, k);
  });
  const std::size_t read = first_unread.load();
  offsets.resize(base_entry + read + 1);
  ids.resize(std::max(base, offsets.back()));
  return read;
}

// stl.h reserves a vector of len(sequence) hash sets before it reads any item, and __len__ is
// the sequence's own: a huge claimed length fails there, as ValueError or MemoryError. The
// same reservation is made (and released; pages are never touched) so that it fails alike.
void reserve_as_stl(Py_ssize_t length) {
  std::vector<std::unordered_set<int>> reservation;
  reservation.reserve(static_cast<std::size_t>(length));
}

}  // namespace

// ---- arguments ----------------------------------------------------------------------------

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
    while (next < end) {
      // Afresh per chunk: a signal handler run by the last poll may have changed the list.
      const Py_ssize_t stop =
          std::min({end, PySequence_Fast_GET_SIZE(src), next + Py_ssize_t{objects_per_chunk}});
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
  return true;
}

bool load_incidence_map(PyObject* src, incidence_map& out) {
  if (!PyDict_Check(src)) return false;
  out = incidence_map{};
  const auto reserved = static_cast<std::size_t>(PyDict_Size(src));
  // Entries in dict order, repeated native keys included; ids[offsets[k]..] are entry k's.
  std::vector<std::int32_t> keys;
  std::vector<std::size_t> offsets{0};
  std::vector<std::int32_t> ids;
  keys.reserve(reserved);
  offsets.reserve(reserved + 1);

  // Walking a dict runs no Python code, for subclasses too (stl.h iterates by PyDict_Next).
  // Chunks of entries are read in parallel, each walked afresh after the last poll.
  Py_ssize_t position = 0;
  bool fast = !PyErr_Occurred();
  std::vector<PyObject*> key_objects, value_objects;
  std::vector<Py_ssize_t> positions;
  while (fast) {
    key_objects.clear();
    value_objects.clear();
    positions.assign(1, position);
    PyObject *key = nullptr, *value = nullptr;
    while (key_objects.size() < objects_per_chunk && PyDict_Next(src, &position, &key, &value)) {
      key_objects.push_back(key);
      value_objects.push_back(value);
      positions.push_back(position);
    }
    if (key_objects.empty()) break;
    // Keys first: the leading run of small exact-int keys, then their sets.
    const std::size_t count = key_objects.size();
    const std::size_t first_key = keys.size();
    keys.resize(first_key + count);
    std::atomic<std::size_t> first_other{count};
    parallel_for(count, objects_per_claim, team_size(count, serial_below_objects),
                 [&](std::size_t begin, std::size_t end, int) {
                   for (std::size_t k = begin; k < end && k < first_other.load(std::memory_order_relaxed);
                        ++k)
                     if (!read_compact(key_objects[k], keys[first_key + k])) return lower_to(first_other, k);
                 });
    const std::size_t read = read_exact_sets(value_objects.data(), first_other.load(), offsets, ids);
    keys.resize(first_key + read);
    position = positions[read];
    fast = read == key_objects.size();
    if (fast) poll_interrupt();
  }
  // The rest by stl.h's rule: key, then value, each entry's objects held while Python code
  // that may drop them from the dict runs.
  PyObject *key = nullptr, *value = nullptr;
  interrupt_ticker ticker{steps_per_poll};
  bool distinct_keys = true;  // exact-int keys are distinct values
  while (true) {
    ticker.tick();  // between entries, while none is held: a handler may change the dict
    if (PyDict_Next(src, &position, &key, &value) == 0) break;
    py::object held_key = py::reinterpret_borrow<py::object>(key);
    py::object held_value = py::reinterpret_borrow<py::object>(value);
    distinct_keys = distinct_keys && PyLong_CheckExact(key);
    std::int32_t native_key = 0;
    if (!convert_int(key, native_key) || !load_set(value, ids)) return false;
    keys.push_back(native_key);
    offsets.push_back(ids.size());
  }

  const std::vector<std::uint32_t> order =
      unordered_map_order(keys.data(), keys.size(), true, reserved, distinct_keys, poll_interrupt);
  out.keys.resize(order.size());
  out.offsets.resize(order.size() + 1);
  for (std::size_t k = 0; k < order.size(); ++k) {
    out.keys[k] = keys[order[k]];
    out.offsets[k + 1] = out.offsets[k] + (offsets[order[k] + 1] - offsets[order[k]]);
  }
  out.ids.resize(out.offsets.back());
  parallel_for(order.size(), objects_per_claim, team_size(out.ids.size(), serial_below_objects * 4),
               [&](std::size_t begin, std::size_t end, int) {
                 for (std::size_t k = begin; k < end; ++k) {
                   const std::size_t from = offsets[order[k]], length = offsets[order[k] + 1] - from;
                   if (length != 0)
                     std::memcpy(out.ids.data() + out.offsets[k], ids.data() + from,
                                 length * sizeof(std::int32_t));
                 }
               });
  return true;
}

// ---- results ------------------------------------------------------------------------------

namespace {

// Owns the new references it hands out; releases them all when the conversion ends, on every
// path. Objects that went into a tuple hold their own reference by then.
struct object_pool {
  std::vector<PyObject*> owned;
  ~object_pool() {
    for (PyObject* object : owned) Py_DECREF(object);
  }
  PyObject* keep(PyObject* object) {
    if (object != nullptr) owned.push_back(object);
    return object;
  }
};

// One float object per distinct weight (by bit pattern, so NaNs keep their bits). Small
// non-negative integral weights, all of "absolute" and "zero" ones, index a table; others go
// through an open-addressing table of bounded size, past which each weight gets its own float.
// Its probe sequences start at a seeded hash: weights follow from the input's sizes, and a
// fixed hash would let an input pile them into one run.
struct float_cache {
  static constexpr std::size_t direct_limit = 1 << 12;
  static constexpr std::size_t hashed_slots = 1 << 16;
  static constexpr std::size_t hashed_fill_limit = hashed_slots / 2;
  object_pool& pool;
  std::vector<PyObject*> direct;
  std::vector<std::uint64_t> hashed_bits;
  std::vector<PyObject*> hashed;
  std::size_t hashed_fill = 0;
  std::uint64_t seed = fresh_seed();

  explicit float_cache(object_pool& objects) : pool(objects), direct(direct_limit, nullptr) {}

  // A new reference to a float of `weight`, or null with the error set.
  PyObject* get(double weight) {
    // NaN fails the first test before any cast; -0.0 keeps a float of its own.
    if (weight >= 0.0 && weight < static_cast<double>(direct_limit) && !std::signbit(weight) &&
        weight == static_cast<double>(static_cast<std::size_t>(weight))) {
      PyObject*& slot = direct[static_cast<std::size_t>(weight)];
      if (slot == nullptr && pool.keep(slot = PyFloat_FromDouble(weight)) == nullptr) return nullptr;
      return Py_NewRef(slot);
    }
    std::uint64_t bits = 0;
    std::memcpy(&bits, &weight, sizeof bits);
    if (hashed.empty()) {
      hashed.assign(hashed_slots, nullptr);
      hashed_bits.assign(hashed_slots, 0);
    }
    std::size_t slot = static_cast<std::size_t>(mix64(bits ^ seed)) & (hashed_slots - 1);
    for (; hashed[slot] != nullptr; slot = (slot + 1) & (hashed_slots - 1))
      if (hashed_bits[slot] == bits) return Py_NewRef(hashed[slot]);
    if (hashed_fill == hashed_fill_limit) return PyFloat_FromDouble(weight);
    PyObject* made = pool.keep(PyFloat_FromDouble(weight));
    if (made == nullptr) return nullptr;
    hashed[slot] = made;
    hashed_bits[slot] = bits;
    ++hashed_fill;
    return Py_NewRef(made);
  }
};

// The int of every position the edges name, each given in advance the references that its
// tuples will take, so that filling a tuple never touches the int: on large results that
// touch was a cache miss per pair, the largest cost of the conversion. The references not
// handed out are given back on every path.
struct position_ints {
  struct entry {
    PyObject* object = nullptr;
    std::uint32_t unused = 0;  // prepaid references not yet in a tuple (< 2^31: 2(n - 1) at most)
  };
  std::vector<entry> table;

  explicit position_ints(const line_graph_edges& edges) : table(edges.offsets.size() - 1) {
    for (std::size_t i = 0; i + 1 < edges.offsets.size(); ++i)
      table[i].unused = static_cast<std::uint32_t>(edges.offsets[i + 1] - edges.offsets[i]);
    for (std::int32_t j : edges.second) ++table[static_cast<std::size_t>(j)].unused;
  }
  ~position_ints() {
    for (const entry& e : table)
      if (e.object != nullptr) {
        Py_SET_REFCNT(e.object, Py_REFCNT(e.object) - e.unused);  // a no-op on immortal ints
        Py_DECREF(e.object);
      }
  }
  // False with the error set when an int cannot be made.
  bool make() {
    for (std::size_t i = 0; i < table.size(); ++i) {
      if (table[i].unused == 0) continue;
      PyObject* made = PyLong_FromSize_t(i);
      if (made == nullptr) return false;
      Py_SET_REFCNT(made, Py_REFCNT(made) + table[i].unused);
      table[i].object = made;
    }
    return true;
  }
  // One of the prepaid references of position i.
  PyObject* take(std::size_t i) {
    --table[i].unused;
    return table[i].object;
  }
};

// A 3-tuple owning the three references, untracked: it holds an int, an int and a float, so
// it can never be part of a cycle. Throws when the tuple cannot be allocated, as pybind11
// does; the prepaid ints then keep their references, which position_ints gives back.
PyObject* edge_tuple(position_ints& ints, std::size_t first, std::size_t second, PyObject* weight) {
  PyObject* tuple = PyTuple_New(3);
  if (tuple == nullptr) {
    Py_DECREF(weight);
    py::pybind11_fail("Could not allocate tuple object!");
  }
  PyTuple_SET_ITEM(tuple, 0, ints.take(first));
  PyTuple_SET_ITEM(tuple, 1, ints.take(second));
  PyTuple_SET_ITEM(tuple, 2, weight);
  PyObject_GC_UnTrack(tuple);
  return tuple;
}

// A new dict of ids to scores, keys in the order of a std::unordered_map filled id by id (ids
// are distinct); null with the error set when an element cannot be made. Throws as pybind11
// does when the dict cannot be allocated or filled.
PyObject* scores_dict(const std::vector<std::int32_t>& ids, const std::vector<double>& scores) {
  const std::vector<std::uint32_t> order =
      unordered_map_order(ids.data(), ids.size(), false, 0, true, poll_interrupt);
  py::dict result;
  interrupt_ticker ticker{1 << 16};
  for (std::uint32_t k : order) {
    ticker.tick();
    py::object key = py::reinterpret_steal<py::object>(PyLong_FromLong(ids[k]));
    py::object value = py::reinterpret_steal<py::object>(PyFloat_FromDouble(scores[k]));
    if (!key || !value) return nullptr;
    if (PyDict_SetItem(result.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
  }
  return result.release().ptr();
}

}  // namespace

PyObject* cast_line_graph_edges(const line_graph_edges& edges) {
  constexpr std::size_t prefetch_distance = 16;  // pairs ahead: the int table is read at random
  py::list result(edges.size());
  // Untracked while it holds empty slots: a collection or gc.get_objects() run by a signal
  // handler at a poll must not see it. Tracked again once full.
  PyObject_GC_UnTrack(result.ptr());
  // Every poll also runs the collection that the new tuples keep scheduling: a few per second.
  interrupt_ticker ticker{1 << 18};
  object_pool objects;
  float_cache floats(objects);
  position_ints ints(edges);
  if (!ints.make()) return nullptr;
  std::size_t item = 0;
  for (std::size_t i = 0; i + 1 < edges.offsets.size(); ++i) {
    for (std::size_t p = edges.offsets[i]; p < edges.offsets[i + 1]; ++p) {
      ticker.tick();
      if (p + prefetch_distance < edges.second.size())
        __builtin_prefetch(&ints.table[static_cast<std::size_t>(edges.second[p + prefetch_distance])]);
      PyObject* weight = floats.get(edges.weights[p]);
      if (weight == nullptr) return nullptr;
      PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(item++),
                      edge_tuple(ints, i, static_cast<std::size_t>(edges.second[p]), weight));
    }
  }
  PyObject_GC_Track(result.ptr());
  return result.release().ptr();
}

PyObject* cast_centrality_scores(const centrality_scores& scores) {
  // As pybind11's pair caster: both items first, then the tuple.
  py::object nodes = py::reinterpret_steal<py::object>(scores_dict(scores.node_ids, scores.node_scores));
  py::object edges = py::reinterpret_steal<py::object>(scores_dict(scores.edge_ids, scores.edge_scores));
  if (!nodes || !edges) return nullptr;
  py::tuple result(2);
  PyTuple_SET_ITEM(result.ptr(), 0, nodes.release().ptr());
  PyTuple_SET_ITEM(result.ptr(), 1, edges.release().ptr());
  return result.release().ptr();
}

}  // namespace cpp_functions
