// See call.hpp. The wrapped entries are pybind11 2.13's function records (a capsule behind
// each function object); the original entry of each is kept here, as the record has no free
// field for it.
#include "call.hpp"

#include <stdexcept>

#include "../runtime/parallel.hpp"
#include "fork_watch.hpp"

namespace py = pybind11;

namespace cpp_functions {
namespace {

using dispatch = py::handle (*)(py::detail::function_call&);

struct wrapped_entry {
  const py::detail::function_record* record;
  dispatch original;
};

constexpr int max_entries = 8;  // one per binding and overload: the module has three
wrapped_entry entries[max_entries];
int entry_count = 0;

py::handle one_call(py::detail::function_call& call) {
  const call_scope scope;
  if (inside_fork()) run_call_alone();
  for (int k = 0; k < entry_count; ++k)
    if (entries[k].record == &call.func) return entries[k].original(call);
  return PYBIND11_TRY_NEXT_OVERLOAD;  // never: every wrapped record is listed
}

}  // namespace

void start_calls_here(py::handle function) {
  const py::handle self = PyCFunction_GET_SELF(function.ptr());
  if (!self || !py::isinstance<py::capsule>(self) ||
      !py::detail::is_function_record_capsule(py::reinterpret_borrow<py::capsule>(self)))
    throw std::logic_error("not a function defined by the module");
  for (auto* record = py::reinterpret_borrow<py::capsule>(self).get_pointer<py::detail::function_record>();
       record != nullptr; record = record->next) {
    if (entry_count == max_entries) throw std::logic_error("more bindings than call entries");
    entries[entry_count++] = {record, record->impl};
    record->impl = one_call;
  }
}

}  // namespace cpp_functions
