// See fork_watch.hpp. A call inside os.fork() is told from any other by the frame that called
// it: a hook registered to run before every fork notes that frame and its instruction offset.
// While the hooks run, that frame still waits at its call of os.fork(); once os.fork() has
// returned, it has moved on (or ended), and the note is dropped at the next call. Forks made
// without os.fork() (by other extensions) run no hooks and leave no note, which is right:
// no Python code of ours runs inside them.
#include "fork_watch.hpp"

#include <pybind11/pybind11.h>

namespace cpp_functions {
namespace {

// The note, owned by the interpreter lock's holder: the frame, a strong reference, and the
// offset of its call of os.fork(); the thread that forked.
PyFrameObject* fork_frame = nullptr;
int fork_offset = -1;
PyThreadState* fork_thread = nullptr;

PyObject* note_fork(PyObject*, PyObject*) {
  // A hook has no frame of its own when written in C: the current frame is os.fork()'s caller.
  PyFrameObject* frame = PyEval_GetFrame();
  Py_XSETREF(fork_frame, reinterpret_cast<PyFrameObject*>(Py_XNewRef(frame)));
  fork_offset = frame != nullptr ? PyFrame_GetLasti(frame) : -1;
  fork_thread = PyThreadState_Get();
  Py_RETURN_NONE;
}

PyMethodDef note_fork_method{"note_fork", note_fork, METH_NOARGS, nullptr};

}  // namespace

void watch_forks() {
  pybind11::object hook =
      pybind11::reinterpret_steal<pybind11::object>(PyCFunction_New(&note_fork_method, nullptr));
  if (!hook) throw pybind11::error_already_set();
  pybind11::module_::import("os").attr("register_at_fork")(pybind11::arg("before") = hook);
}

bool inside_fork() {
  if (fork_frame == nullptr) return false;
  if (PyThreadState_Get() == fork_thread && PyFrame_GetLasti(fork_frame) == fork_offset) return true;
  Py_CLEAR(fork_frame);
  return false;
}

}  // namespace cpp_functions
