// Test helper: a call whose helpers keep it waiting goes on alone, also in jobs that reuse a
// team sized before the stalls (the search levels, the incidence build and the argument
// reading size theirs once). Prints the team, the jobs it took to go solo, and the chunks
// helpers ran in later jobs of that team.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "cpp_functions/parallel.hpp"

int main() {
  using namespace cpp_functions;
  set_thread_setting(64);
  const call_scope call;
  const int team = team_size(1 << 20, 0);
  std::printf("team %d\n", team);
  int jobs = 0;
  // Each helper holds the chunk it claims for 3 ms, asleep, as if it had lost its core; the
  // caller's chunks take 50 us, spinning, so the caller runs out of chunks and waits, and
  // jobs stay short on a loaded machine too: its waits come well within the solo window.
  const auto spin = [](std::chrono::microseconds length) {
    const auto until = std::chrono::steady_clock::now() + length;
    while (std::chrono::steady_clock::now() < until) {
    }
  };
  while (team_size(1 << 20, 0) > 1 && jobs < 1000) {
    ++jobs;
    parallel_chunks(16, team, [&](std::size_t, int participant) {
      if (participant != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
      else
        spin(std::chrono::microseconds(50));
    });
  }
  std::printf("solo after %d\n", jobs);
  std::atomic<int> helper_chunks{0};
  for (int k = 0; k < 20; ++k)
    parallel_chunks(256, team, [&](std::size_t, int participant) {
      if (participant != 0) helper_chunks.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    });
  std::printf("helper chunks %d\n", helper_chunks.load());
}
