// Large arrays dropped while an exception leaves a call are freed on a thread of their own.
//
// Giving back the pages of a large call's arrays takes the system about 80 ms per GB (20 ms at
// 2x10^7 incidences); freed as the exception unwinds, that time would come between a signal
// handler's exception and its caller. A freeing thread starts when blocks come, frees them all
// and ends; its blocks link through their own first bytes, so handing one over allocates
// nothing and cannot fail. It is joined before fork(), so no process inherits one.
#include "arrays.hpp"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <mutex>
#include <new>
#include <utility>

namespace cpp_functions {
namespace {

struct dropped {
  dropped* next;
};

std::atomic<dropped*> blocks{nullptr};
std::atomic<bool> freeing{false};  // a thread frees, or is being started to
std::mutex starting;               // held to start or join that thread, and across fork()
pthread_t freer;
bool joinable = false;  // under `starting`

void free_all() {
  for (;;) {
    for (dropped* block = blocks.exchange(nullptr); block != nullptr;)
      ::operator delete(std::exchange(block, block->next));
    freeing.store(false);
    // A block handed over after the exchange above found `freeing` set and left it to us.
    if (blocks.load() == nullptr || freeing.exchange(true)) return;
  }
}

void* freer_main(void*) {
  free_all();
  return nullptr;
}

void before_fork() {
  starting.lock();
  if (joinable) pthread_join(freer, nullptr);  // ends once no block is left
  joinable = false;
}

void after_fork_parent() { starting.unlock(); }

// The blocks still handed over belong to the child too; its first dropped block starts a thread.
void after_fork_child() {
  freeing.store(false);
  starting.unlock();
}

[[maybe_unused]] const int fork_handlers = pthread_atfork(before_fork, after_fork_parent, after_fork_child);

}  // namespace

void free_soon(void* block) noexcept {
  dropped* head = blocks.load();
  auto* entry = ::new (block) dropped{head};
  while (!blocks.compare_exchange_weak(head, entry)) entry->next = head;
  if (freeing.exchange(true)) return;
  std::lock_guard<std::mutex> held(starting);
  if (joinable) pthread_join(freer, nullptr);  // the last one has left, or is leaving
  pthread_attr_t attributes;
  joinable = pthread_attr_init(&attributes) == 0;
  if (joinable) {
    pthread_attr_setstacksize(&attributes, std::size_t{1} << 20);
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);  // signals stay with the interpreter's threads
    joinable = pthread_create(&freer, &attributes, freer_main, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    pthread_attr_destroy(&attributes);
  }
  if (!joinable) free_all();  // no thread to be had: this one frees
}

}  // namespace cpp_functions
