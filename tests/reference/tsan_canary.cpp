// Test helper for the race detector: one job of the helper threads in which every chunk
// writes the same word without synchronisation. Built with -fsanitize=thread, it must be
// reported; if it is not, the detector's run proves nothing.
#include <atomic>
#include <chrono>

#include "parallel.hpp"

namespace {
int shared_word = 0;
std::atomic<bool> helper_ran{false};
}  // namespace

extern "C" int planted_race() {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  cpp_functions::parallel_chunks(64, 2, [&](std::size_t chunk, int participant) {
    shared_word += static_cast<int>(chunk);  // the race: no order between the two threads' writes
    // The caller holds on to its first chunk until the helper has run one, however busy the
    // machine; the helper's later write is ordered after nothing the caller did since.
    if (participant != 0)
      helper_ran.store(true);
    else
      while (!helper_ran.load() && std::chrono::steady_clock::now() < give_up) {
      }
  });
  return shared_word;
}
