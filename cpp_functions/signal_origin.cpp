// See signal_origin.hpp.
#include "signal_origin.hpp"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <vector>

namespace py = pybind11;

namespace cpp_functions {
namespace {

// The code a Python signal handler runs: a function's, a bound method's function's, or the
// __call__ of its type when written in Python. Null, with no error set, for anything else.
PyObject* handler_code(PyObject* handler) {
  if (PyMethod_Check(handler)) handler = PyMethod_GET_FUNCTION(handler);
  if (PyFunction_Check(handler)) return Py_NewRef(PyFunction_GET_CODE(handler));
  if (!PyCallable_Check(handler) || PyLong_Check(handler)) return nullptr;  // SIG_DFL, SIG_IGN
  PyObject* call = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(handler)), "__call__");
  PyObject* code = call != nullptr && PyFunction_Check(call) ? Py_NewRef(PyFunction_GET_CODE(call)) : nullptr;
  Py_XDECREF(call);
  PyErr_Clear();
  return code;
}

}  // namespace

// Handlers run inside the Python code executing when a signal arrives, so their frames sit in
// the traceback of what they raise; code raising by itself never runs a handler's code (unless
// it calls one). Only exceptions that leave an element's conversion are looked at, so the
// handlers are read afresh each time rather than kept.
bool raised_by_signal_handler() {
  const auto steal = [](PyObject* object) { return py::reinterpret_steal<py::object>(object); };
  PyObject* raised = PyErr_GetRaisedException();
  const py::object traceback = steal(PyException_GetTraceback(raised));
  const py::object module = steal(traceback ? PyImport_ImportModule("_signal") : nullptr);
  const py::object signals =
      steal(module ? PyObject_CallMethod(module.ptr(), "valid_signals", nullptr) : nullptr);
  const py::object numbers = steal(signals ? PyObject_GetIter(signals.ptr()) : nullptr);
  std::vector<py::object> codes;
  while (py::object number = steal(numbers ? PyIter_Next(numbers.ptr()) : nullptr)) {
    const py::object handler = steal(PyObject_CallMethod(module.ptr(), "getsignal", "O", number.ptr()));
    if (py::object code = steal(handler ? handler_code(handler.ptr()) : nullptr)) codes.push_back(code);
  }
  bool found = false;
  for (auto* entry = reinterpret_cast<PyTracebackObject*>(traceback.ptr()); entry != nullptr && !found;
       entry = entry->tb_next) {
    const py::object code = steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(entry->tb_frame)));
    found = std::any_of(codes.begin(), codes.end(), [&](const py::object& c) { return c.is(code); });
  }
  PyErr_Clear();  // a failure to look is no finding
  PyErr_SetRaisedException(raised);
  return found;
}

}  // namespace cpp_functions
