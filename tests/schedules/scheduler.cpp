#include "scheduler.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace schedule {

struct Thread {
  enum class State { kRunnable, kBlocked, kFinished };
  int id = 0;
  State state = State::kRunnable;
  std::function<bool()> ready;
  std::int64_t deadline = -1;  // virtual milliseconds; -1: none
  bool timedOut = false;
  const char* what = "";
  std::thread os;  // none for the thread that explores
};

namespace {

// A thread that runs its body without ever blocking would never let another
// run once the preemptions are spent: after this many choices in a row it
// yields, as a fair scheduler makes it (not counted as a preemption).
constexpr int kFairness = 64;

struct Decision {
  std::vector<int> options;  // the thread that may go on first, when it may
  std::size_t chosen = 0;
  bool preemptible = false;  // options[0] could have gone on
  bool forced = false;       // a fairness yield, not a choice
};

struct Scheduler {
  std::mutex mutex;
  std::condition_variable turn;
  bool running = false;
  std::vector<std::unique_ptr<Thread>> threads;
  int current = -1;
  std::int64_t now = 0;
  int streak = 0;
  // The schedule: choices to replay, then the default (go on), or, when
  // sampling, a switch at the chosen decisions.
  std::vector<int> prefix;
  std::vector<Decision> decisions;
  bool sampling = false;
  std::set<std::size_t> switchAt;
  std::mt19937_64 random;
  std::vector<std::string> violations;
  std::uint64_t schedule = 0;  // the number of the run in progress
};

Scheduler& state() {
  static Scheduler* s = new Scheduler;
  return *s;
}

thread_local Thread* self = nullptr;

std::string describe(const Scheduler& s) {
  std::string text = "schedule [";
  for (std::size_t i = 0; i < s.decisions.size(); ++i) {
    const Decision& d = s.decisions[i];
    text += (i ? " " : "") + std::to_string(d.options[d.chosen]);
  }
  text += "]; threads:";
  for (const auto& t : s.threads) {
    const char* state = t->state == Thread::State::kFinished  ? "ended"
                        : t->state == Thread::State::kBlocked ? "waits in"
                                                              : "runs";
    text += " " + std::to_string(t->id) + " " + state;
    if (t->state == Thread::State::kBlocked) text += std::string(" ") + t->what;
    text += ";";
  }
  return text;
}

[[noreturn]] void fatal(Scheduler& s, const std::string& what) {
  std::fflush(stdout);
  std::fprintf(stderr, "schedules: %s, in schedule %llu: %s\n", what.c_str(),
               static_cast<unsigned long long>(s.schedule), describe(s).c_str());
  std::fflush(stderr);
  std::_Exit(3);
}

bool enabled(const Thread& t) {
  if (t.state == Thread::State::kRunnable) return true;
  return t.state == Thread::State::kBlocked && (t.timedOut || t.ready());
}

int choose(Scheduler& s, Thread* me, const std::vector<int>& ready) {
  const bool meReady = std::find(ready.begin(), ready.end(), me->id) != ready.end();
  Decision d;
  d.preemptible = meReady;
  if (meReady) d.options.push_back(me->id);
  for (int id : ready)
    if (id != me->id) d.options.push_back(id);
  if (d.options.size() == 1) {
    s.streak = 0;
    return d.options[0];
  }
  const std::size_t index = s.decisions.size();
  if (index < s.prefix.size()) {
    auto it = std::find(d.options.begin(), d.options.end(), s.prefix[index]);
    if (it == d.options.end()) fatal(s, "a replayed schedule went otherwise (nondeterminism)");
    d.chosen = static_cast<std::size_t>(it - d.options.begin());
  } else if (s.sampling && meReady && s.switchAt.count(index)) {
    d.chosen = 1 + s.random() % (d.options.size() - 1);
  }
  if (meReady && d.chosen == 0 && ++s.streak > kFairness) {
    d.chosen = 1;
    d.forced = true;
  }
  if (d.chosen != 0 || !meReady) s.streak = 0;
  s.decisions.push_back(d);
  return d.options[d.chosen];
}

// Gives the turn to the thread the schedule chooses; returns when the
// calling thread has it again (at once, when it goes on).
void pass(Scheduler& s, std::unique_lock<std::mutex>& lock, Thread* me) {
  std::vector<int> ready;
  for (const auto& t : s.threads)
    if (enabled(*t)) ready.push_back(t->id);
  if (ready.empty()) {
    // Time passes: the earliest deadline ends its wait.
    Thread* first = nullptr;
    for (const auto& t : s.threads)
      if (t->state == Thread::State::kBlocked && t->deadline >= 0 &&
          (first == nullptr || t->deadline < first->deadline))
        first = t.get();
    if (first == nullptr) fatal(s, "every thread waits, none can go on (a hang)");
    s.now = std::max(s.now, first->deadline);
    first->timedOut = true;
    ready.push_back(first->id);
  }
  const int next = choose(s, me, ready);
  if (next == me->id) return;
  s.current = next;
  s.turn.notify_all();
  if (me->state == Thread::State::kFinished) return;
  s.turn.wait(lock, [&] { return s.current == me->id; });
}

std::vector<int> chosenPrefix(const std::vector<Decision>& decisions, std::size_t length) {
  std::vector<int> prefix;
  for (std::size_t i = 0; i < length; ++i)
    prefix.push_back(decisions[i].options[decisions[i].chosen]);
  return prefix;
}

// The next schedule depth first: the latest decision with an untried option
// within the preemption bound. False when none is left.
bool backtrack(Scheduler& s, int bound) {
  std::vector<int> spent(s.decisions.size() + 1, 0);
  for (std::size_t i = 0; i < s.decisions.size(); ++i) {
    const Decision& d = s.decisions[i];
    spent[i + 1] = spent[i] + (d.preemptible && d.chosen != 0 && !d.forced ? 1 : 0);
  }
  for (std::size_t i = s.decisions.size(); i-- > 0;) {
    const Decision& d = s.decisions[i];
    if (d.forced) continue;
    for (std::size_t alt = d.chosen + 1; alt < d.options.size(); ++alt) {
      if (spent[i] + (d.preemptible ? 1 : 0) > bound) break;
      s.prefix = chosenPrefix(s.decisions, i);
      s.prefix.push_back(d.options[alt]);
      return true;
    }
  }
  return false;
}

}  // namespace

bool controlled() {
  return self != nullptr;
}

std::uint64_t run() {
  return state().schedule;
}

int threadNumber() {
  return self != nullptr ? self->id : -1;
}

void point(const char*) {
  if (self == nullptr) return;
  Scheduler& s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  pass(s, lock, self);
}

bool blockUntil(const char* what, std::function<bool()> ready, std::int64_t timeoutMs) {
  if (self == nullptr) {
    while (!ready()) std::this_thread::yield();
    return true;
  }
  Scheduler& s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  Thread* me = self;
  me->state = Thread::State::kBlocked;
  me->ready = std::move(ready);
  me->what = what;
  me->deadline = timeoutMs >= 0 ? s.now + timeoutMs : -1;
  me->timedOut = false;
  for (;;) {
    pass(s, lock, me);
    if (me->ready()) break;
    if (me->timedOut) break;
  }
  const bool done = !me->timedOut || me->ready();
  me->state = Thread::State::kRunnable;
  me->ready = nullptr;
  me->timedOut = false;
  return done;
}

Thread* spawn(std::function<void()> body) {
  Scheduler& s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  auto thread = std::make_unique<Thread>();
  Thread* t = thread.get();
  t->id = static_cast<int>(s.threads.size());
  s.threads.push_back(std::move(thread));
  t->os = std::thread([t, body = std::move(body)]() mutable {
    Scheduler& st = state();
    {
      std::unique_lock<std::mutex> turn(st.mutex);
      st.turn.wait(turn, [&] { return st.current == t->id; });
      self = t;
    }
    try {
      body();
    } catch (...) {
      violation("an exception left a thread");
    }
    // The body may be the module's code, which may be unloaded once the
    // thread is seen to end: nothing of it is left to run after.
    body = nullptr;
    std::unique_lock<std::mutex> turn(st.mutex);
    t->state = Thread::State::kFinished;
    pass(st, turn, t);
    self = nullptr;
  });
  if (self != nullptr) pass(s, lock, self);
  return t;
}

int othersRunning() {
  Scheduler& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  int count = 0;
  for (const auto& t : s.threads)
    if (t.get() != self && t->state != Thread::State::kFinished) ++count;
  return count;
}

bool finished(const Thread* thread) {
  return thread->state == Thread::State::kFinished;
}

void reap(Thread* thread) {
  blockUntil("a thread's end", [thread] { return finished(thread); });
  if (thread->os.joinable()) thread->os.join();
}

void violation(const std::string& what) {
  Scheduler& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.violations.push_back(what + " (" + describe(s) + ")");
}

Result explore(const std::function<void()>& body, const Options& options,
               const std::function<void()>& setUp, const std::function<void()>& tearDown) {
  Scheduler& s = state();
  s.random.seed(options.seed);
  s.prefix.clear();
  s.sampling = false;
  Result result;
  std::size_t lastLength = 1;
  while (result.schedules < options.budget) {
    if (setUp) setUp();
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.threads.clear();
      s.threads.push_back(std::make_unique<Thread>());
      s.current = 0;
      s.now = 0;
      s.streak = 0;
      s.decisions.clear();
      s.violations.clear();
      s.schedule = result.schedules + 1;
      self = s.threads.front().get();
    }
    body();
    // The run ends when every thread has: one that never does is a hang.
    blockUntil("the end of every thread", [&s] {
      for (std::size_t i = 1; i < s.threads.size(); ++i)
        if (s.threads[i]->state != Thread::State::kFinished) return false;
      return true;
    });
    self = nullptr;
    for (auto& t : s.threads)
      if (t->os.joinable()) t->os.join();
    if (tearDown) tearDown();
    ++result.schedules;
    if (!s.violations.empty()) {
      result.violations += s.violations.size();
      if (result.first.empty()) {
        result.first = s.violations.front();
        result.firstAt = result.schedules;
      }
    }
    lastLength = std::max<std::size_t>(1, s.decisions.size());
    if (!s.sampling) {
      if (!backtrack(s, options.preemptions)) {
        result.exhaustive = true;
        break;
      }
      // Half the budget depth first; a space larger than that is sampled.
      if (result.schedules < options.budget / 2) continue;
      s.sampling = true;
    }
    // A seeded sample: switches at up to `preemptions` decisions drawn anew.
    s.prefix.clear();
    s.switchAt.clear();
    for (int i = 0; i < options.preemptions; ++i) s.switchAt.insert(s.random() % lastLength);
  }
  return result;
}

}  // namespace schedule
