// How a long call learns that it should stop. The calling thread polls at points well under a
// millisecond apart; a poll that finds a pending interruption throws it, and the kernel's
// other threads see that through the region's error flag and stop at their next chunk or
// round. Kernels never see where an interruption comes from.
#pragma once

#include <cstdint>

namespace cpp_functions {

// Throws the pending interruption, if any; returns otherwise. Only the thread that called
// the kernel may call it (thread 0 of the kernel's regions). The module defines it as a check
// for Python signals, whose handlers may raise; the stand-alone kernel timers as nothing.
void poll_interrupt();

// Polls once every `interval` calls of tick(): loops whose steps are too short to poll each.
struct interrupt_ticker {
  std::uint32_t interval;
  std::uint32_t left = 0;

  void tick() {
    if (left-- == 0) {
      left = interval;
      poll_interrupt();
    }
  }
};

}  // namespace cpp_functions
