// See fork_watch.hpp. A call inside os.fork() is told from any other by the frame that called
// it: a hook registered to run before every fork notes that frame and its instruction offset.
// While the hooks run, that frame is on the forking thread's stack, waiting at its call of
// os.fork(); once os.fork() has returned or raised (a failed fork runs the after-fork hooks
// too), it has moved on or ended. So a note counts only while its frame is found on the
// calling thread's live stack at that offset, and is dropped otherwise. Notes hold no
// reference: a frame, its locals and its callers are freed as if the module were absent, and
// a noted pointer is only ever compared with frames of the live stack. A fork made inside a
// hook of another fork adds a note of its own. Forks made without os.fork() run no hooks and
// leave no note, which is right: no Python code of ours runs inside them.
#include "fork_watch.hpp"

#include <pybind11/pybind11.h>

namespace cpp_functions {
namespace {

struct fork_note {
  const PyFrameObject* frame;  // not owned: compared, never read
  int offset;
  const PyThreadState* thread;
};

// Owned by the interpreter lock's holder. Forks nest only through hooks, a few deep at most;
// past the capacity the oldest note goes (its calls then merely use a team).
constexpr int max_notes = 8;
fork_note notes[max_notes];
int note_count = 0;

// Keeps the notes of other threads and those of this thread whose frame is on its stack at
// the noted offset.
void drop_dead_notes(const PyThreadState* thread) {
  bool live[max_notes] = {};
  bool any_here = false;
  for (int k = 0; k < note_count; ++k) {
    live[k] = notes[k].thread != thread;
    any_here |= !live[k];
  }
  if (!any_here) return;
  PyFrameObject* frame = reinterpret_cast<PyFrameObject*>(Py_XNewRef(PyEval_GetFrame()));
  while (frame != nullptr) {
    for (int k = 0; k < note_count; ++k)
      if (notes[k].thread == thread && notes[k].frame == frame && PyFrame_GetLasti(frame) == notes[k].offset)
        live[k] = true;
    PyFrameObject* back = PyFrame_GetBack(frame);
    Py_DECREF(frame);
    frame = back;
  }
  // The walk makes frame objects; one it could not make ends it early, and the notes past it
  // count as ended (a call then merely uses a team).
  if (PyErr_Occurred() != nullptr) PyErr_Clear();
  int kept = 0;
  for (int k = 0; k < note_count; ++k)
    if (live[k]) notes[kept++] = notes[k];
  note_count = kept;
}

PyObject* note_fork(PyObject*, PyObject*) {
  // A hook has no frame of its own when written in C: the current frame is os.fork()'s caller.
  const PyThreadState* thread = PyThreadState_Get();
  drop_dead_notes(thread);
  PyFrameObject* frame = PyEval_GetFrame();
  if (frame == nullptr) Py_RETURN_NONE;
  if (note_count == max_notes) {
    for (int k = 1; k < max_notes; ++k) notes[k - 1] = notes[k];
    --note_count;
  }
  notes[note_count++] = {frame, PyFrame_GetLasti(frame), thread};
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
  if (note_count == 0) return false;
  const PyThreadState* thread = PyThreadState_Get();
  drop_dead_notes(thread);
  for (int k = 0; k < note_count; ++k)
    if (notes[k].thread == thread) return true;
  return false;
}

}  // namespace cpp_functions
