// Bench-only: the per-phase timer's record. A phase lasts from the previous mark (or the
// reset) to its own; marks come from the calling thread only, so no lock is needed. Each mark
// also counts the process's minor page faults in its phase (those of every thread). Read
// through ctypes from bench/bench_phases.py.
#include "../cpp_functions/runtime/phase_marks.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

namespace {

constexpr int max_marks = 64;
struct mark {
  const char* phase;
  double seconds;
  long faults;
};
mark marks[max_marks];
int mark_count = 0;
std::chrono::steady_clock::time_point last;
long last_faults = 0;
std::atomic<long> alone{0};

long minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

}  // namespace

void cpp_functions::phase_mark(const char* phase) {
  const auto now = std::chrono::steady_clock::now();
  const long faults = minor_faults();
  if (mark_count < max_marks)
    marks[mark_count++] = {phase, std::chrono::duration<double>(now - last).count(), faults - last_faults};
  last_faults = minor_faults();
  last = std::chrono::steady_clock::now();  // the mark's own cost stays out of the next phase
}

long stall_ns[1 << 16];
double stall_at[1 << 16];
std::atomic<int> stall_count{0};
void cpp_functions::stall_seen(long ns) {
  if (ns <= 100000) return;
  const int k = stall_count.fetch_add(1);
  if (k < (1 << 16)) {
    stall_ns[k] = ns;
    stall_at[k] = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  }
}
extern "C" __attribute__((visibility("default"))) int stalls(long* ns, double* at, int max) {
  const int n = std::min(stall_count.exchange(0), max);
  for (int k = 0; k < n; ++k) ns[k] = stall_ns[k], at[k] = stall_at[k];
  return n;
}

void cpp_functions::job_alone() { alone.fetch_add(1, std::memory_order_relaxed); }

extern "C" {
// Jobs run alone after stalls since the process started, by any thread.
__attribute__((visibility("default"))) long jobs_alone() { return alone.load(); }
__attribute__((visibility("default"))) void phase_reset() {
  mark_count = 0;
  last_faults = minor_faults();
  last = std::chrono::steady_clock::now();
}
__attribute__((visibility("default"))) int phase_count() { return mark_count; }
__attribute__((visibility("default"))) const char* phase_name(int k) { return marks[k].phase; }
__attribute__((visibility("default"))) double phase_seconds(int k) { return marks[k].seconds; }
__attribute__((visibility("default"))) long phase_faults(int k) { return marks[k].faults; }
}
