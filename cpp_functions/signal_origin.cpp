// See signal_origin.hpp.
//
// The interpreter runs a Python signal handler from inside the frame that executes when the
// signal arrives, as handler(signum, frame), where `frame` is that interrupted frame, which
// is also the handler's caller. So an exception raised by a handler during a conversion has a
// traceback that runs, call by call, from the conversion's first frame down to the
// interrupted frame and into a frame that holds its own caller among its locals. That test
// needs no list of registered handlers (which a one-shot handler has already changed, and
// which partials and static methods hide), imports nothing and runs no Python code. An
// exception stored by earlier code and raised again carries its old frames behind the new
// ones: the call chain breaks there, and it counts as the conversion's own.
#include "signal_origin.hpp"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace cpp_functions {
namespace {

py::object steal(PyObject* object) { return py::reinterpret_steal<py::object>(object); }

// Whether a local of `frame` is `caller`, or a tuple holding it (a handler taking *args).
bool holds_caller(PyFrameObject* frame, PyObject* caller) {
  const py::object locals = steal(PyFrame_GetLocals(frame));
  const py::object values = steal(locals ? PyMapping_Values(locals.ptr()) : nullptr);
  if (!values) return false;
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(values.ptr()); ++k) {
    PyObject* value = PyList_GET_ITEM(values.ptr(), k);
    if (value == caller) return true;
    if (PyTuple_Check(value))
      for (Py_ssize_t t = 0; t < PyTuple_GET_SIZE(value); ++t)
        if (PyTuple_GET_ITEM(value, t) == caller) return true;
  }
  return false;
}

}  // namespace

bool raised_by_signal_handler() {
  PyObject* raised = PyErr_GetRaisedException();
  const py::object traceback = steal(PyException_GetTraceback(raised));
  bool found = false;
  auto* entry = reinterpret_cast<PyTracebackObject*>(traceback.ptr());
  for (PyFrameObject* caller = entry != nullptr ? entry->tb_frame : nullptr; caller != nullptr && !found;) {
    entry = entry->tb_next;
    if (entry == nullptr) break;
    const py::object back = steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(entry->tb_frame)));
    if (back.ptr() != reinterpret_cast<PyObject*>(caller)) break;  // not called from there
    found = holds_caller(entry->tb_frame, back.ptr());
    caller = entry->tb_frame;
  }
  PyErr_Clear();  // a failure to look is no finding
  PyErr_SetRaisedException(raised);
  return found;
}

}  // namespace cpp_functions
