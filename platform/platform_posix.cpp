// SPDX-License-Identifier: MIT
// POSIX implementation with the semantics of the Win32 calls the module uses.
// Threads are detached: a handle is a block the creator and the thread share,
// freed by whichever lets go of it last, and the thread's routine returning is
// signalled through it. The library is linked so that it is never unloaded
// (-z nodelete), which is what keeps a finishing worker's code mapped; a POSIX
// thread ends only by returning, so "ended" needs no other sign. Sleeps are
// not cut short by signals.
#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <new>

#include "platform.h"
#include "seams.h"

namespace platform {

struct Event {
  std::atomic<bool> signalled{false};
};

struct Thread {
  ThreadRoutine routine;
  void* argument;
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed;
  bool returned = false;        // under `lock`
  std::atomic<int> holders{2};  // the handle and the thread
};

namespace {

constexpr size_t kLeastStackBytes = 1024 * 1024;

void Free(Thread* thread) {
  pthread_cond_destroy(&thread->changed);
  pthread_mutex_destroy(&thread->lock);
  delete thread;
}

void Drop(Thread* thread) {
  if (thread->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) Free(thread);
}

void* ThreadMain(void* raw) {
  auto* thread = static_cast<Thread*>(raw);
  thread->routine(thread->argument);
  pthread_mutex_lock(&thread->lock);
  thread->returned = true;
  pthread_cond_broadcast(&thread->changed);
  pthread_mutex_unlock(&thread->lock);
  Drop(thread);
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
  if (event != nullptr) seams::OnEventCreated();
  return event;
}

void SignalEvent(Event* event) {
  if (event != nullptr) event->signalled.store(true, std::memory_order_release);
}

bool IsEventSignalled(Event* event) {
  return event != nullptr && event->signalled.load(std::memory_order_acquire);
}

void CloseEvent(Event* event) {
  if (event == nullptr) return;
  delete event;
  seams::OnEventClosed();
}

bool StartWorkerThread(Thread** handle, ThreadRoutine routine, void* argument) {
  *handle = nullptr;
  Thread* thread = new (std::nothrow) Thread;
  if (thread == nullptr) return false;
  thread->routine = routine;
  thread->argument = argument;
  pthread_condattr_t condition;
  pthread_condattr_init(&condition);
  pthread_condattr_setclock(&condition, CLOCK_MONOTONIC);
  pthread_cond_init(&thread->changed, &condition);
  pthread_condattr_destroy(&condition);
  // Host code runs on this thread: give it the room a Windows thread grows to,
  // not the few pages a Windows thread starts with.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  size_t size = 0;
  pthread_attr_getstacksize(&attr, &size);
  if (size < kLeastStackBytes) pthread_attr_setstacksize(&attr, kLeastStackBytes);
  *handle = thread;
  pthread_t id;
  int error =
      seams::ThreadCreationFails() ? EAGAIN : pthread_create(&id, &attr, ThreadMain, thread);
  pthread_attr_destroy(&attr);
  if (error != 0) {
    *handle = nullptr;
    Free(thread);
    return false;
  }
  seams::OnThreadCreated();
  return true;
}

bool WaitForThread(Thread* thread, uint32_t timeoutMs) {
  if (thread == nullptr) return true;
  timespec deadline = DeadlineAfter(timeoutMs);
  pthread_mutex_lock(&thread->lock);
  while (!thread->returned) {
    if (pthread_cond_timedwait(&thread->changed, &thread->lock, &deadline) == ETIMEDOUT) break;
  }
  bool returned = thread->returned;
  pthread_mutex_unlock(&thread->lock);
  return returned;
}

void CloseThread(Thread* thread) {
  if (thread == nullptr) return;
  Drop(thread);
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
