// The platform layer on the explorer: one model thread runs at a time, every
// operation is a scheduling point, and waits and sleeps use virtual time.
#include <memory>
#include <vector>

#include "explored_platform.h"
#include "platform/atomic.h"
#include "platform/platform.h"
#include "scheduler.h"

namespace platform {

struct Event {
  bool signalled = false;
  bool closed = false;
};

struct Thread {
  int model = -1;
  bool done = false;  // its routine has returned
  bool closed = false;
};

}  // namespace platform

namespace {

struct World {
  explored_platform::Ledger ledger;
  bool failEvent = false;
  bool failThread = false;
  explored_platform::Hooks hooks;
  std::vector<std::unique_ptr<platform::Event>> events;
  std::vector<std::unique_ptr<platform::Thread>> threads;
};

World world;

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

void Watch(Hooks hooks) {
  world.hooks = std::move(hooks);
}

}  // namespace explored_platform

namespace platform {

void BeforeAtomicOperation(const char* caller) {
  explorer::Point("atomic in", caller);
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
  if (event != nullptr) event->signalled = true;
  if (world.hooks.signalled) world.hooks.signalled();
}

bool IsEventSignalled(Event* event) {
  explorer::Point("tests an event");
  return event != nullptr && event->signalled;
}

bool WaitForEvent(Event* event, uint32_t timeoutMs) {
  if (event == nullptr) {
    explorer::Point("waits for no event");
    return false;
  }
  return explorer::Block(
      "waits for an event", [event] { return event->signalled; }, timeoutMs);
}

void CloseEvent(Event* event) {
  explorer::Point("closes an event");
  if (event == nullptr) return;
  if (event->closed) explorer::Fail("C4", "an event is closed twice");
  event->closed = true;
  --world.ledger.liveEvents;
}

Thread* CreateWorkerThread(size_t, ThreadRoutine routine, void* argument) {
  explorer::Point("creates a thread");
  if (world.failThread) {
    world.failThread = false;
    return nullptr;
  }
  world.threads.push_back(std::make_unique<Thread>());
  Thread* thread = world.threads.back().get();
  ++world.ledger.liveThreads;
  ++world.ledger.libraryHolds;
  if (world.hooks.threadMade) world.hooks.threadMade();
  thread->model = explorer::Spawn("worker", [thread, routine, argument] {
    routine(argument);
    explorer::Point("routine returned");
    thread->done = true;
    explorer::Point("drops its hold on the library");
    --world.ledger.libraryHolds;
  });
  return thread;
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
  return static_cast<ThreadId>(explorer::CurrentThread()) + 1;
}

void SleepMs(uint32_t ms) {
  explorer::Block(
      "sleeps", [] { return false; }, ms);
}

}  // namespace platform
