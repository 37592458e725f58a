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
  if (thread->returned != nullptr) CloseHandle(thread->returned);
  free(thread);
}

void Drop(Thread* thread) {
  if (__atomic_sub_fetch(&thread->holders, 1, __ATOMIC_ACQ_REL) != 0) return;
  CloseHandle(thread->thread);
  Discard(thread);
}

// A KERNEL32 function that not every Windows has, or null.
template <typename Function>
Function Find(HMODULE kernel, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, name)));
}

// This module's own path, then one more reference by loading that path, which
// GetModuleHandle must first find to be this module: so the load can only
// count a reference, never map a file. Sets `absent` when the system has the
// calls only as stubs (Windows 9x answers the W calls with
// ERROR_CALL_NOT_IMPLEMENTED).
template <typename Char, typename FileName, typename Handle, typename Load>
HMODULE HoldByPath(HMODULE self, FileName fileName, Handle handle, Load load, bool& absent) {
  Char path[MAX_PATH];
  DWORD length = fileName(self, path, MAX_PATH);
  absent = length == 0 && GetLastError() == ERROR_CALL_NOT_IMPLEMENTED;
  if (length == 0 || length >= MAX_PATH || handle(path) != self) return nullptr;
  return load(path);
}

// One more reference on this library's own module, taken the first way the
// system has, whatever version it says it is: XP and later find the module by
// an address inside it; NT 4.0 and 2000 load its exact UTF-16 path; the 9x
// line, whose file system speaks the ANSI code page, its ANSI path. Never a
// bare name, which is searched for (the current folder included on NT 4.0 and
// 2000), and never an ANSI path where the W calls work: NT converts it with
// best fit (U+FF58 becomes 'x'), so it may name another file, and a same-named
// DLL elsewhere must never run in the host's process. A way the system has
// that then fails (a path too long, a load refused) gives null: no thread is
// made. KERNEL32.dll is in every process, so asking for it loads nothing.
HMODULE HoldThisLibrary() {
  HMODULE self = reinterpret_cast<HMODULE>(&__ImageBase);
  HMODULE kernel = GetModuleHandleA("KERNEL32.dll");
  using ByAddress = BOOL(WINAPI*)(DWORD, LPCWSTR, HMODULE*);
  if (auto byAddress = Find<ByAddress>(kernel, "GetModuleHandleExW")) {
    HMODULE held = nullptr;
    return byAddress(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCWSTR>(&__ImageBase), &held)
               ? held
               : nullptr;
  }
  auto fileNameW = Find<DWORD(WINAPI*)(HMODULE, LPWSTR, DWORD)>(kernel, "GetModuleFileNameW");
  auto handleW = Find<HMODULE(WINAPI*)(LPCWSTR)>(kernel, "GetModuleHandleW");
  auto loadW = Find<HMODULE(WINAPI*)(LPCWSTR)>(kernel, "LoadLibraryW");
  bool absent = true;
  if (fileNameW != nullptr && handleW != nullptr && loadW != nullptr) {
    HMODULE held = HoldByPath<WCHAR>(self, fileNameW, handleW, loadW, absent);
    if (!absent) return held;
  }
  return HoldByPath<char>(self, GetModuleFileNameA, GetModuleHandleA, LoadLibraryA, absent);
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
  thread->thread = seams::ThreadCreationFails() ? nullptr
                                                : CreateThread(nullptr, kStackCommitBytes,
                                                               ThreadEntry, thread, 0, &identity);
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
// ~0. The header's NtCurrentTeb reads it in that one instruction; GCC 12
// takes its fs-relative read for an access out of an array's bounds.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
ThreadId CurrentThreadId() {
  return reinterpret_cast<ThreadId>(NtCurrentTeb());
}
#pragma GCC diagnostic pop

void SleepMs(uint32_t ms) {
  if (seams::SleepTakenOver(ms)) return;
  Sleep(ms);
}

}  // namespace platform
