// Where a call's life starts and ends on the Python side: before its first argument is read,
// after its result is made and its arguments freed. For that life the thread is in a call of
// the helper pool (call_scope: its windows alone, its whole-call solo), and a call made inside
// os.fork()'s hooks runs alone (fork_watch.hpp). pybind11 converts arguments inside the
// dispatch entry of each binding, before any hook it offers, so that entry is wrapped here,
// once per binding, when the module is set up.
#pragma once

#include <pybind11/pybind11.h>

namespace cpp_functions {

// Wraps the dispatch entry of `function`, a function the module has just defined (each of its
// overloads), so that every call of it starts and ends here.
void start_calls_here(pybind11::handle function);

}  // namespace cpp_functions
