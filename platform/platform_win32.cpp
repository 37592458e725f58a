// SPDX-License-Identifier: MIT
// Win32 implementation: the platform's own event, thread, wait and sleep calls.
#include <stdlib.h>
#include <windows.h>

#include "platform.h"
#include "seams.h"

// The start of this library's image, defined by the linker: its module handle.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace platform {

// A thread handle: a block the holder of the handle and the thread itself
// share, freed by whichever lets go of it last. `returned` is set when the
// routine has returned; the thread's own handle is signalled when it has
// ended. `library` is the thread's reference on this library, taken before the
// thread exists and dropped by the thread as it ends.
struct Thread {
  HANDLE thread;
  HANDLE returned;
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
  free(thread);
}

void Drop(Thread* thread) {
  if (__atomic_sub_fetch(&thread->holders, 1, __ATOMIC_ACQ_REL) != 0) return;
  CloseHandle(thread->thread);
  Discard(thread);
}

// One more reference on this library, taken the way every Windows allows:
// loading its own file again gives the same module with its count raised
// (GetModuleHandleEx, which does it in one call, is XP's). The full path is
// tried first; a path the ANSI code page cannot spell comes back with '?' in
// it, and then the file's own name finds the module already loaded. Null when
// the path does not fit, or no load gives this module.
HMODULE HoldThisLibrary() {
  HMODULE self = reinterpret_cast<HMODULE>(&__ImageBase);
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(self, path, sizeof path);
  if (length == 0 || length >= sizeof path) return nullptr;
  const char* name = path + length;
  while (name > path && name[-1] != '\\' && name[-1] != '/') --name;
  const char* files[] = {path, name};
  for (const char* file : files) {
    HMODULE loaded = LoadLibraryA(file);
    if (loaded == self) return loaded;
    if (loaded != nullptr) FreeLibrary(loaded);
  }
  return nullptr;
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

// The thread's reference on the library is taken on the caller's thread
// before the thread exists, so that the library cannot go before the thread's
// first instruction, and given back when no thread can be made: the host's own
// reference keeps the library loaded during the call. A thread is never made
// without its reference.
bool StartWorkerThread(Thread** handle, ThreadRoutine routine, void* argument) {
  *handle = nullptr;
  if (seams::ThreadCreationFails()) return false;
  auto* thread = static_cast<Thread*>(malloc(sizeof(Thread)));
  if (thread == nullptr) return false;
  *thread = {nullptr, CreateEventA(nullptr, TRUE, FALSE, nullptr), routine, argument, nullptr, 2};
  if (thread->returned != nullptr) thread->library = HoldThisLibrary();
  if (thread->library == nullptr) {
    Discard(thread);
    return false;
  }
  *handle = thread;
  // Windows 95 and 98 fail a CreateThread that has nowhere to store the
  // thread's identity. Without STACK_SIZE_PARAM_IS_A_RESERVATION the size is
  // the initial commit.
  DWORD identity;
  thread->thread = CreateThread(nullptr, kStackCommitBytes, ThreadEntry, thread, 0, &identity);
  if (thread->thread == nullptr) {
    *handle = nullptr;
    FreeLibrary(thread->library);
    Discard(thread);
    return false;
  }
  seams::OnThreadCreated();
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

// The address of the thread's information block, which every Win32 system
// keeps at fs:[0x18] (Windows 9x computes GetCurrentThreadId from it). Unlike
// that identity, which Windows 9x scrambles with a value chosen at boot so
// that it may be any number, an address in use is never 0 and, aligned, never
// ~0.
ThreadId CurrentThreadId() {
  ThreadId block;
  __asm__("movl %%fs:0x18, %0" : "=r"(block));
  return block;
}

void SleepMs(uint32_t ms) {
  if (seams::SleepTakenOver(ms)) return;
  Sleep(ms);
}

}  // namespace platform
