// SPDX-License-Identifier: MIT
// Win32 implementation: the platform's own event, thread, wait and sleep calls.
#include <stdlib.h>
#include <windows.h>

#include "platform.h"
#include "seams.h"

namespace platform {

// A thread handle: a block the creator, the holder of the handle and the
// thread itself share, freed by whichever lets go of it last. `returned` is
// set when the routine has returned; the thread's own handle is signalled when
// it has ended. `held` is set once the creator has taken the thread's
// reference on the library (`library`), which the thread drops as it ends.
struct Thread {
  HANDLE thread;
  HANDLE returned;
  HANDLE held;
  ThreadRoutine routine;
  void* argument;
  HMODULE library;
  LONG holders;
};

namespace {

// The thread's stack starts with this much committed and grows to the
// process's reserve as host code needs.
constexpr SIZE_T kStackCommitBytes = 32768;

HANDLE AsHandle(void* object) {
  return static_cast<HANDLE>(object);
}

// Frees a block whose thread was never made, or has let go of it.
void Discard(Thread* thread) {
  CloseHandle(thread->returned);
  CloseHandle(thread->held);
  free(thread);
}

void Drop(Thread* thread) {
  if (__atomic_sub_fetch(&thread->holders, 1, __ATOMIC_ACQ_REL) != 0) return;
  CloseHandle(thread->thread);
  Discard(thread);
}

DWORD WINAPI ThreadEntry(void* raw) {
  auto* thread = static_cast<Thread*>(raw);
  // Does not wait long: the creator takes the reference right after making
  // this thread, and under a loader lock this thread cannot even start before.
  WaitForSingleObject(thread->held, INFINITE);
  HMODULE library = thread->library;
  thread->routine(thread->argument);
  SetEvent(thread->returned);
  Drop(thread);
  // Drops the thread's reference and ends the thread without returning into
  // code that the host may have unloaded meanwhile.
  FreeLibraryAndExitThread(library, 0);
}

}  // namespace

Event* CreateManualResetEvent() {
  if (seams::EventCreationFails()) return nullptr;
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return nullptr;
  seams::OnEventCreated();
  return reinterpret_cast<Event*>(event);
}

void SignalEvent(Event* event) {
  if (event != nullptr) SetEvent(AsHandle(event));
}

bool IsEventSignalled(Event* event) {
  return event != nullptr && WaitForSingleObject(AsHandle(event), 0) == WAIT_OBJECT_0;
}

void CloseEvent(Event* event) {
  if (event == nullptr) return;
  CloseHandle(AsHandle(event));
  seams::OnEventClosed();
}

// The thread's reference on the library is taken on the caller's thread, so
// that the library cannot go between the thread's creation and its first
// instruction, and only once the thread exists, so that no failure leaves a
// reference behind: the host's own keeps the library loaded during the call.
bool StartWorkerThread(Thread** handle, ThreadRoutine routine, void* argument) {
  *handle = nullptr;
  if (seams::ThreadCreationFails()) return false;
  auto* thread = static_cast<Thread*>(malloc(sizeof(Thread)));
  if (thread == nullptr) return false;
  *thread = {nullptr,
             CreateEventA(nullptr, TRUE, FALSE, nullptr),
             CreateEventA(nullptr, TRUE, FALSE, nullptr),
             routine,
             argument,
             nullptr,
             3};
  if (thread->returned == nullptr || thread->held == nullptr) {
    Discard(thread);
    return false;
  }
  *handle = thread;
  // Without STACK_SIZE_PARAM_IS_A_RESERVATION the size is the initial commit.
  HANDLE created = CreateThread(nullptr, kStackCommitBytes, ThreadEntry, thread, 0, nullptr);
  if (created == nullptr) {
    *handle = nullptr;
    Discard(thread);
    return false;
  }
  thread->thread = created;
  // Cannot fail for an address in this library; if it did, `library` would
  // stay null and the thread's FreeLibraryAndExitThread only end the thread.
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ThreadEntry),
                     &thread->library);
  SetEvent(thread->held);
  seams::OnThreadCreated();
  Drop(thread);  // the creator's part
  return true;
}

bool WaitForThread(Thread* thread, uint32_t timeoutMs) {
  if (thread == nullptr) return true;
  HANDLE either[] = {thread->returned, thread->thread};
  DWORD result = WaitForMultipleObjects(2, either, FALSE, timeoutMs);
  return result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1;
}

void CloseThread(Thread* thread) {
  if (thread == nullptr) return;
  Drop(thread);
  seams::OnThreadClosed();
}

ThreadId CurrentThreadId() {
  return GetCurrentThreadId();
}

void SleepMs(uint32_t ms) {
  if (seams::SleepTakenOver(ms)) return;
  Sleep(ms);
}

}  // namespace platform
