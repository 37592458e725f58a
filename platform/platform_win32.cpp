// Win32 implementation: the platform's own event, thread, wait and sleep calls.
#include <stdlib.h>
#include <windows.h>

#include "platform.h"
#include "seams.h"

namespace platform {

namespace {

HANDLE AsHandle(void* object) {
  return static_cast<HANDLE>(object);
}

// What a new thread needs; it owns the block and frees it first thing.
struct ThreadStart {
  ThreadRoutine routine;
  void* argument;
  HMODULE library;  // a reference on the library this code lives in
};

DWORD WINAPI ThreadEntry(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  free(raw);
  start.routine(start.argument);
  // Drops the thread's reference and ends the thread without returning into
  // code that the host may have unloaded meanwhile.
  FreeLibraryAndExitThread(start.library, 0);
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

bool WaitForEvent(Event* event, uint32_t timeoutMs) {
  return event != nullptr &&
         WaitForSingleObject(AsHandle(event), seams::BoundedWait(timeoutMs)) == WAIT_OBJECT_0;
}

void CloseEvent(Event* event) {
  if (event == nullptr) return;
  CloseHandle(AsHandle(event));
  seams::OnEventClosed();
}

Thread* CreateWorkerThread(size_t stackSize, ThreadRoutine routine, void* argument) {
  if (seams::ThreadCreationFails()) return nullptr;
  // The reference is taken here, on the caller's thread, so that the library
  // cannot go between the thread's creation and its first instruction. If no
  // thread can be made the reference stays: without a thread there is nothing
  // that could drop it safely, and a library kept loaded is harmless.
  HMODULE library = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCSTR>(&ThreadEntry), &library)) {
    return nullptr;
  }
  auto* start = static_cast<ThreadStart*>(malloc(sizeof(ThreadStart)));
  if (start == nullptr) return nullptr;
  *start = {routine, argument, library};
  // Without STACK_SIZE_PARAM_IS_A_RESERVATION the size is the initial commit;
  // the stack grows up to the process's default reserve.
  HANDLE thread = CreateThread(nullptr, stackSize, ThreadEntry, start, 0, nullptr);
  if (thread == nullptr) {
    free(start);
    return nullptr;
  }
  seams::OnThreadCreated();
  return reinterpret_cast<Thread*>(thread);
}

void CloseThread(Thread* thread) {
  if (thread == nullptr) return;
  CloseHandle(AsHandle(thread));
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
