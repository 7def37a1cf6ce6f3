// Calls made while os.fork() runs its hooks. The interpreter counts the process's threads
// right after its after-fork hooks and warns when there is more than one; helper threads that
// a call inside such a hook starts would be counted. Such a call runs on its calling thread
// alone (the helpers stopped before the fork and stay stopped until a later call).
#pragma once

namespace cpp_functions {

// Registers, once per process, a hook that notes where os.fork() was called. Needs the
// interpreter lock; raises error_already_set when os.register_at_fork fails.
void watch_forks();

// Whether the calling thread is inside os.fork() (in one of its hooks), as noted by the
// hook: a frame that called os.fork() is still on this thread's stack at that call, and that
// call has not returned. Needs the interpreter lock.
bool inside_fork();

}  // namespace cpp_functions
