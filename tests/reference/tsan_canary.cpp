// Test helper for the race detector: one job of the helper threads in which every chunk
// writes the same word without synchronisation. Built with -fsanitize=thread, it must be
// reported; if it is not, the detector's run proves nothing.
#include <atomic>
#include <chrono>

#include "boundary/interrupt.hpp"
#include "runtime/parallel.hpp"

namespace {
int shared_word = 0;
std::atomic<bool> wrote[2] = {false, false};
}  // namespace

void cpp_functions::poll_interrupt() {}

extern "C" int planted_race() {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  cpp_functions::parallel_chunks(64, 2, [&](std::size_t chunk, int participant) {
    shared_word += static_cast<int>(chunk);  // the race: no order between the two threads' writes
    // Each thread's first chunk waits until the other thread has written too, however busy
    // the machine, so neither can run every chunk and order the writes by its claims. The
    // flags are relaxed: they order nothing, so the two first writes stay a race.
    const auto self = static_cast<std::size_t>(participant != 0);
    if (wrote[self].exchange(true, std::memory_order_relaxed)) return;
    while (!wrote[1 - self].load(std::memory_order_relaxed) && std::chrono::steady_clock::now() < give_up) {
    }
  });
  return shared_word;
}
