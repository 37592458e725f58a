// SPDX-License-Identifier: MIT
// A schedule explorer: runs a scenario's real code on model threads of which
// only one runs at a time, and decides at every scheduling point which runs
// next. Blocking is modelled (a blocked thread runs again when what it waits
// for holds, or when its timeout fires), and time is virtual: the clock moves
// only when no thread can run, or earlier as a choice, which is how "this wait
// ran out while the other thread was slow" is tried.
//
// Search: every schedule with at most `bound` preemptions (switching away from
// a thread that could go on, or moving the clock early), depth first, each one
// re-run from the scenario's start along a recorded prefix of choices; then
// random schedules with priority change points (PCT). A schedule is replayed
// exactly from its key; only distinct schedules are counted.
//
// Data races: plain fields shared between threads (platform::Field) report
// every access; happens-before is tracked with a vector clock per thread, from
// atomic operations (all taken as sequentially consistent), thread starts,
// waits that saw a thread return or end, and events signalled then seen. Two
// accesses to a field, one a write, that it does not order are a race.
// Out of scope: weak memory orders (a relaxed or acquire load reading an older
// value than the latest store). One thread runs at a time, so every load sees
// the latest store. The DLL's only target is x86, where the module's
// read-modify-write atomics are full barriers; the thread sanitizer on real
// threads is a partial check of orders.
#ifndef PELMAR4_TESTS_SUPPORT_EXPLORER_SCHEDULER_H
#define PELMAR4_TESTS_SUPPORT_EXPLORER_SCHEDULER_H

#include <stdint.h>

#include <functional>
#include <string>

namespace explorer {

// ---- For code that runs on model threads ----

// A point where another thread may run before the caller goes on.
void Point(const char* what, const char* detail = nullptr);
// Blocks until `ready` holds or, when timeoutMs >= 0, until the clock has
// moved on by timeoutMs. True when `ready` holds.
bool Block(const char* what, const std::function<bool()>& ready, int64_t timeoutMs);
// A new model thread that runs `body`; it may run from the next point on.
int Spawn(const char* name, std::function<void()> body);
int CurrentThread();  // 0 is the scenario's own thread
bool Ended(int thread);
int64_t Now();
// Ends every other thread where it stands, as ExitProcess does.
void EndOtherThreads();
// Happens-before. Release passes the caller's clock on through `object`
// (joining what earlier releases passed, unless `replaces`); Acquire takes
// what was passed. AcquireEndOf takes an ended thread's last clock.
void Release(const void* object, bool replaces = false);
void Acquire(const void* object);
void AcquireEndOf(int thread);
// An access to a plain shared field; a race with an earlier one is a failure.
void Access(const void* field, const char* name, bool writes, const char* caller);

// Records a broken promise. The schedule runs on; it is then reported.
void Fail(const char* promise, const std::string& detail);
// Called at every point and at every thread's end, by the thread that
// reached it; for checks that watch state the code under test keeps. Points
// reached inside it are not points.
void Observe(std::function<void()> observer);
// Runs `look` with its points not counting as points: a check's own reads.
void WithoutPoints(const std::function<void()>& look);

// ---- For the driver ----

struct Options {
  int bound = 2;         // preemptions per schedule, depth first
  int randomRuns = 500;  // PCT schedules after that
  int depth = 3;         // PCT: priority change points + 1
  uint64_t seed = 1;
  int stepLimit = 20000;  // points per schedule before it counts as a livelock
  bool races = true;      // data races on plain fields are failures
};

struct Outcome {
  long schedules = 0;
  bool violated = false;
};

// Explores `body`, run on thread 0 of each schedule; `check` runs when every
// thread of a schedule has ended. The first broken promise ends the search; it
// is printed with the schedule's trace and its key, `keyPrefix` followed by
// the schedule's choices.
Outcome Explore(const std::string& keyPrefix, const std::function<void()>& body,
                const std::function<void()>& check, const Options& options);
// Runs the one schedule whose choices `choices` names (a key without its
// prefix) and prints its trace.
Outcome Replay(const std::string& choices, const std::function<void()>& body,
               const std::function<void()>& check, const Options& options);

}  // namespace explorer

#endif
