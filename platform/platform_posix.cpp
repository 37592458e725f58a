// POSIX implementation with the semantics of the Win32 calls the module uses:
// a manual-reset event that can be tested and waited on with a bound, a
// detached-on-close thread handle, and a sleep that is not cut short by
// signals. The library is linked so that it is never unloaded (-z nodelete),
// which is what keeps a finishing worker's code mapped.
#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <new>

#include "platform.h"
#include "seams.h"

namespace platform {

// The flag is read without the lock by the worker's frequent test; setting it
// and waiting for it go through the lock, so a waiter that has seen it set
// returns only after the signalling thread has let go of the event.
struct Event {
  std::atomic<bool> signalled{false};
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed;
};

struct Thread {
  pthread_t id;
};

namespace {

constexpr size_t kLeastStackBytes = 1024 * 1024;

// Owned by the new thread, which frees it first thing.
struct ThreadStart {
  ThreadRoutine routine;
  void* argument;
};

void* ThreadMain(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  start.routine(start.argument);
  return nullptr;
}

timespec DeadlineAfter(uint32_t ms) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += ms / 1000;
  t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

}  // namespace

Event* CreateManualResetEvent() {
  if (seams::EventCreationFails()) return nullptr;
  Event* event = new (std::nothrow) Event;
  if (event == nullptr) return nullptr;
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&event->changed, &attr);
  pthread_condattr_destroy(&attr);
  seams::OnEventCreated();
  return event;
}

void SignalEvent(Event* event) {
  if (event == nullptr) return;
  pthread_mutex_lock(&event->lock);
  event->signalled.store(true, std::memory_order_release);
  pthread_cond_broadcast(&event->changed);
  pthread_mutex_unlock(&event->lock);
}

bool IsEventSignalled(Event* event) {
  return event != nullptr && event->signalled.load(std::memory_order_acquire);
}

bool WaitForEvent(Event* event, uint32_t timeoutMs) {
  if (event == nullptr) return false;
  timespec deadline = DeadlineAfter(seams::BoundedWait(timeoutMs));
  pthread_mutex_lock(&event->lock);
  while (!event->signalled.load(std::memory_order_relaxed)) {
    if (pthread_cond_timedwait(&event->changed, &event->lock, &deadline) == ETIMEDOUT) break;
  }
  bool signalled = event->signalled.load(std::memory_order_relaxed);
  pthread_mutex_unlock(&event->lock);
  return signalled;
}

void CloseEvent(Event* event) {
  if (event == nullptr) return;
  pthread_cond_destroy(&event->changed);
  pthread_mutex_destroy(&event->lock);
  delete event;
  seams::OnEventClosed();
}

Thread* CreateWorkerThread(size_t stackSize, ThreadRoutine routine, void* argument) {
  if (seams::ThreadCreationFails()) return nullptr;
  Thread* thread = new (std::nothrow) Thread;
  ThreadStart* start = new (std::nothrow) ThreadStart{routine, argument};
  if (thread == nullptr || start == nullptr) {
    delete thread;
    delete start;
    return nullptr;
  }
  // Host code runs on this thread: give it the room a Windows thread grows to,
  // not the few pages a Windows thread starts with.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  size_t size = 0;
  pthread_attr_getstacksize(&attr, &size);
  size_t least = stackSize > kLeastStackBytes ? stackSize : kLeastStackBytes;
  if (size < least) pthread_attr_setstacksize(&attr, least);
  int error = pthread_create(&thread->id, &attr, ThreadMain, start);
  pthread_attr_destroy(&attr);
  if (error != 0) {
    delete start;
    delete thread;
    return nullptr;
  }
  seams::OnThreadCreated();
  return thread;
}

void CloseThread(Thread* thread) {
  if (thread == nullptr) return;
  // Nobody joins the worker: it ends on its own, and its resources go with it.
  pthread_detach(thread->id);
  delete thread;
  seams::OnThreadClosed();
}

ThreadId CurrentThreadId() {
  pthread_t self = pthread_self();
  ThreadId id = 0;
  static_assert(sizeof self <= sizeof id, "a thread's identity fits a ThreadId");
  memcpy(&id, &self, sizeof self);
  return id;
}

void SleepMs(uint32_t ms) {
  if (seams::SleepTakenOver(ms)) return;
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace platform
