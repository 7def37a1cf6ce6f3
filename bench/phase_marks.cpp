// Bench-only: the per-phase timer's record. A phase lasts from the previous mark (or the
// reset) to its own; marks come from the calling thread only, so no lock is needed. Read
// through ctypes from bench/bench_phases.py.
#include "../cpp_functions/phase_marks.hpp"

#include <chrono>
#include <cstring>

namespace {

constexpr int max_marks = 64;
struct mark {
  const char* phase;
  double seconds;
};
mark marks[max_marks];
int mark_count = 0;
std::chrono::steady_clock::time_point last;

}  // namespace

void cpp_functions::phase_mark(const char* phase) {
  const auto now = std::chrono::steady_clock::now();
  if (mark_count < max_marks)
    marks[mark_count++] = {phase, std::chrono::duration<double>(now - last).count()};
  last = std::chrono::steady_clock::now();  // the mark's own cost stays out of the next phase
}

extern "C" {
__attribute__((visibility("default"))) void phase_reset() {
  mark_count = 0;
  last = std::chrono::steady_clock::now();
}
__attribute__((visibility("default"))) int phase_count() { return mark_count; }
__attribute__((visibility("default"))) const char* phase_name(int k) { return marks[k].phase; }
__attribute__((visibility("default"))) double phase_seconds(int k) { return marks[k].seconds; }
}
