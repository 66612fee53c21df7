// A scheduler that runs a test's threads one at a time and chooses, at every
// point where they can interleave, which runs next; and an explorer that runs
// a scenario once per schedule. The threads are the operating system's, but
// only the one holding the scheduler's turn runs: the others wait in the
// scheduler, at a point of their own. A thread gives the turn up only at a
// point (schedule::point), when it blocks (schedule::blockUntil) or ends.
//
// Schedules are explored depth first, each differing from the last at one
// choice, with at most `preemptions` switches away from a thread that could
// have gone on (CHESS's observation: almost every concurrency fault shows
// within two). Where that space is larger than a scenario's budget, a seeded
// sample of it is run instead. Time is virtual: a timed wait ends only when no
// thread can run, the earliest deadline first, so a schedule never depends on
// how busy the machine is.
//
// Linux only; one exploration at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace schedule {

// Whether the calling thread runs under the scheduler now.
bool controlled();
// The calling thread's number in this run: 0 for the one that explores (the
// host's script), then in the order they were spawned; -1 outside.
int threadNumber();

// The number of the run in progress (a new one for each schedule).
std::uint64_t run();

// A point where the scheduler may let another thread run. Elsewhere a no-op.
void point(const char* what);

// Blocks the calling thread until ready() holds; ready is asked whenever the
// scheduler chooses, with no other thread running. With a time-out (virtual
// milliseconds) the wait also ends once no thread can run and no other
// deadline comes sooner; false then. Outside the scheduler, spins on ready().
bool blockUntil(const char* what, std::function<bool()> ready, std::int64_t timeoutMs = -1);

// A thread under the scheduler: it runs body, then ends.
struct Thread;
Thread* spawn(std::function<void()> body);
bool finished(const Thread* thread);
// Threads of this run, other than the calling one, that have not ended.
int othersRunning();
// After the thread finished: waits for the operating system's thread and frees it.
void reap(Thread* thread);

// A breach found by the scenario's own checks: the exploration counts it and
// says which schedule it was found in.
void violation(const std::string& what);

struct Options {
  int preemptions = 2;
  std::uint64_t budget = 2000;  // schedules at most; sampled beyond a first depth-first part
  std::uint64_t seed = 1;
};

struct Result {
  std::uint64_t schedules = 0;
  std::uint64_t violations = 0;
  bool exhaustive = false;    // every schedule within the bound was run
  std::string first;          // the first violation, with its schedule
  std::uint64_t firstAt = 0;  // the number of the schedule it was found in
};

// Runs body (on the calling thread, under the scheduler) once per schedule.
// A hang (every thread waiting, none able to go on) ends the process with the
// schedule that led there: its threads cannot be freed.
// setUp and tearDown run around each run, outside the scheduler.
Result explore(const std::function<void()>& body, const Options& options = {},
               const std::function<void()>& setUp = {}, const std::function<void()>& tearDown = {});

}  // namespace schedule
