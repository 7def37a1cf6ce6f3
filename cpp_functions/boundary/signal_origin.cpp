// See signal_origin.hpp.
//
// The interpreter runs a Python signal handler from inside the frame that executes when the
// signal arrives, as handler(signum, frame), where `frame` is that interrupted frame, which
// is also the handler's caller. So an exception raised by a handler during a conversion has a
// traceback that runs, call by call, from the conversion's first frame down to the
// interrupted frame and into a frame whose positional arguments hold a signal number and,
// right after it, that caller: the handler's own (a partial's or a bound method's arguments
// come before the pair). Frames that merely hold their caller (a trace or profile function,
// traceback.print_stack, a helper given sys._getframe()) hold no signal number before it.
// The test needs no list of registered handlers (which a one-shot handler has already
// changed, and which partials and static methods hide), imports nothing and runs no Python
// code: arguments are read from the frame's own slots, never through its locals mapping. An
// exception stored by earlier code and raised again carries its old frames behind the new
// ones: the call chain breaks there, and it counts as the conversion's own.
#include "signal_origin.hpp"

#include <pybind11/pybind11.h>

#include <csignal>

namespace py = pybind11;

namespace cpp_functions {
namespace {

py::object steal(PyObject* object) { return py::reinterpret_steal<py::object>(object); }

bool is_signal_number(PyObject* value) {
  if (!PyLong_CheckExact(value)) return false;
  int overflow = 0;
  const long number = PyLong_AsLongAndOverflow(value, &overflow);
  return overflow == 0 && number > 0 && number < NSIG;
}

// Whether `frame`'s positional arguments, then those packed in its *args, hold a signal number
// immediately followed by `caller`.
bool called_as_handler(PyFrameObject* frame, PyObject* caller) {
  const py::object code = steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
  const auto* co = reinterpret_cast<const PyCodeObject*>(code.ptr());
  const int positional = co->co_argcount;
  const bool packed = (co->co_flags & CO_VARARGS) != 0;
  if (positional + packed < 1) return false;
  const py::object names = steal(PyCode_GetVarnames(const_cast<PyCodeObject*>(co)));
  if (!names) return false;
  bool after_signal = false;
  auto next = [&](PyObject* value) {
    const bool found = after_signal && value == caller;
    after_signal = is_signal_number(value);
    return found;
  };
  for (int k = 0; k < positional; ++k) {
    const py::object value = steal(PyFrame_GetVar(frame, PyTuple_GET_ITEM(names.ptr(), k)));
    if (!value) return false;  // not bound yet, or deleted: not as the interpreter called it
    if (next(value.ptr())) return true;
  }
  if (!packed) return false;
  const py::object rest =
      steal(PyFrame_GetVar(frame, PyTuple_GET_ITEM(names.ptr(), positional + co->co_kwonlyargcount)));
  if (!rest || !PyTuple_Check(rest.ptr())) return false;
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(rest.ptr()); ++k)
    if (next(PyTuple_GET_ITEM(rest.ptr(), k))) return true;
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
    found = called_as_handler(entry->tb_frame, back.ptr());
    caller = entry->tb_frame;
  }
  PyErr_Clear();  // a failure to look is no finding
  PyErr_SetRaisedException(raised);
  return found;
}

}  // namespace cpp_functions
