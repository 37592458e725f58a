// SPDX-License-Identifier: MIT
// The few operating-system services the module needs, with one meaning on every
// platform: a manual-reset event that can be tested, a worker thread that can
// be waited for with a bound, the calling thread's identity, a sleep. Win32
// provides them directly; the POSIX build implements the same semantics.
// The lifecycle promises C3 (bounded waits, also at process exit) and C6 (the
// code stays mapped) of interfaces/remote_module.h rest on the thread calls.
#ifndef PELMAR4_PLATFORM_PLATFORM_H
#define PELMAR4_PLATFORM_PLATFORM_H

#include <stdint.h>

namespace platform {

struct Event;   // opaque
struct Thread;  // opaque

using ThreadRoutine = void (*)(void* argument);

// Identifies a running thread: the address of the block the system keeps for
// it (Win32's thread information block, glibc's thread descriptor), so never 0
// and, being aligned, never ~0. Windows 9x's own thread identities may be any
// number, so they are not used. A block is reused as soon as its thread has
// ended, so a later thread may have an ended one's identity; the module
// compares identities only with threads that are still inside it (the caller
// of a Start or Stop under way, the worker until its last move), so an
// identity it compares with never belongs to an ended thread.
using ThreadId = uintptr_t;

// An unnamed, manual-reset event, not signalled. Null when it cannot be made.
Event* CreateManualResetEvent();
// Signals the event; it stays signalled.
void SignalEvent(Event* event);
// Tests the event without waiting. False for a null event.
bool IsEventSignalled(Event* event);
void CloseEvent(Event* event);

// Runs `routine(argument)` on a new thread, at once. `*handle` is set before
// the routine can run, so whatever it reaches finds the handle in place; when
// no thread can be made it is null and the result false. The thread has room
// for host code on its stack: on Windows a 32 KiB commit that grows to the
// process's reserve, on POSIX the system's default, never under 1 MiB. The
// library's code stays mapped until the thread has ended, whatever the host
// does with the library meanwhile.
bool StartWorkerThread(Thread** handle, ThreadRoutine routine, void* argument);
// Waits at most `timeoutMs` until the thread's routine has returned or the
// thread has ended without it (at process exit, on Windows). True then, and
// for a null handle. Under a loader lock a thread cannot end, but its routine
// can still return, so such a wait ends too.
bool WaitForThread(Thread* thread, uint32_t timeoutMs);
// Drops the handle, at any time, on any thread, the thread's own included: a
// thread that still runs goes on and cleans up after itself.
void CloseThread(Thread* thread);

ThreadId CurrentThreadId();

void SleepMs(uint32_t ms);

}  // namespace platform

#endif
