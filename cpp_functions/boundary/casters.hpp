// pybind11 casters for the kernels' flat inputs and results. They accept and refuse what
// pybind11's stl.h casters accept and refuse for list[set[int]] and dict[int, set[int]],
// make the same Python calls in the same order, and give the kernels the same values in the
// same native order; they render the same type names, so signatures, docstrings and error
// messages stay pybind11's own. The results become Python objects directly.
#pragma once

#include <pybind11/pybind11.h>

#include <type_traits>

#include "../runtime/flat_types.hpp"

namespace cpp_functions {

// Fill `out` from `src` as stl.h's casters would fill the hash containers; false when a rule
// refuses `src`. An error raised by a container itself propagates as error_already_set.
bool load_hyperedge_list(PyObject* src, hyperedge_list& out);
bool load_incidence_map(PyObject* src, incidence_map& out);
bool load_incidence_entries(PyObject* src, incidence_entries& out);

// A scalar argument (an int or a float), converted as pybind11 converts one, except that an
// interruption raised inside its own __index__, __int__ or __float__ ends the call, as it does
// inside an id's.
template <typename T>
struct scalar {
  T value;
  operator T() const { return value; }
};
bool load_scalar(PyObject* src, int& out);
bool load_scalar(PyObject* src, double& out);

// New references, or null with a Python error set when an element cannot be made; throw
// std::runtime_error when a container cannot be allocated. Score dicts list their ids in the
// order of a std::unordered_map filled id by id.
PyObject* cast_line_graph_edges(line_graph_edges& edges);  // frees the arrays once they are read
PyObject* cast_centrality_scores(const centrality_scores& scores);

}  // namespace cpp_functions

namespace pybind11::detail {

// An argument that the kernel takes by const reference, freed with the caster after the
// result is converted. A binding that takes the argument by value moves it out, and frees it
// before the result is converted.
template <typename Flat, bool (*load_flat)(PyObject*, Flat&)>
struct flat_argument_caster {
  Flat value;

  bool load(handle src, bool /*convert: every element is converted as in converting mode*/) {
    return load_flat(src.ptr(), value);
  }
  template <typename T>
  using cast_op_type = movable_cast_op_type<T>;
  operator Flat&() { return value; }
  operator Flat&&() { return std::move(value); }
};

template <>
struct type_caster<cpp_functions::hyperedge_list>
    : flat_argument_caster<cpp_functions::hyperedge_list, cpp_functions::load_hyperedge_list> {
  static constexpr auto name = const_name("list[set[int]]");
};

template <>
struct type_caster<cpp_functions::incidence_map>
    : flat_argument_caster<cpp_functions::incidence_map, cpp_functions::load_incidence_map> {
  static constexpr auto name = const_name("dict[int, set[int]]");
};

template <>
struct type_caster<cpp_functions::incidence_entries>
    : flat_argument_caster<cpp_functions::incidence_entries, cpp_functions::load_incidence_entries> {
  static constexpr auto name = const_name("dict[int, set[int]]");
};

template <typename T>
struct type_caster<cpp_functions::scalar<T>> {
  static constexpr auto name = const_name<std::is_integral<T>::value>("int", "float");
  cpp_functions::scalar<T> value{};

  bool load(handle src, bool /*convert: every parameter may convert*/) {
    return cpp_functions::load_scalar(src.ptr(), value.value);
  }
  template <typename U>
  using cast_op_type = cpp_functions::scalar<T>;
  operator cpp_functions::scalar<T>() const { return value; }
};

template <>
struct type_caster<cpp_functions::line_graph_edges> {
  static constexpr auto name = const_name("list[tuple[int, int, float]]");
  static handle cast(cpp_functions::line_graph_edges&& edges, return_value_policy, handle) {
    return cpp_functions::cast_line_graph_edges(edges);
  }
};

template <>
struct type_caster<cpp_functions::centrality_scores> {
  static constexpr auto name = const_name("tuple[dict[int, float], dict[int, float]]");
  static handle cast(const cpp_functions::centrality_scores& scores, return_value_policy, handle) {
    return cpp_functions::cast_centrality_scores(scores);
  }
};

}  // namespace pybind11::detail
