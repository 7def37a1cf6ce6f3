// Conversion of the kernels' results at the Python boundary: the line graph's list of
// tuples and the centralities' tuple of dicts, made straight from the flat results.
//
// The objects and failures are those of pybind11's casters (casters.hpp); nothing is
// returned half made, and nothing the conversion made stays referenced after a failure.
// Shared ints and floats, untracked tuples and presized dicts halve the memory of a large
// result and skip the collector's scans; each mechanism says what it saves.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "../runtime/parallel.hpp"
#include "../runtime/phase_marks.hpp"
#include "../runtime/seeded_hash.hpp"
#include "casters.hpp"
#include "hash_order.hpp"
#include "interpreter.hpp"
#include "interrupt.hpp"

namespace py = pybind11;

namespace cpp_functions {

namespace {

constexpr std::size_t serial_orders_below = 1 << 14;  // ids of both dicts: one thread orders both below

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
// tuples will take, so that filling a tuple never touches the int: on large results such a
// touch is a cache miss per pair, which would be the largest cost of the conversion. The
// references not handed out are given back on every path.
struct position_ints {
  struct entry {
    PyObject* object;
    std::uint32_t unused;  // prepaid references not yet in a tuple (< 2^31: 2(n - 1) at most)
  };
  call_array<entry> table;  // written in full, with polls, by the constructor

  static constexpr std::uint32_t steps_per_poll = 1 << 16;

  explicit position_ints(const line_graph_edges& edges) : table(edges.offsets.size() - 1) {
    interrupt_ticker ticker{steps_per_poll};
    for (std::size_t i = 0; i + 1 < edges.offsets.size(); ++i) {
      ticker.tick();
      table[i] = {nullptr, static_cast<std::uint32_t>(edges.offsets[i + 1] - edges.offsets[i])};
    }
    for (std::int32_t j : edges.second) {
      ticker.tick();
      ++table[static_cast<std::size_t>(j)].unused;
    }
  }
  ~position_ints() {
    give_back([] {});
  }
  // Gives back the table's own references and those not handed out; `poll` runs between steps.
  template <typename Poll>
  void give_back(const Poll& poll) {
    std::uint32_t steps = 0;
    for (entry& e : table) {
      if (++steps % steps_per_poll == 0) poll();
      if (e.object == nullptr) continue;
      Py_SET_REFCNT(e.object, Py_REFCNT(e.object) - e.unused);  // a no-op on immortal ints
      Py_DECREF(std::exchange(e.object, nullptr));
    }
    call_array<entry>().swap(table);  // nothing left: the destructor need not walk it again
  }
  // False with the error set when an int cannot be made.
  bool make() {
    interrupt_ticker ticker{steps_per_poll};
    for (std::size_t i = 0; i < table.size(); ++i) {
      ticker.tick();
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

// A new dict of ids to scores, keys in `order`; null with the error set when an element cannot
// be made. Throws as pybind11 does when the dict cannot be allocated or filled.
PyObject* scores_dict(const call_array<std::int32_t>& ids, const call_array<double>& scores,
                      const call_array<std::uint32_t>& order) {
  if (order.empty()) return PyDict_New();
  py::object result;  // made with the first entry, sized for all
  interrupt_ticker ticker{1 << 14};
  // Entries with the bits of the entry before share its float: every score is equal before
  // the first round, and equal scores often come in runs.
  py::object value;
  std::uint64_t value_bits = 0;
  constexpr std::size_t ahead = 24;
  const bool prefetch = interpreter::dict_index::layout_known();
  for (std::size_t at = 0; at < order.size(); ++at) {
    const std::uint32_t k = order[at];
    ticker.tick();
    // ids and scores are read in a permuted order: fetched twice as far ahead.
    if (at + 2 * ahead < order.size()) {
      __builtin_prefetch(&ids[order[at + 2 * ahead]]);
      __builtin_prefetch(&scores[order[at + 2 * ahead]]);
    }
    if (prefetch && at > 0 && at + ahead < order.size())
      interpreter::dict_index::prefetch(result.ptr(), ids[order[at + ahead]]);
    py::object key = py::reinterpret_steal<py::object>(PyLong_FromLong(ids[k]));
    std::uint64_t bits = 0;
    std::memcpy(&bits, &scores[k], sizeof bits);
    if (!value || bits != value_bits) {
      value = py::reinterpret_steal<py::object>(PyFloat_FromDouble(scores[k]));
      value_bits = bits;
    }
    if (!key || !value) return nullptr;
    if (at == 0)
      result = py::reinterpret_steal<py::object>(
          interpreter::dict_with_room(static_cast<Py_ssize_t>(order.size()), key.ptr(), value.ptr()));
    if (!result || (at > 0 && PyDict_SetItem(result.ptr(), key.ptr(), value.ptr()) != 0))
      throw py::error_already_set();
  }
  CPP_FUNCTIONS_PHASE("result objects");
  return result.release().ptr();
}

}  // namespace

PyObject* cast_line_graph_edges(line_graph_edges& edges) {
  constexpr std::size_t prefetch_distance = 16;  // pairs ahead: the int table is read at random
  py::list result(edges.size());
  if (edges.size() == 0) return result.release().ptr();  // no table of position ints to fill
  // Untracked while it holds empty slots: a collection or gc.get_objects() run by a signal
  // handler at a poll must not see it. Tracked again once full.
  PyObject_GC_UnTrack(result.ptr());
  // Every poll also runs the collection that the new tuples keep scheduling: a few per second.
  interrupt_ticker ticker{1 << 15};
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
  ints.give_back(poll_interrupt);
  free_polled(edges.second, poll_interrupt);
  free_polled(edges.weights, poll_interrupt);
  free_polled(edges.offsets, poll_interrupt);
  PyObject_GC_Track(result.ptr());
  CPP_FUNCTIONS_PHASE("result objects");
  return result.release().ptr();
}

PyObject* cast_centrality_scores(const centrality_scores& scores) {
  // The key orders of maps filled id by id. Both at once, one a thread where there is a team,
  // in steps of a few milliseconds with polls between them.
  constexpr std::size_t steps_per_job = 1 << 17;
  const call_array<std::int32_t>* ids[2] = {&scores.node_ids, &scores.edge_ids};
  const std::size_t count = scores.node_ids.size() + scores.edge_ids.size();
  map_order maps[2] = {{ids[0]->data(), ids[0]->size(), false, 0, true, poll_interrupt},
                       {ids[1]->data(), ids[1]->size(), false, 0, true, poll_interrupt}};
  for (bool done = false; !done; poll_interrupt()) {
    bool walked[2] = {true, true};
    parallel_chunks(2, team_size(count, serial_orders_below), [&](std::size_t k, int) {
      if (maps[k].walk) walked[k] = maps[k].walk->advance(steps_per_job);
    });
    done = walked[0] && walked[1];
  }
  call_array<std::uint32_t> orders[2];
  for (int k = 0; k < 2; ++k)
    orders[k] = maps[k].finish(team_size(ids[k]->size(), serial_orders_below), poll_interrupt);
  CPP_FUNCTIONS_PHASE("result order replay");
  // As pybind11's pair caster: both items first, then the tuple.
  py::object dicts[2];
  for (int k = 0; k < 2; ++k) {
    dicts[k] = py::reinterpret_steal<py::object>(
        k == 0 ? scores_dict(scores.node_ids, scores.node_scores, orders[0])
               : scores_dict(scores.edge_ids, scores.edge_scores, orders[1]));
    if (!dicts[k]) return nullptr;
  }
  py::object &nodes = dicts[0], &edges = dicts[1];
  py::tuple result(2);
  PyTuple_SET_ITEM(result.ptr(), 0, nodes.release().ptr());
  PyTuple_SET_ITEM(result.ptr(), 1, edges.release().ptr());
  return result.release().ptr();
}

}  // namespace cpp_functions
