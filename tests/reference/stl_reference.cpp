// Test-only extension: the three signatures bound through pybind11's stl.h, returning what
// stl.h converted. The module's casters must accept, refuse, call back and order exactly as
// this does. Built by the test suite; never installed.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace py = pybind11;

using hyperedge_list = std::vector<std::unordered_set<int>>;
using incidence_map = std::unordered_map<int, std::unordered_set<int>>;

// A converted value handed back under the result type name of the real function, so that
// signatures and error messages read the same.
template <int kind>
struct converted {
  py::object value;
};

namespace pybind11::detail {
template <>
struct type_caster<converted<0>> {
  static constexpr auto name = const_name("list[tuple[int, int, float]]");
  static handle cast(const converted<0>& c, return_value_policy, handle) { return c.value.inc_ref(); }
};
template <>
struct type_caster<converted<1>> {
  static constexpr auto name = const_name("tuple[dict[int, float], dict[int, float]]");
  static handle cast(const converted<1>& c, return_value_policy, handle) { return c.value.inc_ref(); }
};
template <>
struct type_caster<converted<2>> {
  static constexpr auto name = const_name("bool");
  static handle cast(const converted<2>& c, return_value_policy, handle) { return c.value.inc_ref(); }
};
}  // namespace pybind11::detail

namespace {

py::list members(const std::unordered_set<int>& set) {
  py::list out;
  for (int v : set) out.append(v);
  return out;
}

// [(key, [ids])] in the map's iteration order.
py::list entries(const incidence_map& map) {
  py::list out;
  for (const auto& [key, set] : map) out.append(py::make_tuple(key, members(set)));
  return out;
}

// Key order of a map filled key by key in the converted map's order: the result dict order.
py::list filled_order(const incidence_map& map) {
  std::unordered_map<int, double> filled;
  for (const auto& entry : map) filled[entry.first] = 0.0;
  py::list out;
  for (const auto& entry : filled) out.append(entry.first);
  return out;
}

converted<0> compute_line_graph_edges(const hyperedge_list& hyperedges, int s, const std::string& weights,
                                      int max_threads) {
  py::list sets;
  for (const auto& set : hyperedges) sets.append(members(set));
  return {py::make_tuple(sets, s, py::bytes(weights), max_threads)};
}

converted<1> compute_centralities(const incidence_map& nodes, const incidence_map& edges, int max_iter,
                                  double tol) {
  return {py::make_tuple(entries(nodes), entries(edges), max_iter, tol, filled_order(nodes),
                         filled_order(edges))};
}

converted<2> is_connected(const incidence_map& nodes, const incidence_map& edges) {
  return {py::make_tuple(entries(nodes), entries(edges))};
}

}  // namespace

PYBIND11_MODULE(stl_reference, m) {
  py::arg_v tol_default = py::arg("tol") = 1e-6;
  py::arg_v max_iter_default = py::arg("max_iter") = 100;
  m.def("compute_centralities", &compute_centralities, py::arg("node_dict"), py::arg("edge_dict"),
        max_iter_default, tol_default, "Computes node and edge centralities from incidence matrix");
  m.def("is_connected", &is_connected, py::arg("node_dict"), py::arg("edge_dict"));
  m.def("compute_line_graph_edges", &compute_line_graph_edges, py::arg("hyperedges"), py::arg("s"),
        py::arg("weights"), py::arg("max_threads"), "Compute line graph edges in C++");
}
