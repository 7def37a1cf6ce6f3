// Whether an exception came from a Python signal handler. A handler runs inside whatever
// Python code executes when its signal arrives, an id's own __index__ included, and what it
// raises (a deadline's TimeoutError, say) must end the call there, not pass for that code's
// own error.
#pragma once

namespace cpp_functions {

// Whether the pending exception was raised by a signal handler: a frame of its traceback runs
// the code of a Python handler registered for some signal (a function, a method, or the
// __call__ of an object). Needs the interpreter lock; the exception stays pending.
bool raised_by_signal_handler();

}  // namespace cpp_functions
