// The helper threads behind parallel_chunks (see parallel.hpp for the contract).
//
// Why not OpenMP's own teams: an OpenMP region ends at a barrier that waits for every team
// thread, also one that another process has pushed off its core (a time slice, several
// milliseconds, per region); the runtime's idle workers spin for milliseconds, which the
// virtual machines we run on punish with slow wake-ups; a forked child inherits the runtime's
// bookkeeping of workers that do not exist in it and hangs at its first region; and a worker
// that cannot be created ends the process. Here a job needs no helper to start, a helper spins
// only briefly, helpers stop before fork(), and a helper that cannot be created leaves the
// job to fewer threads. The OpenMP runtime still holds the thread-count setting, which
// callers set and read through it.
//
// Protocol. The caller publishes a job (`current`, then `open`, then a new `generation`, the
// word that sleeping helpers wait on). A helper counts itself in `entered` before it looks at
// `open` and counts itself out when it is done, so the caller, after closing the job, knows
// every helper has left once `entered` is 0; only then may the job's state on the caller's
// stack go away. All flags use sequentially consistent operations: a helper either sees the
// job closed or is seen in `entered`.
#include "parallel.hpp"

#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>

#include "../boundary/interrupt.hpp"
#include "omp_api.hpp"
#include "phase_marks.hpp"

namespace cpp_functions {
namespace {

using std::chrono::steady_clock;

constexpr int max_team = 64;
constexpr std::size_t helper_stack_bytes = std::size_t{1} << 20;
// A helper looks for the next job this long before it sleeps: back-to-back jobs (the rounds
// of an iteration, the chunks of a conversion) then find it awake.
constexpr auto helper_spin = std::chrono::microseconds(40);
// The caller spins this long for claimed chunks before it sleeps, which frees its core for a
// descheduled helper.
constexpr auto caller_spin = std::chrono::microseconds(40);
// A claimed chunk runs for tens of microseconds to milliseconds. The caller's wait for one
// counts as a stall only where the helper holding it was preempted and off its core (its
// thread's CPU clock stood still) for this long: another task took the core. A long chunk that
// keeps its helper busy is no stall.
constexpr auto stall_limit = std::chrono::microseconds(1000);
// The third stall in a row, each soon after the one before, sends the call on alone for a
// window, after which the team tries again: under load stalls keep coming, while the hiccups of
// an idle machine (here a task that takes a core for 1-4 ms twice a second) come one or two at
// a time and each costs its own length. Windows double while stalls keep coming, up to the
// longest, and start short again after a stretch of the team that lasted as long.
constexpr auto stalls_apart = std::chrono::milliseconds(50);
constexpr int stalls_in_a_row = 3;
constexpr auto first_window = std::chrono::milliseconds(10);
constexpr auto longest_window = std::chrono::milliseconds(320);
// A job on the call's thread pauses between chunks once this long has passed since the
// thread's last poll for interruptions, with its helpers out and the pool free, to poll (a
// signal handler may then run any Python code, a fork or a call of ours included), and goes on
// where it stopped. A gap between polls then lasts this plus a chunk at most, inside jobs.
constexpr auto poll_every = std::chrono::milliseconds(4);

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "futex words must be plain 32-bit integers");

void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr,
          0);
}

void futex_wake(std::atomic<std::uint32_t>& word) {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr,
          0);
}

// The calling thread's call, its nesting depth, and whether and until when the thread goes on
// alone.
// Initial-exec storage: the module's thread-local block is then reserved with the thread,
// never allocated at a first use, which with memory exhausted would end the process.
struct call_state {
  int depth = 0;
  bool solo = false;
  steady_clock::time_point solo_until{};  // the end of the window; max() for the whole call
  steady_clock::time_point last_stall{};  // of this call, or long before it
  steady_clock::time_point team_since{};  // when the team last started again
  steady_clock::duration window = first_window;
  int in_a_row = 0;                      // stalls each within stalls_apart of the one before
  bool long_job = false;                 // the last job on a team took over stall_limit
  int jobs = 0;                          // jobs running on this thread (nested ones run inside a chunk)
  steady_clock::time_point last_poll{};  // of this thread, for interruptions
  int unpolled = 0;                      // no_polls_in_jobs scopes alive
};
thread_local call_state this_call __attribute__((tls_model("initial-exec")));

// Whether a poll now would run anything; null: always (set by the module, see parallel.hpp).
bool (*poll_check)() = nullptr;

// Whether a poll is due on this thread: its time has come and it would act. A due time whose
// poll would do nothing counts as a poll.
bool poll_due() {
  if (steady_clock::now() < this_call.last_poll + poll_every) return false;
  if (poll_check == nullptr || poll_check()) return true;
  note_poll();
  return false;
}

// Whether a job starting now (not counted yet) may pause for polls: on the call's own thread
// (helpers have no call), outside any other job of it, and where the job reads no Python
// object.
bool polls_in_job() { return this_call.depth > 0 && this_call.jobs == 0 && this_call.unpolled == 0; }

// Counts a job on this thread for its life.
struct job_count {
  job_count() { ++this_call.jobs; }
  ~job_count() { --this_call.jobs; }
  job_count(const job_count&) = delete;
  job_count& operator=(const job_count&) = delete;
};

// Whether the current call runs its jobs alone now; ends a window that has passed.
bool going_alone() {
  if (!this_call.solo) return false;
  if (this_call.solo_until == steady_clock::time_point::max()) return true;
  const auto now = steady_clock::now();
  if (now < this_call.solo_until) return true;
  this_call.solo = false;
  this_call.team_since = now;
  return false;
}

void stalled(steady_clock::time_point now) {
  if (this_call.depth == 0) return;
  this_call.in_a_row = now - this_call.last_stall < stalls_apart ? this_call.in_a_row + 1 : 1;
  if (this_call.in_a_row >= stalls_in_a_row && !this_call.solo) {
    if (now - this_call.team_since >= longest_window) this_call.window = first_window;
    this_call.solo = true;
    this_call.solo_until = now + this_call.window;
    this_call.window = std::min<steady_clock::duration>(2 * this_call.window, longest_window);
  }
  this_call.last_stall = now;
}

// A participant's share of chunks: [front, back), packed as front | back << 32 so that the
// owner (from the front) and others (from the back) each claim with one compare-exchange.
// `presence` tells whether a helper is inside the job (`inside`) or when it left it
// (steady-clock nanoseconds; 0 before it came); `preempted`, whether the scheduler took its
// core from it meanwhile.
constexpr std::int64_t inside = -1;
struct alignas(64) share {
  std::atomic<std::uint64_t> span{0};
  std::atomic<std::int64_t> presence{0};
  std::atomic<bool> preempted{false};
};

long preemptions() {
#ifdef CPP_FUNCTIONS_TEST_KNOBS
  static std::atomic<long> count{0};  // tests stand a sleep for a preemption: always one more
  return count.fetch_add(1);
#else
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nivcsw;
#endif
}

std::int64_t clock_ns(steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

bool claim_front(share& s, std::uint32_t& chunk) {
  std::uint64_t span = s.span.load();
  while (static_cast<std::uint32_t>(span) < static_cast<std::uint32_t>(span >> 32))
    if (s.span.compare_exchange_weak(span, span + 1)) {
      chunk = static_cast<std::uint32_t>(span);
      return true;
    }
  return false;
}

bool claim_back(share& s, std::uint32_t& chunk) {
  std::uint64_t span = s.span.load();
  while (static_cast<std::uint32_t>(span) < static_cast<std::uint32_t>(span >> 32))
    if (s.span.compare_exchange_weak(span, span - (std::uint64_t{1} << 32))) {
      chunk = static_cast<std::uint32_t>(span >> 32) - 1;
      return true;
    }
  return false;
}

struct job_state {
  const detail::job* task = nullptr;
  std::size_t offset = 0;  // chunk number of this piece's chunk 0
  int team = 1;
  // Whether helpers note their preemptions (a system call each side of the job): only in a
  // job that follows one of over a millisecond. A shorter job cannot keep the caller waiting
  // that long unless it stalls, and the job after a stall is watched, so a run of stalls is
  // seen one job late while short jobs of an idle machine pay nothing.
  bool watch = false;
  share shares[max_team];
  std::atomic<bool> failed{false};
  std::atomic<bool> pausing{false};  // the caller stopped for a poll: claim nothing more
  std::exception_ptr first_error;

  void capture() noexcept {
    bool expected = false;
    if (failed.compare_exchange_strong(expected, true)) first_error = std::current_exception();
  }
};

// Runs chunks of participant p's share from the front, then others' from the back, until none
// is left, a chunk has thrown or the job pauses; the caller, given `polls`, pauses it after a
// chunk where a poll is due.
void participate(job_state& s, int p, bool polls = false) {
  auto run = [&](std::uint32_t chunk) {
    try {
      s.task->run(s.task->body, s.offset + chunk, p);
    } catch (...) {
      s.capture();
    }
    if (polls && poll_due()) s.pausing.store(true);
  };
  const auto going_on = [&] {
    return !s.failed.load(std::memory_order_relaxed) && !s.pausing.load(std::memory_order_relaxed);
  };
  std::uint32_t chunk = 0;
  while (going_on() && claim_front(s.shares[p], chunk)) run(chunk);
  for (int k = 1; k < s.team; ++k) {
    share& other = s.shares[(p + k) % s.team];
    while (going_on() && claim_back(other, chunk)) run(chunk);
  }
}

// The thread of one participant number. `made` belongs to the pool's lock holder.
struct helper_slot {
  pthread_t thread{};
  bool made = false;   // the thread exists and must be joined
  bool timed = false;  // cpu_clock is its thread's CPU clock
  clockid_t cpu_clock{};
  std::atomic<bool> gave_up{false};  // it could not prepare itself and has ended
};

struct pool_state {
  std::mutex lock;                           // held by a caller for one job, and across fork()
  helper_slot helpers[max_team];             // by participant number; 0 is the caller
  std::atomic<std::uint32_t> generation{0};  // changes for every job and to stop the helpers
  std::atomic<std::uint32_t> entered{0};     // helpers inside a job
  std::atomic<std::uint32_t> sleepers{0};
  std::atomic<bool> caller_waiting{false};
  std::atomic<bool> open{false};
  std::atomic<bool> stopping{false};
  job_state* current = nullptr;  // valid while open, and for every helper counted in entered
};

pool_state& pool() {
  // Never destroyed: sleeping helpers wait on its words until the process ends.
  static pool_state* const state = new pool_state;
  return *state;
}

std::uint32_t wait_for_job(pool_state& p, std::uint32_t seen) {
  const auto until = steady_clock::now() + helper_spin;
  std::uint32_t generation = 0;
  while ((generation = p.generation.load()) == seen) {
    if (steady_clock::now() < until) continue;
    p.sleepers.fetch_add(1);
    if (p.generation.load() == seen) futex_wait(p.generation, seen);
    p.sleepers.fetch_sub(1);
  }
  return generation;
}

// Whether `bytes` can be allocated now; the block is freed again, so that the allocation that
// follows is served from it. The block escapes to an empty assembler statement: compilers may
// drop a malloc whose block is never used (clang does), which would make this always true.
bool room_for(std::size_t bytes) {
  void* room = std::malloc(bytes);
  if (room == nullptr) return false;
  asm volatile("" : : "r"(room) : "memory");
  std::free(room);
  return true;
}

// Whether a new thread can get its exception state. The C library allocates a thread's block
// of the C++ runtime's thread-local data at its first use (the first throw or catch) and ends
// the process if that allocation fails; a block freed just before serves it.
bool reserve_exception_state() {
  constexpr std::size_t room_bytes = std::size_t{64} << 10;
  if (!room_for(room_bytes)) return false;
  volatile int pending = std::uncaught_exceptions();  // declared pure: keep the result
  (void)pending;
  return true;
}

void* helper_main(void* start) {
  // Packed by start_helpers: the generation at creation above the participant number.
  const auto packed = reinterpret_cast<std::uintptr_t>(start);
  const int participant = static_cast<int>(packed & 0xff);
  auto seen = static_cast<std::uint32_t>(packed >> 8);
  pool_state& p = pool();
  if (!reserve_exception_state()) {
    p.helpers[participant].gave_up.store(true);
    return nullptr;
  }
  for (;;) {
    seen = wait_for_job(p, seen);
    if (p.stopping.load()) return nullptr;
    p.entered.fetch_add(1);
    if (p.open.load() && participant < p.current->team) {
      job_state& s = *p.current;
      const long preempted = s.watch ? preemptions() : 0;
      s.shares[participant].presence.store(inside);
      participate(s, participant);
      if (s.watch) s.shares[participant].preempted.store(preemptions() != preempted);
      s.shares[participant].presence.store(clock_ns(steady_clock::now()));
    }
    if (p.entered.fetch_sub(1) == 1 && p.caller_waiting.load()) futex_wake(p.entered);
  }
}

void join_helper(helper_slot& slot) {
  pthread_join(slot.thread, nullptr);
  slot.made = false;
  slot.gave_up.store(false);
}

// Makes sure helpers 1 .. `wanted` run; returns how many do. Fewer when a thread cannot be
// made; none when one could not prepare itself (memory is exhausted: the rest of the call
// goes on alone, the next call tries again). Helpers block every signal, so that signals
// reach the interpreter's own threads.
int start_helpers(pool_state& p, int wanted) {
  for (int q = 1; q <= wanted; ++q) {
    helper_slot& slot = p.helpers[q];
    if (slot.made && slot.gave_up.load()) {
      join_helper(slot);
      run_call_alone();
      return 0;
    }
    if (slot.made) continue;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return q - 1;
    pthread_attr_setstacksize(&attributes, helper_stack_bytes);
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    const std::uintptr_t packed = std::uintptr_t{p.generation.load()} << 8 | static_cast<std::uintptr_t>(q);
    const int failed =
        pthread_create(&slot.thread, &attributes, helper_main, reinterpret_cast<void*>(packed));
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    pthread_attr_destroy(&attributes);
    if (failed != 0) return q - 1;
    slot.made = true;
    slot.timed = pthread_getcpuclockid(slot.thread, &slot.cpu_clock) == 0;
  }
  return wanted;
}

// The helpers inside a job when the caller starts a long wait, with their CPU clocks then;
// afterwards, the longest time one of them that the scheduler preempted spent off its core
// before it left. Off its core without a preemption, a helper waited for the kernel (a page
// fault behind another thread's mapping change) or the host took the whole virtual processor:
// going alone answers neither.
class off_core_watch {
 public:
  off_core_watch(const pool_state& p, const job_state& s) : p_(p), s_(s) {
    for (int q = 1; q < s.team; ++q)
      if (p.helpers[q].timed && s.shares[q].presence.load() == inside && cpu_ns(q, cpu_[count_]))
        helper_[count_++] = q;
    since_ = clock_ns(steady_clock::now());
  }

  std::chrono::nanoseconds longest() const {
    std::int64_t longest = 0;
    for (int k = 0; k < count_; ++k) {
      std::int64_t cpu = 0;
      if (!s_.shares[helper_[k]].preempted.load() || !cpu_ns(helper_[k], cpu)) continue;
      const std::int64_t away = s_.shares[helper_[k]].presence.load() - since_ - (cpu - cpu_[k]);
      longest = std::max(longest, away);
    }
    return std::chrono::nanoseconds(longest);
  }

 private:
  bool cpu_ns(int q, std::int64_t& ns) const {
    timespec t{};
    if (clock_gettime(p_.helpers[q].cpu_clock, &t) != 0) return false;
    ns = std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
    return true;
  }

  const pool_state& p_;
  const job_state& s_;
  int helper_[max_team]{};
  std::int64_t cpu_[max_team]{};
  int count_ = 0;
  std::int64_t since_ = 0;
};

void wait_long(pool_state& p) {
  std::uint32_t inside_now = 0;
  while ((inside_now = p.entered.load()) != 0) {
    p.caller_waiting.store(true);
    if ((inside_now = p.entered.load()) != 0) futex_wait(p.entered, inside_now);
  }
  p.caller_waiting.store(false);
}

// Waits until every helper has left the closed job. In a watched job, a wait past the caller's
// spin checks whether a helper it waited for had lost its core (see stall_limit).
void wait_for_helpers(pool_state& p, const job_state& s) {
  if (p.entered.load() == 0) return;
  const auto start = steady_clock::now();
  while (steady_clock::now() - start < caller_spin)
    if (p.entered.load() == 0) return;
  if (!s.watch) return wait_long(p);
  const off_core_watch watch(p, s);
  wait_long(p);
  const auto away = watch.longest();
  CPP_FUNCTIONS_STALL(away.count());
  if (this_call.depth > 0 && away > stall_limit) stalled(steady_clock::now());
}

// Runs chunks [offset, offset + chunks) of `task` on the caller and up to team - 1 helpers,
// holding the pool through `guard`. Where polls_in_job(), pauses every poll_every with the
// pool free; after the poll, goes on with the helpers it has then, or alone when the pool is
// taken.
void run_piece(pool_state& p, std::unique_lock<std::mutex>& guard, const detail::job& task,
               std::size_t offset, std::uint32_t chunks, int team, bool polls) {
  job_state s;
  s.task = &task;
  s.offset = offset;
  s.team = team;
  for (int k = 0; k < team; ++k) {
    const std::uint64_t front = std::uint64_t{chunks} * k / team,
                        back = std::uint64_t{chunks} * (k + 1) / team;
    s.shares[k].span.store(front | back << 32);
  }
  for (bool helpers = guard.owns_lock();;) {
    s.watch = this_call.long_job;
    const auto start = steady_clock::now();
    if (helpers) {
      p.current = &s;
      p.open.store(true);
      p.generation.fetch_add(1);
      if (p.sleepers.load() != 0) futex_wake(p.generation);
    }
    participate(s, 0, polls);
    if (helpers) {
      p.open.store(false);
      wait_for_helpers(p, s);
      p.current = nullptr;
      this_call.long_job = steady_clock::now() - start > stall_limit;
    }
    if (s.first_error) std::rethrow_exception(s.first_error);
    if (!s.pausing.load()) return;
    if (guard.owns_lock()) guard.unlock();
    poll_interrupt();
    s.pausing.store(false);
    helpers = guard.try_lock() && !going_alone() && 1 + start_helpers(p, team - 1) > 1;
  }
}

void run_alone(const detail::job& task, bool polls) {
  for (std::size_t chunk = 0; chunk < task.chunks; ++chunk) {
    task.run(task.body, chunk, 0);
    if (polls && poll_due()) poll_interrupt();
  }
}

// Stops and joins the helpers before fork(): a child must not inherit helpers it does not
// have, and the parent's interpreter then sees one thread. Both start them again at their
// next job. The lock stays held through the fork, so no job is half published in the child.
void before_fork() {
  pool_state& p = pool();
  p.lock.lock();
  p.stopping.store(true);
  p.generation.fetch_add(1);
  futex_wake(p.generation);
  for (helper_slot& slot : p.helpers)
    if (slot.made) join_helper(slot);
  p.stopping.store(false);
}

void after_fork() { pool().lock.unlock(); }

// Registered once, when the module is loaded.
[[maybe_unused]] const int fork_handlers = pthread_atfork(before_fork, after_fork, after_fork);

}  // namespace

int team_size(std::size_t work, std::size_t serial_below) {
  if (work < serial_below) return 1;
  if (going_alone()) {
    CPP_FUNCTIONS_JOB_ALONE();
    return 1;
  }
  const int limit = std::min({omp_get_max_threads(), omp_get_thread_limit(), omp_get_num_procs(), max_team});
  return std::max(1, limit);
}

void set_thread_setting(int count) {
  // The runtime allocates a thread's settings at their first change and ends the process if
  // that fails. A block freed just before serves that allocation.
  if (!room_for(4096)) throw std::bad_alloc();
  omp_set_num_threads(count);
}

call_scope::call_scope() {
  if (this_call.depth++ != 0) return;
  // A call alone for its whole length frees the next. A window outlives its call: calls in a
  // row (a worker mapping them) share the load that set it, and learning it again in each
  // call cost a pool of two workers with two threads each on two cores 1.11x one thread each,
  // against 1.07x when the calls went alone to their ends.
  if (this_call.solo_until == steady_clock::time_point::max()) this_call.solo = false;
  // The calling thread's exception state, while memory is likely still there (see
  // reserve_exception_state); a later failure to get it would end the process.
  volatile int pending = std::uncaught_exceptions();
  (void)pending;
}

call_scope::~call_scope() { --this_call.depth; }

void note_poll() { this_call.last_poll = steady_clock::now(); }

void set_poll_check(bool (*would_act)()) { poll_check = would_act; }

no_polls_in_jobs::no_polls_in_jobs() { ++this_call.unpolled; }
no_polls_in_jobs::~no_polls_in_jobs() { --this_call.unpolled; }

void run_call_alone() {
  if (this_call.depth == 0) return;
  this_call.solo = true;
  this_call.solo_until = steady_clock::time_point::max();
}

void detail::run_job(const job& task) {
  const bool polls = polls_in_job();
  const job_count counted;
  constexpr std::size_t piece_chunks = std::size_t{1} << 31;  // chunk numbers fit the packed shares
  const int team = static_cast<int>(std::min<std::size_t>(
      {static_cast<std::size_t>(std::max(task.team, 1)), static_cast<std::size_t>(max_team), task.chunks}));
  if (team <= 1) return run_alone(task, polls);
  if (going_alone()) {
    CPP_FUNCTIONS_JOB_ALONE();
    return run_alone(task, polls);
  }
  pool_state& p = pool();
  std::unique_lock<std::mutex> guard(p.lock, std::try_to_lock);
  if (!guard.owns_lock()) return run_alone(task, polls);  // another thread's job, or this one's outer
  const int joined = 1 + start_helpers(p, team - 1);
  if (joined <= 1) return run_alone(task, polls);
  for (std::size_t offset = 0; offset < task.chunks; offset += piece_chunks)
    run_piece(p, guard, task, offset,
              static_cast<std::uint32_t>(std::min(piece_chunks, task.chunks - offset)), joined, polls);
}

}  // namespace cpp_functions
