// The few operating-system services the module needs, with one meaning on every
// platform: a manual-reset event that can be tested and waited on with a bound,
// a worker thread, the calling thread's identity, a sleep. Win32 provides them
// directly; the POSIX build implements the same semantics itself.
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

// Identifies a running thread; never 0.
using ThreadId = uintptr_t;

// An unnamed, manual-reset event, not signalled. Null when it cannot be made.
Event* CreateManualResetEvent();
// Signals the event; it stays signalled. Once a waiter has seen the signal, the
// signalling thread no longer touches the event, so the waiter may close it.
void SignalEvent(Event* event);
// Tests the event without waiting. False for a null event.
bool IsEventSignalled(Event* event);
// Waits at most `timeoutMs` for the event. True when it is signalled; false on
// timeout or for a null event.
bool WaitForEvent(Event* event, uint32_t timeoutMs);
void CloseEvent(Event* event);

// A thread running `routine(argument)` at once. Null when it cannot be made.
// `stackSize` is the least stack the thread starts with: on Windows the
// initial commit, the stack growing to the process's reserve as host code
// needs; on POSIX the stack is the system's default, never under 1 MiB. The
// code of the library that made the thread stays loaded until it has ended,
// so a host may unload the library while the thread finishes.
Thread* CreateWorkerThread(size_t stackSize, ThreadRoutine routine, void* argument);
// Drops the handle. A thread that still runs goes on running and cleans up
// after itself; a thread may close its own handle.
void CloseThread(Thread* thread);

ThreadId CurrentThreadId();

void SleepMs(uint32_t ms);

}  // namespace platform

#endif
