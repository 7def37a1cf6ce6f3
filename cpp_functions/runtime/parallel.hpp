// How the kernels run work on several threads.
//
// A job is a range of chunks that the calling thread and up to team - 1 helper threads claim
// and run. The helpers belong to the module (they start at the first job that wants them) and
// sleep between jobs. Each participant starts at the front of its own contiguous share of the
// chunks; one that runs out takes chunks from the back of another's share. So a job never
// waits for a helper that has not started yet or has been descheduled before claiming: the
// others take its share. The caller waits only for chunks already claimed by helpers.
//
// Results never depend on which thread ran a chunk: chunks write only what they own, and
// every sum that must be reproducible is kept per chunk and added in chunk order afterwards.
//
// A call whose caller keeps waiting for claimed chunks whose helpers lost their cores (other
// processes keep the cores busy) runs its jobs on the calling thread alone for a window of
// time, then tries its team again; a window outlives its call, and the thread's next calls wait
// it out too. A call is the life of the outermost call_scope on the thread.
//
// Jobs run no Python code. Callers poll for interruptions between jobs, and a job that runs
// for milliseconds pauses between chunks, its helpers out, for the caller to poll, except
// inside a no_polls_in_jobs scope (jobs that read Python objects).
// The helpers stop before a fork() of the process and start again in parent and child at
// their next job, so no process ever holds helpers that belong to another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cpp_functions {

// Threads for a job over `work` units: 1 below `serial_below` (starting helpers costs more
// than it saves there) or while the current call goes on alone, else the calling thread's
// OpenMP thread-count setting capped at the OpenMP thread limit and the processors this thread
// may run on.
int team_size(std::size_t work, std::size_t serial_below);

// Sets the calling thread's OpenMP thread-count setting. The OpenMP runtime ends the process
// when it cannot allocate a thread's settings; this throws std::bad_alloc instead.
void set_thread_setting(int count);

// Marks a call on this thread while alive. Nested scopes belong to the outermost one.
class call_scope {
 public:
  call_scope();
  ~call_scope();
  call_scope(const call_scope&) = delete;
  call_scope& operator=(const call_scope&) = delete;
};

// Notes a poll for interruptions on this thread: its jobs pause for the next one in time.
void note_poll();

// Sets the test of whether a poll would act now (run a signal handler, say); jobs pause only
// for polls that would. Without one, every due poll pauses its job.
void set_poll_check(bool (*would_act)());

// While alive, jobs started on this thread do not pause for polls: they read Python objects,
// which a signal handler run by a poll could change or free.
class no_polls_in_jobs {
 public:
  no_polls_in_jobs();
  ~no_polls_in_jobs();
  no_polls_in_jobs(const no_polls_in_jobs&) = delete;
  no_polls_in_jobs& operator=(const no_polls_in_jobs&) = delete;
};

// Runs the rest of the current call on the calling thread alone; nothing outside a call.
void run_call_alone();

namespace detail {

struct job {
  void (*run)(const void* body, std::size_t chunk, int participant);
  const void* body;
  std::size_t chunks;
  int team;
};

// Runs every chunk once, on the calling thread alone while the current call goes on alone
// (whatever team the job asks for); rethrows the first exception a chunk threw, after every
// participant has stopped.
void run_job(const job& task);

}  // namespace detail

// Runs body(chunk, participant) for every chunk in [0, chunks), participant in [0, team);
// the calling thread is participant 0, and a participant number belongs to one thread for the
// whole job. body must be safe to run concurrently for different chunks.
template <typename Body>
void parallel_chunks(std::size_t chunks, int team, const Body& body) {
  const detail::job task{[](const void* b, std::size_t chunk, int participant) {
                           (*static_cast<const Body*>(b))(chunk, participant);
                         },
                         &body, chunks, team};
  detail::run_job(task);
}

// Runs body(begin, end, participant) over [0, count) in slices of `grain` indices.
template <typename Body>
void parallel_for(std::size_t count, std::size_t grain, int team, const Body& body) {
  if (grain == 0) grain = 1;
  const std::size_t chunks = (count + grain - 1) / grain;
  parallel_chunks(chunks, team, [&](std::size_t chunk, int participant) {
    const std::size_t begin = chunk * grain;
    body(begin, begin + grain < count ? begin + grain : count, participant);
  });
}

// Two passes over [0, count) in slices of `grain` indices, for outputs whose slices start where
// the earlier slices' output ends: counted(begin, end) gives a slice's output size;
// sized(total) follows once; filled(begin, end, start) then writes the slice from `start`.
template <typename Counted, typename Sized, typename Filled>
void count_then_fill(std::size_t count, std::size_t grain, int team, const Counted& counted,
                     const Sized& sized, const Filled& filled) {
  if (grain == 0) grain = 1;
  const std::size_t slices = (count + grain - 1) / grain;
  std::vector<std::size_t> start(slices + 1, 0);
  parallel_for(count, grain, team, [&](std::size_t begin, std::size_t end, int) {
    start[begin / grain + 1] = counted(begin, end);
  });
  for (std::size_t k = 0; k < slices; ++k) start[k + 1] += start[k];
  sized(start[slices]);
  parallel_for(count, grain, team,
               [&](std::size_t begin, std::size_t end, int) { filled(begin, end, start[begin / grain]); });
}

}  // namespace cpp_functions
