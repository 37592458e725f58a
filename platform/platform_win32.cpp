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
// it has ended.
struct Thread {
  HANDLE thread;
  HANDLE returned;
  ThreadRoutine routine;
  void* argument;
  HMODULE library;  // a reference on the library this code lives in
  LONG holders;
};

namespace {

// The thread's stack starts with this much committed and grows to the
// process's reserve as host code needs.
constexpr SIZE_T kStackCommitBytes = 32768;

HANDLE AsHandle(void* object) {
  return static_cast<HANDLE>(object);
}

void Drop(Thread* thread) {
  if (__atomic_sub_fetch(&thread->holders, 1, __ATOMIC_ACQ_REL) != 0) return;
  CloseHandle(thread->thread);
  CloseHandle(thread->returned);
  free(thread);
}

DWORD WINAPI ThreadEntry(void* raw) {
  auto* thread = static_cast<Thread*>(raw);
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

bool StartWorkerThread(Thread** handle, ThreadRoutine routine, void* argument) {
  *handle = nullptr;
  if (seams::ThreadCreationFails()) return false;
  // The reference is taken here, on the caller's thread, so that the library
  // cannot go between the thread's creation and its first instruction. If no
  // thread can be made the reference stays: without a thread there is nothing
  // that could drop it safely, and a library kept loaded is harmless.
  HMODULE library = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCSTR>(&ThreadEntry), &library)) {
    return false;
  }
  auto* thread = static_cast<Thread*>(malloc(sizeof(Thread)));
  if (thread == nullptr) return false;
  *thread = {nullptr, CreateEventA(nullptr, TRUE, FALSE, nullptr), routine, argument, library, 3};
  if (thread->returned == nullptr) {
    free(thread);
    return false;
  }
  *handle = thread;
  // Without STACK_SIZE_PARAM_IS_A_RESERVATION the size is the initial commit.
  HANDLE created = CreateThread(nullptr, kStackCommitBytes, ThreadEntry, thread, 0, nullptr);
  if (created == nullptr) {
    *handle = nullptr;
    CloseHandle(thread->returned);
    free(thread);
    return false;
  }
  thread->thread = created;
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
