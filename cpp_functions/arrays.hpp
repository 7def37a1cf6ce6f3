// Storage for the large flat arrays of a call.
//
// Page faults were the largest cost of reading the arguments: every call fills megabytes of
// fresh memory at a fault per 4 KiB page, and a vector's resize() wrote all of it on the
// calling thread before a team filled it. So:
// - resize() leaves new elements default-initialised (every user writes them all);
// - arrays of at least huge_threshold bytes are mapped on their own, in whole huge pages
//   advised for transparent huge pages: one fault per 2 MiB where the system grants them;
// - before a team fills a new part, fault_in() faults it in on the calling thread. Threads
//   that fault huge pages at once contend in the kernel and took three times longer than one
//   thread alone (and small pages faulted by two threads, twice as long as huge pages by one).
// Under AddressSanitizer every array comes from the heap, where the checker can see it.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define CPP_FUNCTIONS_HEAP_ARRAYS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CPP_FUNCTIONS_HEAP_ARRAYS 1
#endif
#endif

namespace cpp_functions {

namespace detail {

constexpr std::size_t huge_page = std::size_t{1} << 21;
constexpr std::size_t huge_threshold = std::size_t{1} << 20;

inline bool mapped_alone(std::size_t bytes) {
#ifdef CPP_FUNCTIONS_HEAP_ARRAYS
  (void)bytes;
  return false;
#else
  return bytes >= huge_threshold;
#endif
}

inline std::size_t mapped_length(std::size_t bytes) { return (bytes + huge_page - 1) & ~(huge_page - 1); }

// A private anonymous mapping of whole huge pages holding `bytes`.
inline void* map_huge(std::size_t bytes) {
  const std::size_t length = mapped_length(bytes);
  void* raw = mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + huge_page - 1) & ~(huge_page - 1);
  if (aligned > start) munmap(raw, aligned - start);
  munmap(reinterpret_cast<void*>(aligned + length), start + huge_page - aligned);
  madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);  // a hint: refused is fine
  return reinterpret_cast<void*>(aligned);
}

// Faults in the pages of [first, last) as writes would, keeping their contents. Throws
// std::bad_alloc when the memory is not there.
inline void populate(char* first, char* last) {
  constexpr std::uintptr_t page = 4096;
#if defined(MADV_POPULATE_WRITE) && !defined(CPP_FUNCTIONS_TOUCH_PAGES)  // the latter: tests
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(first) & ~(page - 1);
  const std::size_t length = reinterpret_cast<std::uintptr_t>(last) - start;
  if (madvise(reinterpret_cast<void*>(start), length, MADV_POPULATE_WRITE) == 0) return;
  if (errno == ENOMEM) throw std::bad_alloc();
#endif
  // Older kernels: a write per page, inside the range only (what precedes it holds data).
  auto at = (reinterpret_cast<std::uintptr_t>(first) + page - 1) & ~(page - 1);
  for (; at < reinterpret_cast<std::uintptr_t>(last); at += page) *reinterpret_cast<volatile char*>(at) = 0;
}

}  // namespace detail

template <typename T>
struct array_allocator {
  using value_type = T;
  array_allocator() = default;
  template <typename U>
  array_allocator(const array_allocator<U>&) {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    if (detail::mapped_alone(n * sizeof(T))) return static_cast<T*>(detail::map_huge(n * sizeof(T)));
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) {
    if (detail::mapped_alone(n * sizeof(T)))
      munmap(p, detail::mapped_length(n * sizeof(T)));
    else
      std::allocator<T>().deallocate(p, n);
  }
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
  friend bool operator==(const array_allocator&, const array_allocator&) { return true; }
  friend bool operator!=(const array_allocator&, const array_allocator&) { return false; }
};

// A large array of plain numbers: resize() leaves new elements unwritten.
template <typename T>
using array = std::vector<T, array_allocator<T>>;

// Faults in elements [from, size()) of `a` on the calling thread, where `a` has a mapping of
// its own; elsewhere the heap's pages are left to the writers. Calls poll() between pieces of
// piece_bytes.
template <typename T, typename Poll>
void fault_in(array<T>& a, std::size_t from, Poll&& poll) {
  constexpr std::size_t piece_bytes = std::size_t{64} << 20;  // some milliseconds
  if (from >= a.size() || !detail::mapped_alone(a.capacity() * sizeof(T))) return;
  char* const last = reinterpret_cast<char*>(a.data() + a.size());
  for (char* first = reinterpret_cast<char*>(a.data() + from); first < last; first += piece_bytes) {
    if (first != reinterpret_cast<char*>(a.data() + from)) poll();
    detail::populate(first,
                     last - first > static_cast<std::ptrdiff_t>(piece_bytes) ? first + piece_bytes : last);
  }
}

// The same, where the caller may not poll (it holds borrowed objects).
template <typename T>
void fault_in(array<T>& a, std::size_t from) {
  fault_in(a, from, [] {});
}

}  // namespace cpp_functions
