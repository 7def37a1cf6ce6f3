// The four calls of the OpenMP runtime the module makes. The runtime is the one callers read
// the thread-count setting from, the GNU one (libgomp.so.1), whatever compiled the module;
// declaring the calls here, with the C signatures every OpenMP runtime exports, keeps any
// compiler's own omp.h (and the runtime it implies) out of the build.
#pragma once

extern "C" {
void omp_set_num_threads(int count);
int omp_get_max_threads();
int omp_get_thread_limit();
int omp_get_num_procs();
}
