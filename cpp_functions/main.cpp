// Python bindings: the submodule tree and one registration per kernel. Arguments and results
// go through the casters of casters.hpp (scalars wrapped in cpp_functions::scalar) and
// pybind11's own; failures through its standard exception table.
#include <pybind11/pybind11.h>

#include <exception>
#include <string>

#include "algorithms/centrality.hpp"
#include "algorithms/connected.hpp"
#include "boundary/call.hpp"
#include "boundary/casters.hpp"
#include "boundary/fork_watch.hpp"
#include "boundary/interrupt.hpp"
#include "convert/line_graph.hpp"

namespace py = pybind11;

PYBIND11_MODULE(cpp_functions, m) {
  // The C++ runtime allocates a thread's exception state at its first throw; doing that now
  // means a std::bad_alloc raised later, with memory exhausted, can still be thrown.
  // (The library declares the call pure; storing its result keeps it from being dropped.)
  volatile int pending_exceptions = std::uncaught_exceptions();
  (void)pending_exceptions;
  cpp_functions::watch_forks();  // calls inside os.fork()'s hooks then start no helper threads
  py::module_ algorithms = m.def_submodule("algorithms");
  py::module_ centrality = algorithms.def_submodule("centrality");
  py::module_ connected = algorithms.def_submodule("connected");

  py::arg_v tol_default = py::arg("tol") = 1e-6;
  py::arg_v max_iter_default = py::arg("max_iter") = 100;
  // The maps are taken by value, so they are freed before the result is converted: the result
  // dicts' tables then reuse their memory instead of faulting in fresh pages.
  centrality.def(
      "compute_centralities",
      [](cpp_functions::incidence_map node_dict, cpp_functions::incidence_map edge_dict,
         cpp_functions::scalar<int> max_iter, cpp_functions::scalar<double> tol) {
        return compute_centralities(node_dict, edge_dict, max_iter, tol);
      },
      py::arg("node_dict"), py::arg("edge_dict"), max_iter_default, tol_default,
      "Computes node and edge centralities from incidence matrix");
  // The maps are freed here in slices with polls between: pybind11 would free them after the
  // call in one step (16-18 ms at 2e7 incidences).
  connected.def(
      "is_connected",
      [](cpp_functions::incidence_entries node_dict, cpp_functions::incidence_entries edge_dict) {
        const bool connected = is_connected(node_dict, edge_dict);
        free_polled(node_dict, cpp_functions::poll_interrupt);
        free_polled(edge_dict, cpp_functions::poll_interrupt);
        return connected;
      },
      py::arg("node_dict"), py::arg("edge_dict"));

  py::module_ convert = m.def_submodule("convert");
  py::module_ line_graph = convert.def_submodule("line_graph");
  line_graph.def(
      "compute_line_graph_edges",
      [](const cpp_functions::hyperedge_list& hyperedges, cpp_functions::scalar<int> s,
         const std::string& weights, cpp_functions::scalar<int> max_threads) {
        return compute_line_graph_edges(hyperedges, s, weights, max_threads);
      },
      py::arg("hyperedges"), py::arg("s"), py::arg("weights"), py::arg("max_threads"),
      "Compute line graph edges in C++");
  // Every call's life starts in the wrapper of its dispatch entry (boundary/call.hpp).
  cpp_functions::start_calls_here(centrality.attr("compute_centralities"));
  cpp_functions::start_calls_here(connected.attr("is_connected"));
  cpp_functions::start_calls_here(line_graph.attr("compute_line_graph_edges"));
  m.attr("__version__") = CPP_FUNCTIONS_VERSION;  // pyproject.toml's, passed in by the build
}
