// Storage for the large flat arrays of a call.
//
// Page faults are a large cost of a call: it fills megabytes of fresh memory, at a fault per
// page on first touch. A vector's resize() would write every new element on the calling
// thread, making every first touch (and its fault) serial for an array that a team fills
// next. In these arrays resize() leaves new elements default-initialised; every user writes
// them all, and the thread that writes a part also faults its pages in.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace cpp_functions {

template <typename T>
struct array_allocator : std::allocator<T> {
  using value_type = T;
  template <typename U>
  struct rebind {
    using other = array_allocator<U>;
  };
  array_allocator() = default;
  template <typename U>
  array_allocator(const array_allocator<U>&) {}

  // resize(n) and array(n) leave new elements default-initialised; resize(n, value) and
  // assign() still write theirs.
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// A large array of plain numbers: resize() leaves new elements unwritten.
template <typename T>
using call_array = std::vector<T, array_allocator<T>>;

// Positions of entries and ids are 32-bit wherever they fill an array (half the memory
// traffic of 64-bit ones), with UINT32_MAX kept for "none". Inputs with more refuse up front.
inline void check_positions(std::size_t count) {
  if (count >= UINT32_MAX)
    throw std::length_error(std::to_string(count) + " entries or ids in one container: at most 2^32 - 2");
}

// Frees `array`, giving its pages back to the system in slices with poll() between: the system
// takes about 80 ms per GB of small pages, which one free would spend without a poll. The
// slices inside the block are emptied; the free that follows has little left to do.
template <typename T, typename Poll>
void free_polled(call_array<T>& array, Poll&& poll) {
  constexpr std::uintptr_t page = 4096, slice = std::uintptr_t{32} << 20;
  const auto begin = (reinterpret_cast<std::uintptr_t>(array.data()) + page - 1) & ~(page - 1);
  const auto end = reinterpret_cast<std::uintptr_t>(array.data() + array.capacity()) & ~(page - 1);
  for (std::uintptr_t at = begin; at + slice < end; at += slice) {
    madvise(reinterpret_cast<void*>(at), slice, MADV_DONTNEED);
    poll();
  }
  call_array<T>().swap(array);
}

}  // namespace cpp_functions
