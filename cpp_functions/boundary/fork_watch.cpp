// See fork_watch.hpp. A call inside os.fork() is told from any other by the frame that called
// it: a hook registered to run before every fork notes that frame and its instruction offset.
// While the hooks run, that frame is on the forking thread's stack, waiting at its call of
// os.fork(). No hook runs when os.fork() returns (the interpreter counts threads after the
// last after-fork hook), so the note is ended by the interpreter's monitoring: for the
// fork's length the frame's code reports its next instruction, and the process its unwinding
// frames, to a tool of ours; the first report from the noted frame (os.fork() returned, or
// raised into a handler or out of the frame) ends the note and the reports. A note also counts
// only while its frame is found on the calling thread's live stack at that offset; without a
// free monitoring tool that is the whole rule, and a frame that reaches the same call again
// (or a new frame at a freed one's address) then passes for the fork's (see the README).
// Notes hold no reference to frames: a frame, its locals and its callers are freed as if the
// module were absent, and a noted pointer is only ever compared with frames of the live stack.
// A fork made inside a hook of another fork adds a note of its own. Forks made without
// os.fork() run no hooks and leave no note, which is right: no Python code of ours runs inside
// them.
#include "fork_watch.hpp"

#include <pybind11/pybind11.h>

#include <algorithm>

namespace py = pybind11;

namespace cpp_functions {
namespace {

struct fork_note {
  const PyFrameObject* frame;  // not owned: compared, never read
  int offset;
  const PyThreadState* thread;
  PyObject* code;  // owned while monitored, to stop its reports; null when not monitored
};

// Owned by the interpreter lock's holder. Forks nest only through hooks, a few deep at most;
// past the capacity the oldest note goes (its calls then merely use a team).
constexpr int max_notes = 8;
fork_note notes[max_notes];
int note_count = 0;

// The monitoring tool while a note is monitored, or -1. Tools 3 and 4 have no assigned use.
int tool = -1;
constexpr int tools[] = {4, 3};

py::object monitoring() { return py::module_::import("sys").attr("monitoring"); }
py::object event(const char* name) { return monitoring().attr("events").attr(name); }

void stop_reports(PyObject* code) {
  bool shared = false;
  for (int k = 0; k < note_count; ++k) shared |= notes[k].code == code;
  try {
    if (!shared) monitoring().attr("set_local_events")(tool, py::handle(code), 0);
    if (std::none_of(notes, notes + note_count, [](const fork_note& n) { return n.code != nullptr; })) {
      monitoring().attr("set_events")(tool, 0);
      for (const char* name : {"INSTRUCTION", "PY_UNWIND"})
        monitoring().attr("register_callback")(tool, event(name), py::none());
      monitoring().attr("free_tool_id")(tool);
      tool = -1;
    }
  } catch (py::error_already_set&) {
  }
  Py_DECREF(code);
}

void remove_note(int k) {
  PyObject* code = notes[k].code;
  for (int j = k + 1; j < note_count; ++j) notes[j - 1] = notes[j];
  --note_count;
  if (code != nullptr) stop_reports(code);
}

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
  for (int k = note_count - 1; k >= 0; --k)
    if (!live[k]) remove_note(k);
}

// Reports of the noted frame's next instruction or its unwinding: the fork is over.
PyObject* fork_over(PyObject*, PyObject* const*, Py_ssize_t) {
  const PyThreadState* thread = PyThreadState_Get();
  const PyFrameObject* frame = PyEval_GetFrame();
  for (int k = note_count - 1; k >= 0; --k)
    if (notes[k].code != nullptr && notes[k].frame == frame && notes[k].thread == thread) remove_note(k);
  Py_RETURN_NONE;
}

PyMethodDef fork_over_method{"fork_over", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(fork_over)),
                             METH_FASTCALL, nullptr};

// Asks for the reports that end `note`; on any failure the note goes unmonitored.
void monitor(fork_note& note, PyFrameObject* frame) {
  try {
    if (tool < 0) {
      for (int candidate : tools)
        if (monitoring().attr("get_tool")(candidate).is_none()) {
          monitoring().attr("use_tool_id")(candidate, "cpp_functions fork watch");
          tool = candidate;
          break;
        }
      if (tool < 0) return;
      const py::object over = py::reinterpret_steal<py::object>(PyCFunction_New(&fork_over_method, nullptr));
      if (!over) throw py::error_already_set();
      for (const char* name : {"INSTRUCTION", "PY_UNWIND"})
        monitoring().attr("register_callback")(tool, event(name), over);
      monitoring().attr("set_events")(tool, event("PY_UNWIND"));
    }
    const py::object code =
        py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    monitoring().attr("set_local_events")(tool, code, event("INSTRUCTION"));
    note.code = code.inc_ref().ptr();
  } catch (py::error_already_set&) {
  }
}

PyObject* note_fork(PyObject*, PyObject*) {
  // A hook has no frame of its own when written in C: the current frame is os.fork()'s caller.
  const PyThreadState* thread = PyThreadState_Get();
  drop_dead_notes(thread);
  PyFrameObject* frame = PyEval_GetFrame();
  if (frame == nullptr) Py_RETURN_NONE;
  if (note_count == max_notes) remove_note(0);
  notes[note_count] = {frame, PyFrame_GetLasti(frame), thread, nullptr};
  monitor(notes[note_count++], frame);
  Py_RETURN_NONE;
}

PyMethodDef note_fork_method{"note_fork", note_fork, METH_NOARGS, nullptr};

}  // namespace

void watch_forks() {
  py::object hook = py::reinterpret_steal<py::object>(PyCFunction_New(&note_fork_method, nullptr));
  if (!hook) throw py::error_already_set();
  py::module_::import("os").attr("register_at_fork")(py::arg("before") = hook);
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
