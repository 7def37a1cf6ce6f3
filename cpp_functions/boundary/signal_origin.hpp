// Whether an exception came from a Python signal handler. A handler runs inside whatever
// Python code executes when its signal arrives, an id's own __index__ included, and what it
// raises (a deadline's TimeoutError, say) must end the call there, not pass for that code's
// own error.
#pragma once

namespace cpp_functions {

// Whether the pending exception was raised by a Python signal handler (a function, a method,
// a partial or static method of one, an object's Python __call__) that ran inside the Python
// code the exception left: its traceback calls, frame by frame from its first, into a frame
// whose positional arguments hold a signal number followed by that frame's caller, as the
// interpreter passes (signum, frame). Needs the interpreter lock; the exception stays pending.
bool raised_by_signal_handler();

}  // namespace cpp_functions
