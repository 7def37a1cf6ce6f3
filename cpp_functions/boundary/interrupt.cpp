// The module's interruption check: Python's pending signals. A handler that raises (Ctrl-C's
// KeyboardInterrupt, or any exception of the user's own) stops the call with that exception.
#include "interrupt.hpp"

#include <pybind11/pybind11.h>

#include "../runtime/parallel.hpp"
#include "interpreter.hpp"

namespace cpp_functions {

namespace {
// Jobs pause between their chunks only for polls that would run something.
[[maybe_unused]] const bool poll_check_set = (set_poll_check(interpreter::poll_would_act), true);
}  // namespace

void poll_interrupt() {
  note_poll();
  if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
}

}  // namespace cpp_functions
