// SPDX-License-Identifier: MIT
// The platform layer on the explorer: one model thread runs at a time, every
// operation is a scheduling point, and waits and sleeps use virtual time.
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "explored_platform.h"
#include "platform/atomic.h"
#include "platform/field.h"
#include "platform/platform.h"
#include "scheduler.h"

namespace platform {

struct Event {
  bool signalled = false;
  bool closed = false;
};

struct Thread {
  int model = -1;
  bool returned = false;  // its routine has returned
  bool closed = false;
};

}  // namespace platform

namespace {

struct World {
  explored_platform::Ledger ledger;
  bool failEvent = false;
  bool failThread = false;
  std::function<void()> threadMade;
  std::function<void()> routineReturned;
  std::function<void()> waitRanOut;
  std::vector<std::unique_ptr<platform::Event>> events;
  std::vector<std::unique_ptr<platform::Thread>> threads;
  std::map<int, platform::ThreadId> identities;  // by model thread, once asked
  std::map<int, int64_t> waitedMs;               // by model thread
  std::vector<int> workers;                      // model threads made by the module
};

World world;

// Whether a living thread has the identity `id`.
bool InUse(platform::ThreadId id) {
  for (const auto& [model, identity] : world.identities) {
    if (identity == id && !explorer::Ended(model)) return true;
  }
  return false;
}

}  // namespace

namespace explored_platform {

void Reset(bool failFirstEvent, bool failFirstThread) {
  world = World{};
  world.failEvent = failFirstEvent;
  world.failThread = failFirstThread;
}

const Ledger& Handed() {
  return world.ledger;
}

// Identities are reused as on Windows: a new thread gets the lowest one that
// no living thread has, so often that of a thread that has ended.
void GiveIdentity(int model) {
  platform::ThreadId id = 1;
  while (InUse(id)) ++id;
  world.identities[model] = id;
}

int64_t WaitedMs(int model) {
  auto found = world.waitedMs.find(model);
  return found == world.waitedMs.end() ? 0 : found->second;
}

bool IsWorker(int model) {
  return std::find(world.workers.begin(), world.workers.end(), model) != world.workers.end();
}

void OnWaitRanOut(std::function<void()> hook) {
  world.waitRanOut = std::move(hook);
}

void OnThreadMade(std::function<void()> hook) {
  world.threadMade = std::move(hook);
}

void OnRoutineReturned(std::function<void()> hook) {
  world.routineReturned = std::move(hook);
}

}  // namespace explored_platform

namespace platform {

// Traces name an atomic operation by the function that makes it, with the
// state names of a move written short: "Move<Running, Idle>".
void BeforeAtomicOperation(const char* caller) {
  static std::map<const char*, std::string> names;
  auto found = names.find(caller);
  if (found == names.end()) {
    std::string name = caller;
    for (size_t at; (at = name.find("lifecycle::State::k")) != std::string::npos;) {
      name.erase(at, 19);
    }
    found = names.emplace(caller, name).first;
  }
  explorer::Point("atomic in", found->second.c_str());
}

void AfterAtomicOperation(const void* atomic, bool reads, bool writes, bool replaces) {
  if (reads) explorer::Acquire(atomic);
  if (writes) explorer::Release(atomic, replaces);
}

void OnFieldAccess(const void* field, const char* name, bool writes, const char* caller) {
  explorer::Access(field, name, writes, caller);
}

Event* CreateManualResetEvent() {
  explorer::Point("creates an event");
  if (world.failEvent) {
    world.failEvent = false;
    return nullptr;
  }
  world.events.push_back(std::make_unique<Event>());
  ++world.ledger.liveEvents;
  return world.events.back().get();
}

void SignalEvent(Event* event) {
  explorer::Point("signals an event");
  if (event == nullptr) return;
  if (event->closed) explorer::Fail("handles", "an event is signalled after it was closed");
  explorer::Release(event);
  event->signalled = true;
}

bool IsEventSignalled(Event* event) {
  explorer::Point("tests an event");
  if (event == nullptr) return false;
  if (event->closed) explorer::Fail("handles", "an event is tested after it was closed");
  if (event->signalled) explorer::Acquire(event);
  return event->signalled;
}

void CloseEvent(Event* event) {
  explorer::Point("closes an event");
  if (event == nullptr) return;
  if (event->closed) explorer::Fail("C4", "an event is closed twice");
  event->closed = true;
  --world.ledger.liveEvents;
}

bool StartWorkerThread(Thread** handle, ThreadRoutine routine, void* argument) {
  *handle = nullptr;
  explorer::Point("creates a thread");
  if (world.failThread) {
    world.failThread = false;
    return false;
  }
  world.threads.push_back(std::make_unique<Thread>());
  Thread* thread = world.threads.back().get();
  *handle = thread;
  ++world.ledger.liveThreads;
  ++world.ledger.libraryHolds;
  if (world.threadMade) world.threadMade();
  thread->model = explorer::Spawn("worker", [thread, routine, argument] {
    routine(argument);
    if (world.routineReturned) world.routineReturned();
    explorer::Point("its routine has returned");
    explorer::Release(thread);
    thread->returned = true;
    explorer::Point("ends, dropping its hold on the library");
    --world.ledger.libraryHolds;
  });
  explored_platform::GiveIdentity(thread->model);
  world.workers.push_back(thread->model);
  return true;
}

bool WaitForThread(Thread* thread, uint32_t timeoutMs) {
  if (thread == nullptr) {
    explorer::Point("waits for no thread");
    return true;
  }
  if (thread->closed) explorer::Fail("handles", "a wait for a thread whose handle was closed");
  if (thread->model == explorer::CurrentThread()) {
    explorer::Fail("C3", "a thread waits for its own end");
  }
  int64_t began = explorer::Now();
  bool ended = explorer::Block(
      "waits for the worker",
      [thread] { return thread->returned || explorer::Ended(thread->model); }, timeoutMs);
  // A wait lasts at most its timeout; a thread that resumes later was slow to
  // be scheduled, which is not waiting.
  int64_t waited = std::min<int64_t>(explorer::Now() - began, timeoutMs);
  world.waitedMs[explorer::CurrentThread()] += waited;
  if (thread->returned) {
    explorer::Acquire(thread);
  } else if (ended) {
    explorer::AcquireEndOf(thread->model);
  } else if (world.waitRanOut) {
    world.waitRanOut();
  }
  return ended;
}

void CloseThread(Thread* thread) {
  explorer::Point("closes a thread handle");
  if (thread == nullptr) return;
  if (thread->closed) explorer::Fail("C4", "a thread handle is closed twice");
  thread->closed = true;
  --world.ledger.liveThreads;
}

ThreadId CurrentThreadId() {
  explorer::Point("asks its thread id");
  return world.identities[explorer::CurrentThread()];
}

void SleepMs(uint32_t ms) {
  explorer::Block(
      "sleeps", [] { return false; }, ms);
}

}  // namespace platform
