// Where a call's phases end, for the benchmark's per-phase timer (bench/bench_phases.py). The
// module's own build defines CPP_FUNCTIONS_PHASE as nothing; the bench's phased build of the
// module records the time of each mark on the calling thread (bench/phase_marks.cpp).
#pragma once

#ifdef CPP_FUNCTIONS_PHASE_TIMER
namespace cpp_functions {
void phase_mark(const char* phase);
}
#define CPP_FUNCTIONS_PHASE(phase) ::cpp_functions::phase_mark(phase)
#else
#define CPP_FUNCTIONS_PHASE(phase) ((void)0)
#endif
