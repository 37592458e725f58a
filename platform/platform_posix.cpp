// POSIX implementation with the semantics of the Win32 calls the module uses:
// a manual-reset event that is only ever tested, a thread handle that can be
// waited on with a bound and closed while the thread still runs, and a sleep
// that is not cut short by signals.
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <new>

#include "platform.h"
#include "seams.h"

namespace platform {

struct Event {
  std::atomic<bool> signalled{false};
};

// Shared by the handle and the running thread; whichever lets go last frees it.
struct Thread {
  pthread_t id{};
  ThreadRoutine routine = nullptr;
  void* argument = nullptr;
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t ended;
  bool finished = false;
  std::atomic<int> holders{2};
};

namespace {

void LetGo(Thread* thread) {
  if (thread->holders.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  pthread_cond_destroy(&thread->ended);
  pthread_mutex_destroy(&thread->lock);
  delete thread;
}

void* ThreadMain(void* raw) {
  Thread* thread = static_cast<Thread*>(raw);
  thread->routine(thread->argument);
  pthread_mutex_lock(&thread->lock);
  thread->finished = true;
  pthread_cond_broadcast(&thread->ended);
  pthread_mutex_unlock(&thread->lock);
  LetGo(thread);
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

Thread* CreateWorkerThread(size_t stackSize, ThreadRoutine routine, void* argument) {
  if (seams::ThreadCreationFails()) return nullptr;
  Thread* thread = new (std::nothrow) Thread;
  if (thread == nullptr) return nullptr;
  thread->routine = routine;
  thread->argument = argument;
  pthread_condattr_t condAttr;
  pthread_condattr_init(&condAttr);
  pthread_condattr_setclock(&condAttr, CLOCK_MONOTONIC);
  pthread_cond_init(&thread->ended, &condAttr);
  pthread_condattr_destroy(&condAttr);

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stackSize);
  int error = pthread_create(&thread->id, &attr, ThreadMain, thread);
  pthread_attr_destroy(&attr);
  if (error != 0) {
    pthread_cond_destroy(&thread->ended);
    delete thread;
    return nullptr;
  }
  seams::OnThreadCreated();
  return thread;
}

bool WaitForThreadEnd(Thread* thread, uint32_t timeoutMs) {
  if (thread == nullptr) return false;
  bool bounded = timeoutMs != kInfinite;
  timespec deadline = DeadlineAfter(bounded ? seams::BoundedWait(timeoutMs) : 0);
  pthread_mutex_lock(&thread->lock);
  while (!thread->finished) {
    if (!bounded) {
      pthread_cond_wait(&thread->ended, &thread->lock);
    } else if (pthread_cond_timedwait(&thread->ended, &thread->lock, &deadline) == ETIMEDOUT) {
      break;
    }
  }
  bool finished = thread->finished;
  pthread_mutex_unlock(&thread->lock);
  return finished;
}

void CloseThread(Thread* thread) {
  if (thread == nullptr) return;
  pthread_mutex_lock(&thread->lock);
  bool finished = thread->finished;
  pthread_mutex_unlock(&thread->lock);
  // An ended thread is joined so that nothing of it outlives the handle; a
  // running one is detached and cleans up after itself.
  if (finished) {
    pthread_join(thread->id, nullptr);
  } else {
    pthread_detach(thread->id);
  }
  LetGo(thread);
  seams::OnThreadClosed();
}

void SleepMs(uint32_t ms) {
  if (seams::SleepTakenOver(ms)) return;
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace platform
