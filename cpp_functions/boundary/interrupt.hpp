// How a long call learns that it should stop. The calling thread polls at points well under a
// millisecond apart, between parallel jobs; a poll that finds a pending interruption throws
// it. Kernels never see where an interruption comes from.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cpp_functions {

// Throws the pending interruption, if any; returns otherwise. Only the thread that called
// the kernel may call it, and never while a parallel job runs: the module's definition
// (interrupt.cpp) runs Python signal handlers, which may run any Python code. The
// stand-alone kernel timers define it as nothing.
void poll_interrupt();

// body(i) for i in [0, count) on the calling thread, with poll() between runs of 2^14 steps:
// serial loops over a call's whole input.
template <typename Poll, typename Body>
void polled_loop(std::size_t count, Poll&& poll, const Body& body) {
  constexpr std::size_t steps_per_poll = 1 << 14;
  for (std::size_t begin = 0; begin < count; begin += steps_per_poll) {
    if (begin != 0) poll();
    const std::size_t end = count - begin < steps_per_poll ? count : begin + steps_per_poll;
    for (std::size_t i = begin; i < end; ++i) body(i);
  }
}

// Polls once every `interval` steps, counted by tick(): loops whose steps are too short to
// poll each.
struct interrupt_ticker {
  std::uint32_t interval;
  std::uint32_t left = 0;
  void tick(std::uint32_t steps = 1) {
    if (left < steps) {
      left = interval;
      poll_interrupt();
    } else {
      left -= steps;
    }
  }
};

}  // namespace cpp_functions
