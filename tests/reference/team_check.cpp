// Test helper: how a call's team answers helpers that keep it waiting. A helper "loses its
// core" by sleeping inside a chunk it claimed; the caller's chunks spin. Built with
// CPP_FUNCTIONS_TEST_KNOBS, the pool takes any time a helper spent off its core for a
// preemption, so a sleep stands for one; built without, a sleep is what it is (the helper
// waited for something) and must not send the call alone. Jobs reuse a team sized once at the
// start, as the search levels, the incidence build and the argument reading do. Modes
// (argv[1]):
//   persistent: helper chunks sleep 3 ms for 640 ms of jobs; prints the jobs and how many the
//               call ran alone (team_size says 1 before them);
//   burst:      helper chunks sleep until the call goes alone, then spin; prints the jobs it
//               took, the milliseconds until helpers ran chunks again, and the share of jobs
//               with helper chunks over the next 200 ms;
//   once:       one helper chunk sleeps 5 ms, once; prints the share of the next 200 jobs
//               with helper chunks.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "cpp_functions/boundary/interrupt.hpp"
#include "cpp_functions/runtime/parallel.hpp"

namespace {

using namespace cpp_functions;
using clock_type = std::chrono::steady_clock;
using std::chrono::microseconds;

void spin(microseconds length) {
  const auto until = clock_type::now() + length;
  while (clock_type::now() < until) {
  }
}

// Runs a job of `chunks` chunks; the caller's spin `work`, the helpers' sleep `stall` (none:
// spin `work` too). Returns the chunks helpers ran. With `meet`, the caller's first chunk
// also waits (up to 5 ms, sleeping, so that a helper sharing its core can run) for a helper to
// claim one: on a loaded machine a helper that wakes late would otherwise find the job done,
// so that neither the stall under test nor the team's return would show.
int job(int team, std::size_t chunks, microseconds stall, microseconds work, bool meet = false) {
  std::atomic<int> helper_chunks{0};
  parallel_chunks(chunks, team, [&](std::size_t chunk, int participant) {
    if (participant == 0) {
      const auto until = clock_type::now() + microseconds(5000);
      while (meet && chunk == 0 && helper_chunks.load() == 0 && clock_type::now() < until)
        std::this_thread::sleep_for(microseconds(20));
      return spin(work);
    }
    helper_chunks.fetch_add(1);
    if (stall.count() > 0)
      std::this_thread::sleep_for(stall);
    else
      spin(work);
  });
  return helper_chunks.load();
}

double ms_since(clock_type::time_point start) {
  return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

}  // namespace

// No interpreter here: a poll only says it happened, so jobs pause no more than in the module.
void cpp_functions::poll_interrupt() { note_poll(); }

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "persistent";
  set_thread_setting(64);
  const call_scope call;
  const int team = team_size(1 << 20, 0);
  std::printf("team %d\n", team);
  const microseconds none{0}, stall{3000}, work{50}, short_work{20};
  if (std::strcmp(mode, "persistent") == 0) {
    int jobs = 0, alone = 0;
    for (const auto start = clock_type::now(); ms_since(start) < 640; ++jobs) {
      const bool solo = team_size(1 << 20, 0) == 1;
      alone += solo;
      job(team, 16, stall, work, !solo);
    }
    std::printf("jobs %d\nalone %d\n", jobs, alone);
  } else if (std::strcmp(mode, "burst") == 0) {
    int jobs = 1;
    for (; team_size(1 << 20, 0) > 1 && jobs < 1000; ++jobs) job(team, 16, stall, work, true);
    std::printf("alone after %d\n", jobs);
    const auto calm = clock_type::now();
    while (job(team, 64, none, short_work, true) == 0 && ms_since(calm) < 2000) {
    }
    std::printf("back after ms %d\n", static_cast<int>(ms_since(calm)));
    int later = 0, with_helpers = 0;
    for (const auto start = clock_type::now(); ms_since(start) < 200; ++later)
      with_helpers += job(team, 64, none, short_work, true) > 0;
    std::printf("percent with helpers %d\n", 100 * with_helpers / later);
  } else {
    job(team, 2 * team, microseconds(5000), work);
    int with_helpers = 0;
    for (int k = 0; k < 200; ++k) with_helpers += job(team, 64, none, short_work, true) > 0;
    std::printf("percent with helpers %d\n", with_helpers / 2);
  }
}
