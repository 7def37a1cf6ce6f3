// Bench-only extension: one plain pass of C-API code over a call's Python input, reading
// every id once and building nothing. It is the floor a conversion is measured against.
#include <Python.h>

namespace {

// Sum of the ids of one set (or -1 with an error set): iter, next, read.
bool walk_set(PyObject* set, long& sum) {
  PyObject* iterator = PyObject_GetIter(set);
  if (iterator == nullptr) return false;
  while (PyObject* item = PyIter_Next(iterator)) {
    sum += PyLong_AsLong(item);
    Py_DECREF(item);
  }
  Py_DECREF(iterator);
  return !PyErr_Occurred();
}

PyObject* walk_hyperedges(PyObject*, PyObject* list) {
  long sum = 0;
  const Py_ssize_t n = PySequence_Size(list);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* set = PySequence_GetItem(list, i);
    if (set == nullptr) return nullptr;
    const bool ok = walk_set(set, sum);
    Py_DECREF(set);
    if (!ok) return nullptr;
  }
  return PyLong_FromLong(sum);
}

PyObject* walk_maps(PyObject*, PyObject* args) {
  long sum = 0;
  for (Py_ssize_t a = 0; a < PyTuple_GET_SIZE(args); ++a) {
    PyObject* map = PyTuple_GET_ITEM(args, a);
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(map, &position, &key, &value)) {
      sum += PyLong_AsLong(key);
      if (!walk_set(value, sum)) return nullptr;
    }
  }
  return PyLong_FromLong(sum);
}

PyMethodDef methods[] = {
    {"walk_hyperedges", walk_hyperedges, METH_O, "Reads every id of a list of sets once."},
    {"walk_maps", walk_maps, METH_VARARGS, "Reads every key and id of dicts of sets once."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "walk_floor", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit_walk_floor() { return PyModule_Create(&module); }
