// The few operating-system services the module needs, with one meaning on every
// platform: a manual-reset event, a worker thread, a bounded wait for a thread's
// end, a sleep. Win32 provides them directly; the POSIX build implements the same
// semantics itself.
#ifndef PELMAR4_PLATFORM_PLATFORM_H
#define PELMAR4_PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

namespace platform {

struct Event;   // opaque
struct Thread;  // opaque

#if defined(_WIN32)
#define PLATFORM_THREAD_CALL __stdcall
#else
#define PLATFORM_THREAD_CALL
#endif

// A thread's start routine; its result is the thread's exit code.
using ThreadRoutine = unsigned long(PLATFORM_THREAD_CALL*)(void* argument);

// Waits without a bound.
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// An unnamed, manual-reset event, not signalled. Null when it cannot be made.
Event* CreateManualResetEvent();
// Signals the event; it stays signalled.
void SignalEvent(Event* event);
// Tests the event without waiting. False for a null event.
bool IsEventSignalled(Event* event);
void CloseEvent(Event* event);

// A thread running `routine(argument)` at once, with a stack of `stackSize`
// bytes. Null when it cannot be made.
Thread* CreateWorkerThread(size_t stackSize, ThreadRoutine routine, void* argument);
// Waits at most `timeoutMs` (or without a bound, kInfinite) for the thread to
// end. True when it has ended.
bool WaitForThreadEnd(Thread* thread, uint32_t timeoutMs);
// Drops the handle. A thread that still runs goes on running.
void CloseThread(Thread* thread);

void SleepMs(uint32_t ms);

}  // namespace platform

#endif
