// Where a call's phases end, for the benchmark's per-phase timer (bench/bench_phases.py), and
// the jobs a call ran alone after stalls (bench/bench_load.py). The module's own build defines
// both marks as nothing; the bench's phased build of the module records the time of each phase
// mark on the calling thread and counts the jobs (bench/phase_marks.cpp).
#pragma once

#ifdef CPP_FUNCTIONS_PHASE_TIMER
namespace cpp_functions {
void phase_mark(const char* phase);
void job_alone();
void stall_seen(long ns);
}  // namespace cpp_functions
#define CPP_FUNCTIONS_STALL(ns) ::cpp_functions::stall_seen(ns)
#define CPP_FUNCTIONS_PHASE(phase) ::cpp_functions::phase_mark(phase)
#define CPP_FUNCTIONS_JOB_ALONE() ::cpp_functions::job_alone()
#else
#define CPP_FUNCTIONS_PHASE(phase) ((void)0)
#define CPP_FUNCTIONS_JOB_ALONE() ((void)0)
#define CPP_FUNCTIONS_STALL(ns) ((void)0)
#endif
