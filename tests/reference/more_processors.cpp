// Test shim, preloaded: the calling thread's affinity reports the first
// CPP_FUNCTIONS_TEST_PROCESSORS processors (when set) besides its own, so the OpenMP runtime
// counts that many and teams wider than this machine run, time-sliced, on its cores.
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>

#include <cstdlib>

namespace {

void widen(std::size_t size, cpu_set_t* set) {
  const char* wanted = std::getenv("CPP_FUNCTIONS_TEST_PROCESSORS");
  const long count = wanted != nullptr ? std::strtol(wanted, nullptr, 10) : 0;
  for (long cpu = 0; cpu < count && static_cast<std::size_t>(cpu) < 8 * size; ++cpu)
    CPU_SET_S(static_cast<std::size_t>(cpu), size, set);
}

}  // namespace

extern "C" int pthread_getaffinity_np(pthread_t thread, std::size_t size, cpu_set_t* set) {
  using real_call = int (*)(pthread_t, std::size_t, cpu_set_t*);
  static const auto real = reinterpret_cast<real_call>(dlsym(RTLD_NEXT, "pthread_getaffinity_np"));
  const int result = real(thread, size, set);
  if (result == 0) widen(size, set);
  return result;
}

extern "C" int sched_getaffinity(pid_t pid, std::size_t size, cpu_set_t* set) {
  using real_call = int (*)(pid_t, std::size_t, cpu_set_t*);
  static const auto real = reinterpret_cast<real_call>(dlsym(RTLD_NEXT, "sched_getaffinity"));
  const int result = real(pid, size, set);
  if (result == 0) widen(size, set);
  return result;
}
