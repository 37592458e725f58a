// SPDX-License-Identifier: MIT
#include "scheduler.h"

#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace explorer {
namespace {

// Thrown at a point of a thread that is ended from outside (EndOtherThreads, or
// a schedule given up after a deadlock); caught where the thread began.
struct Killed {};

// At most this many threads take part in a schedule.
constexpr int kMostThreads = 16;

// A vector clock: entry i counts thread i's synchronising steps.
struct Clock {
  uint32_t at[kMostThreads] = {};
  void Join(const Clock& other) {
    for (int i = 0; i < kMostThreads; ++i) at[i] = std::max(at[i], other.at[i]);
  }
};

// A plain field's last write and the reads since, each as (thread, its own
// clock entry then) and the function that made it.
struct FieldState {
  int writer = -1;
  uint32_t writeEpoch = 0;
  const char* writeCaller = nullptr;
  uint32_t readEpoch[kMostThreads] = {};
  const char* readCaller[kMostThreads] = {};
};

struct ModelThread {
  std::string name;
  enum State { kRunnable, kBlocked, kFinished } state = kRunnable;
  const std::function<bool()>* ready = nullptr;  // while blocked
  int64_t deadline = -1;                         // while blocked; -1: none
  bool killed = false;
  Clock clock;
  std::condition_variable turn;
};

// Operating-system threads kept from one schedule to the next: making one
// costs more than a whole schedule does, under the sanitizers most of all.
class ThreadPool {
 public:
  void Run(std::function<void()> job) {
    std::lock_guard<std::mutex> guard(lock);
    ++busy;
    if (idle.empty()) {
      workers.push_back(std::make_unique<Worker>());
      Worker* worker = workers.back().get();
      worker->os = std::thread([this, worker] { Serve(*worker); });
      idle.push_back(worker);
    }
    Worker* worker = idle.back();
    idle.pop_back();
    worker->job = std::move(job);
    worker->wake.notify_one();
  }
  // Until every job handed out has returned.
  void WaitUntilIdle() {
    std::unique_lock<std::mutex> guard(lock);
    done.wait(guard, [this] { return busy == 0; });
  }

 private:
  struct Worker {
    std::thread os;
    std::function<void()> job;
    std::condition_variable wake;
  };
  void Serve(Worker& worker) {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
      worker.wake.wait(guard, [&] { return static_cast<bool>(worker.job); });
      std::function<void()> job = std::move(worker.job);
      worker.job = nullptr;
      guard.unlock();
      job();
      job = nullptr;
      guard.lock();
      idle.push_back(&worker);
      if (--busy == 0) done.notify_all();
    }
  }
  std::mutex lock;
  std::condition_variable done;
  std::vector<std::unique_ptr<Worker>> workers;
  std::vector<Worker*> idle;
  int busy = 0;
};

// Its threads wait for work until the process exits; it is never destroyed.
ThreadPool& Pool() {
  static ThreadPool* pool = new ThreadPool;
  return *pool;
}

struct Step {
  int thread;  // -1: the clock
  const char* what;
  const char* detail;
  int64_t time;
};

// The options of a decision are: the thread that goes on (or the first that
// can run), the other threads that can run, then the clock when a timeout is
// pending. Their costs follow from that.
struct Decision {
  uint8_t chosen;
  uint8_t count;
  bool goesOn;  // the running thread could have gone on: others are preemptions
  bool clock;   // the last option moves the clock early
  int Cost(int option) const {
    if (option == 0) return 0;
    return (clock && option == count - 1) || goesOn ? 1 : 0;
  }
};

// What a decision chooses from: thread numbers, -1 for the clock.
struct Choices {
  int at[kMostThreads + 1];
  int count = 0;
  void Add(int option) { at[count++] = option; }
};

class Chooser {
 public:
  virtual ~Chooser() = default;
  virtual int Choose(const Choices& options, int running) = 0;
};

// Follows a prefix of choices, then always takes the first option: the running
// thread goes on, or the lowest-numbered one that can.
// A recorded choice that is not there to take means the key does not belong to
// this scenario or this code: the run is stopped rather than turned into
// another schedule.
class PrefixChooser : public Chooser {
 public:
  explicit PrefixChooser(std::vector<int> prefix) : prefix(std::move(prefix)) {}
  int Choose(const Choices& options, int) override {
    int choice = made < prefix.size() ? prefix[made] : 0;
    if (choice >= options.count) {
      fprintf(stderr, "interleavings: choice %zu of the key is %d, but only %d options are there\n",
              made + 1, choice, options.count);
      abort();
    }
    ++made;
    return choice;
  }

 private:
  std::vector<int> prefix;
  size_t made = 0;
};

// PCT: random priorities, the highest enabled runs; at depth-1 random decisions
// the running thread drops below every other. The clock takes part like a
// thread, so early timeouts are tried too.
class PriorityChooser : public Chooser {
 public:
  PriorityChooser(uint64_t seed, int depth, int length) : random(seed), depth(depth) {
    std::uniform_int_distribution<int> at(0, std::max(length, 1) - 1);
    for (int i = 1; i < depth; ++i) changeAt.push_back(at(random));
  }
  int Choose(const Choices& options, int running) override {
    for (size_t i = 0; i < changeAt.size(); ++i) {
      if (changeAt[i] == made) Priority(running) = static_cast<int>(i);
    }
    ++made;
    // The clock moves early at most depth-1 times: a clock that always won
    // would starve the threads, which no real machine does for long.
    bool clockMayMove = earlyMoves < depth - 1;
    int best = -1;
    for (int i = 0; i < options.count; ++i) {
      if (options.at[i] < 0 && !clockMayMove) continue;
      if (best < 0 || Priority(options.at[i]) > Priority(options.at[best])) best = i;
    }
    if (options.at[best] < 0) ++earlyMoves;
    return best;
  }

 private:
  // A participant's priority, drawn when it is first seen; -1 is the clock.
  int& Priority(int participant) {
    for (auto& p : priority) {
      if (p.first == participant) return p.second;
    }
    priority.emplace_back(participant, std::uniform_int_distribution<int>(depth, 1 << 30)(random));
    return priority.back().second;
  }

  std::mt19937_64 random;
  int depth;
  std::vector<int> changeAt;
  std::vector<std::pair<int, int>> priority;
  int made = 0;
  int earlyMoves = 0;
};

class Run {
 public:
  Run(Chooser& chooser, const Options& options)
      : races(options.races), chooser(chooser), stepLimit(options.stepLimit) {
    trace.reserve(1024);
    decisions.reserve(256);
  }

  int AddThread(const char* name, std::function<void()> body);
  void Enter(int self, const char* what, const char* detail);
  int Decide(int self);
  void SwitchTo(int self, int next);
  void Finish(int self, ModelThread& me);
  void Abandon(int self);
  void WaitUntilAllEnded();
  void Record(int thread, const char* what, const char* detail) {
    trace.push_back({thread, what, detail, now});
  }
  void PrintTrace() const;

  std::mutex lock;
  std::condition_variable changed;  // a thread has ended
  std::vector<std::unique_ptr<ModelThread>> threads;
  int current = -1;  // the thread that may run; none until the driver starts thread 0
  size_t finished = 0;
  int64_t now = 0;
  bool abandoned = false;
  std::vector<Step> trace;
  std::vector<Decision> decisions;
  std::string violation;
  std::function<void()> observer;
  std::unordered_map<const void*, Clock> passed;  // by Release, for Acquire
  std::unordered_map<const void*, FieldState> fields;
  bool races;

 private:
  Chooser& chooser;
  int stepLimit;
  int steps = 0;
};

Run* run = nullptr;                // the schedule under way
thread_local int self = -1;        // this thread's index in it
thread_local bool inside = false;  // in the scheduler or an observer: no points

void ThreadMain(Run* r, int index, ModelThread& me, const std::function<void()>& body) {
  self = index;
  inside = false;
  {
    std::unique_lock<std::mutex> guard(r->lock);
    me.turn.wait(guard, [&] { return r->current == index || me.killed; });
  }
  if (!me.killed) {
    try {
      body();
    } catch (const Killed&) {
    }
  }
  r->Finish(index, me);
}

int Run::AddThread(const char* name, std::function<void()> body) {
  auto thread = std::make_unique<ModelThread>();
  ModelThread& t = *thread;
  t.name = name;
  int index;
  {
    std::lock_guard<std::mutex> guard(lock);
    index = static_cast<int>(threads.size());
    if (index == kMostThreads) abort();
    // A thread starts with everything its maker did before.
    if (self >= 0 && run == this) {
      ModelThread& maker = *threads[self];
      t.clock = maker.clock;
      ++maker.clock.at[self];
    }
    t.clock.at[index] = 1;
    threads.push_back(std::move(thread));
  }
  Pool().Run([this, index, &t, body = std::move(body)] { ThreadMain(this, index, t, body); });
  return index;
}

void Run::Enter(int thread, const char* what, const char* detail) {
  Record(thread, what, detail);
  if (++steps > stepLimit) {
    if (violation.empty())
      violation = "livelock: more than " + std::to_string(stepLimit) + " points";
    Abandon(thread);
    throw Killed{};
  }
  if (observer) WithoutPoints(observer);
}

// The next thread to run, chosen among those that can; moves the clock when
// none can. -1 when every thread has ended; -2 when the schedule is given up.
int Run::Decide(int thread) {
  for (;;) {
    int enabled[kMostThreads];
    int canRun = 0;
    int64_t timer = INT64_MAX;
    bool allEnded = true;
    inside = true;
    for (size_t i = 0; i < threads.size(); ++i) {
      ModelThread& t = *threads[i];
      if (t.state == ModelThread::kFinished) continue;
      allEnded = false;
      if (t.state == ModelThread::kRunnable || (*t.ready)() ||
          (t.deadline >= 0 && now >= t.deadline)) {
        enabled[canRun++] = static_cast<int>(i);
      } else if (t.deadline >= 0) {
        timer = std::min(timer, t.deadline);
      }
    }
    inside = false;
    if (canRun == 0) {
      if (allEnded) return -1;
      if (timer == INT64_MAX) {
        std::string blocked;
        for (const auto& t : threads) {
          if (t->state == ModelThread::kBlocked) blocked += " " + t->name;
        }
        if (violation.empty()) violation = "deadlock: blocked for good:" + blocked;
        Abandon(thread);
        return -2;
      }
      now = timer;
      continue;
    }
    bool goesOn = std::find(enabled, enabled + canRun, thread) != enabled + canRun;
    Choices options;
    options.Add(goesOn ? thread : enabled[0]);
    for (int i = 0; i < canRun; ++i) {
      if (enabled[i] != options.at[0]) options.Add(enabled[i]);
    }
    bool clock = timer != INT64_MAX;
    if (clock) options.Add(-1);
    int chosen = 0;
    if (options.count > 1) {
      chosen = chooser.Choose(options, thread);
      decisions.push_back(
          {static_cast<uint8_t>(chosen), static_cast<uint8_t>(options.count), goesOn, clock});
    }
    if (options.at[chosen] >= 0) return options.at[chosen];
    now = timer;
    Record(-1, "moves on early", nullptr);
  }
}

void Run::SwitchTo(int thread, int next) {
  if (next == -2) throw Killed{};
  if (next == thread) return;
  std::unique_lock<std::mutex> guard(lock);
  current = next;
  threads[next]->turn.notify_one();
  ModelThread& me = *threads[thread];
  me.turn.wait(guard, [&] { return current == thread || me.killed; });
  if (me.killed) throw Killed{};
}

void Run::Finish(int thread, ModelThread& me) {
  int next = -1;
  bool handOn = !me.killed && !abandoned;
  if (handOn) {
    me.state = ModelThread::kFinished;
    Record(thread, "ends", nullptr);
    if (observer) WithoutPoints(observer);
    next = Decide(thread);
  }
  std::lock_guard<std::mutex> guard(lock);
  me.state = ModelThread::kFinished;
  ++finished;
  if (handOn && next >= 0) {
    current = next;
    threads[next]->turn.notify_one();
  }
  changed.notify_all();
}

// Ends every thread but `thread` at the point where it waits.
void Run::Abandon(int thread) {
  abandoned = true;
  std::lock_guard<std::mutex> guard(lock);
  for (size_t i = 0; i < threads.size(); ++i) {
    if (static_cast<int>(i) == thread || threads[i]->state == ModelThread::kFinished) continue;
    threads[i]->killed = true;
    threads[i]->turn.notify_one();
  }
}

void Run::WaitUntilAllEnded() {
  std::unique_lock<std::mutex> guard(lock);
  changed.wait(guard, [&] { return finished == threads.size(); });
}

void Run::PrintTrace() const {
  int64_t shownTime = -1;
  int shownThread = -2;
  std::string line;
  auto flush = [&] {
    if (!line.empty()) printf("%s\n", line.c_str());
    line.clear();
  };
  for (const Step& step : trace) {
    if (step.thread != shownThread || step.time != shownTime) {
      flush();
      const char* name = step.thread < 0 ? "clock" : threads[step.thread]->name.c_str();
      char head[64];
      snprintf(head, sizeof head, "  %7lld ms  %-7s ", static_cast<long long>(step.time), name);
      line = head;
      shownThread = step.thread;
      shownTime = step.time;
    } else {
      line += ", ";
    }
    line += step.what;
    if (step.detail != nullptr) {
      line += " ";
      line += step.detail;
    }
  }
  flush();
}

std::string KeyOf(const std::vector<Decision>& decisions) {
  std::string choices;
  for (const Decision& d : decisions) choices += "0123456789abcdefghijklmnopqrstuvwxyz"[d.chosen];
  while (!choices.empty() && choices.back() == '0') choices.pop_back();
  return choices;
}

std::vector<int> ChoicesOf(const std::string& key) {
  std::vector<int> choices;
  for (char c : key) choices.push_back(c >= 'a' ? c - 'a' + 10 : c - '0');
  return choices;
}

struct Result {
  std::vector<Decision> decisions;
  std::string violation;
};

Result RunOnce(const std::function<void()>& body, const std::function<void()>& check,
               Chooser& chooser, const Options& options, bool printTrace) {
  Run r(chooser, options);
  run = &r;
  r.AddThread("host A", body);
  {
    std::lock_guard<std::mutex> guard(r.lock);
    r.current = 0;
    r.threads[0]->turn.notify_one();
  }
  r.WaitUntilAllEnded();
  Pool().WaitUntilIdle();
  check();
  run = nullptr;
  if (printTrace) r.PrintTrace();
  return {std::move(r.decisions), std::move(r.violation)};
}

// The next prefix to try depth first: the last decision that has an untried
// option within the bound, taking that option.
bool Backtrack(const std::vector<Decision>& decisions, int bound, std::vector<int>& prefix) {
  std::vector<int> spent(decisions.size() + 1, 0);
  for (size_t i = 0; i < decisions.size(); ++i) {
    spent[i + 1] = spent[i] + decisions[i].Cost(decisions[i].chosen);
  }
  for (size_t i = decisions.size(); i-- > 0;) {
    const Decision& d = decisions[i];
    for (int j = d.chosen + 1; j < d.count; ++j) {
      if (spent[i] + d.Cost(j) > bound) continue;
      prefix.clear();
      for (size_t k = 0; k < i; ++k) prefix.push_back(decisions[k].chosen);
      prefix.push_back(static_cast<int>(j));
      return true;
    }
  }
  return false;
}

void Report(const std::string& keyPrefix, const std::function<void()>& body,
            const std::function<void()>& check, const Options& options, const Result& result) {
  std::string key = keyPrefix + KeyOf(result.decisions);
  printf("  violated: %s\n  schedule (virtual time, thread, points):\n", result.violation.c_str());
  PrefixChooser replay(ChoicesOf(KeyOf(result.decisions)));
  RunOnce(body, check, replay, options, true);
  printf("  replay: interleavings --replay %s\n", key.c_str());
  fflush(stdout);
}

}  // namespace

void Point(const char* what, const char* detail) {
  if (run == nullptr || self < 0 || inside) return;
  run->Enter(self, what, detail);
  run->SwitchTo(self, run->Decide(self));
}

bool Block(const char* what, const std::function<bool()>& ready, int64_t timeoutMs) {
  if (run == nullptr || self < 0 || inside) return ready();
  Run& r = *run;
  r.Enter(self, what, nullptr);
  ModelThread& me = *r.threads[self];
  me.state = ModelThread::kBlocked;
  me.ready = &ready;
  me.deadline = timeoutMs >= 0 ? r.now + timeoutMs : -1;
  r.SwitchTo(self, r.Decide(self));
  me.state = ModelThread::kRunnable;
  me.ready = nullptr;
  return ready();
}

int Spawn(const char* name, std::function<void()> body) {
  run->Record(self, "makes a thread:", name);
  return run->AddThread(name, std::move(body));
}

int CurrentThread() {
  return self;
}

bool Ended(int thread) {
  return run->threads[thread]->state == ModelThread::kFinished;
}

int64_t Now() {
  return run->now;
}

void EndOtherThreads() {
  Run& r = *run;
  r.Record(self, "ends every other thread where it stands", nullptr);
  std::vector<int> ended;
  {
    std::lock_guard<std::mutex> guard(r.lock);
    for (size_t i = 0; i < r.threads.size(); ++i) {
      ModelThread& t = *r.threads[i];
      if (static_cast<int>(i) == self || t.state == ModelThread::kFinished) continue;
      t.killed = true;
      t.turn.notify_one();
      ended.push_back(static_cast<int>(i));
    }
  }
  std::unique_lock<std::mutex> guard(r.lock);
  r.changed.wait(guard, [&] {
    return std::all_of(ended.begin(), ended.end(),
                       [&](int i) { return r.threads[i]->state == ModelThread::kFinished; });
  });
}

void Release(const void* object, bool replaces) {
  if (run == nullptr || self < 0 || inside) return;
  Clock& mine = run->threads[self]->clock;
  Clock& there = run->passed[object];
  if (replaces) there = Clock{};
  there.Join(mine);
  ++mine.at[self];
}

void Acquire(const void* object) {
  if (run == nullptr || self < 0 || inside) return;
  auto found = run->passed.find(object);
  if (found != run->passed.end()) run->threads[self]->clock.Join(found->second);
}

void AcquireEndOf(int thread) {
  if (run == nullptr || self < 0 || inside) return;
  run->threads[self]->clock.Join(run->threads[thread]->clock);
}

void Access(const void* field, const char* name, bool writes, const char* caller) {
  if (run == nullptr || self < 0 || inside) return;
  Run& r = *run;
  const Clock& mine = r.threads[self]->clock;
  FieldState& state = r.fields[field];
  auto race = [&](int other, const char* otherCaller, bool otherWrites) {
    r.Record(self, "races on", name);
    if (!r.races || !r.violation.empty()) return;
    r.violation = std::string("data race on `") + name + "`: " + r.threads[self]->name + " " +
                  (writes ? "writes" : "reads") + " it in " + caller + ", unordered with " +
                  r.threads[other]->name + "'s " + (otherWrites ? "write" : "read") + " in " +
                  otherCaller;
  };
  int writer = state.writer;
  if (writer >= 0 && writer != self && mine.at[writer] < state.writeEpoch) {
    race(writer, state.writeCaller, true);
  }
  if (writes) {
    for (int i = 0; i < kMostThreads; ++i) {
      if (i != self && state.readEpoch[i] != 0 && mine.at[i] < state.readEpoch[i]) {
        race(i, state.readCaller[i], false);
      }
    }
    state = FieldState{};
    state.writer = self;
    state.writeEpoch = mine.at[self];
    state.writeCaller = caller;
  } else {
    state.readEpoch[self] = mine.at[self];
    state.readCaller[self] = caller;
  }
}

void Fail(const char* promise, const std::string& detail) {
  if (run == nullptr) return;
  run->Record(self, "breaks", promise);
  if (run->violation.empty()) run->violation = std::string(promise) + ": " + detail;
}

void Observe(std::function<void()> observer) {
  run->observer = std::move(observer);
}

void WithoutPoints(const std::function<void()>& look) {
  bool was = inside;
  inside = true;
  look();
  inside = was;
}

Outcome Replay(const std::string& choices, const std::function<void()>& body,
               const std::function<void()>& check, const Options& options) {
  PrefixChooser replay(ChoicesOf(choices));
  Result result = RunOnce(body, check, replay, options, true);
  Outcome outcome;
  outcome.schedules = 1;
  outcome.violated = !result.violation.empty();
  printf("  %s\n", outcome.violated ? result.violation.c_str() : "no promise broken");
  return outcome;
}

Outcome Explore(const std::string& keyPrefix, const std::function<void()>& body,
                const std::function<void()>& check, const Options& options) {
  Outcome outcome;
  size_t longest = 0;
  // Each schedule is counted once: a random one may repeat one already run.
  std::unordered_set<std::string> seen;
  // Bound 0, then 1, and so on: a broken promise is reported with the fewest
  // preemptions that show it.
  for (int bound = 0; bound <= options.bound; ++bound) {
    std::vector<int> prefix;
    for (;;) {
      PrefixChooser chooser(prefix);
      Result result = RunOnce(body, check, chooser, options, false);
      int spent = 0;
      for (const Decision& d : result.decisions) spent += d.Cost(d.chosen);
      if (seen.insert(KeyOf(result.decisions)).second) ++outcome.schedules;
      longest = std::max(longest, result.decisions.size());
      if (!result.violation.empty()) {
        printf("  with %d preemption%s\n", spent, spent == 1 ? "" : "s");
        Report(keyPrefix, body, check, options, result);
        outcome.violated = true;
        return outcome;
      }
      if (!Backtrack(result.decisions, bound, prefix)) break;
    }
  }
  for (int i = 0; i < options.randomRuns; ++i) {
    uint64_t seed = options.seed * 1000003u + static_cast<uint64_t>(i);
    PriorityChooser chooser(seed, options.depth, static_cast<int>(longest));
    Result result = RunOnce(body, check, chooser, options, false);
    if (seen.insert(KeyOf(result.decisions)).second) ++outcome.schedules;
    if (!result.violation.empty()) {
      printf("  found by a random schedule, seed %llu\n", static_cast<unsigned long long>(seed));
      Report(keyPrefix, body, check, options, result);
      outcome.violated = true;
      return outcome;
    }
  }
  return outcome;
}

}  // namespace explorer
