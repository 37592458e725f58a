/* SPDX-License-Identifier: MIT */
#include "host_os.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)

#include <direct.h>
#include <process.h>
#include <windows.h>

int64_t NowMs(void) {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return (int64_t)(count.QuadPart * 1000 / frequency.QuadPart);
}

uint64_t CurrentThreadId(void) {
  return GetCurrentThreadId();
}
void SleepFor(uint32_t ms) {
  Sleep(ms);
}

struct HostThread {
  HANDLE handle;
  void (*body)(void*);
  void* argument;
};
static DWORD WINAPI HostThreadMain(void* raw) {
  HostThread* thread = raw;
  thread->body(thread->argument);
  return 0;
}
HostThread* StartHostThread(void (*body)(void*), void* argument) {
  HostThread* thread = malloc(sizeof *thread);
  thread->body = body;
  thread->argument = argument;
  thread->handle = CreateThread(NULL, 0, HostThreadMain, thread, 0, NULL);
  if (thread->handle == NULL) abort();
  return thread;
}
void JoinHostThread(HostThread* thread) {
  WaitForSingleObject(thread->handle, INFINITE);
  CloseHandle(thread->handle);
  free(thread);
}

struct HostLock {
  CRITICAL_SECTION section;
};
HostLock* NewLock(void) {
  HostLock* lock = malloc(sizeof *lock);
  InitializeCriticalSection(&lock->section);
  return lock;
}
void Lock(HostLock* lock) {
  EnterCriticalSection(&lock->section);
}
void Unlock(HostLock* lock) {
  LeaveCriticalSection(&lock->section);
}

int RunThisProgram(const char* const* args) {
  char self[MAX_PATH];
  const char* argv[16] = {self};
  GetModuleFileNameA(NULL, self, sizeof self);
  for (int i = 0; args[i] != NULL && i < 14; ++i) argv[i + 1] = args[i];
  return (int)_spawnv(_P_WAIT, self, argv);
}

static void* FindIn(HMODULE plugin, const char* symbol, void (**function)(void)) {
  if (plugin == NULL) return NULL;
  *function = (void (*)(void))GetProcAddress(plugin, symbol);
  if (*function != NULL) return plugin;
  FreeLibrary(plugin);
  return NULL;
}

void* LoadPlugin(const char* path, const char* symbol, void (**function)(void)) {
  return FindIn(LoadLibraryA(path), symbol, function);
}

void UnloadPlugin(void* plugin) {
  FreeLibrary((HMODULE)plugin);
}

int CopyBelowHere(const char* path, const wchar_t* folder, const wchar_t* file,
                  wchar_t copy[kPathChars]) {
  wchar_t source[kPathChars];
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, source, kPathChars) == 0 ||
      GetFullPathNameW(folder, kPathChars - 1 - (DWORD)wcslen(file), copy, NULL) == 0) {
    return 0;
  }
  CreateDirectoryW(copy, NULL);
  wcscat(copy, L"\\");
  wcscat(copy, file);
  return CopyFileW(source, copy, FALSE) != 0;
}

/* The import descriptors follow the PE header's import directory; each DLL's
 * names (OriginalFirstThunk) and addresses (FirstThunk) run in step. */
int ReplaceImport(void* module, const char* function, void* replacement) {
  BYTE* base = module;
  IMAGE_NT_HEADERS* headers = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
  IMAGE_DATA_DIRECTORY directory =
      headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  IMAGE_IMPORT_DESCRIPTOR* dll = (IMAGE_IMPORT_DESCRIPTOR*)(base + directory.VirtualAddress);
  for (; directory.Size != 0 && dll->Name != 0; ++dll) {
    IMAGE_THUNK_DATA* names = (IMAGE_THUNK_DATA*)(base + dll->OriginalFirstThunk);
    IMAGE_THUNK_DATA* addresses = (IMAGE_THUNK_DATA*)(base + dll->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      IMAGE_IMPORT_BY_NAME* name = (IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData);
      if (strcmp((const char*)name->Name, function) != 0) continue;
      DWORD was;
      VirtualProtect(&addresses->u1.Function, sizeof addresses->u1.Function, PAGE_READWRITE, &was);
      addresses->u1.Function = (DWORD_PTR)replacement;
      VirtualProtect(&addresses->u1.Function, sizeof addresses->u1.Function, was, &was);
      return 1;
    }
  }
  return 0;
}

#define getcwd _getcwd
#define chdir _chdir
#define mkdir_one(name) _mkdir(name)
#define rmdir_one(name) _rmdir(name)

#else

#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

int64_t NowMs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

uint64_t CurrentThreadId(void) {
  return (uint64_t)pthread_self();
}

void SleepFor(uint32_t ms) {
  struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
  }
}

struct HostThread {
  pthread_t id;
  void (*body)(void*);
  void* argument;
};
static void* HostThreadMain(void* raw) {
  HostThread* thread = raw;
  thread->body(thread->argument);
  return NULL;
}
HostThread* StartHostThread(void (*body)(void*), void* argument) {
  HostThread* thread = malloc(sizeof *thread);
  thread->body = body;
  thread->argument = argument;
  if (pthread_create(&thread->id, NULL, HostThreadMain, thread) != 0) abort();
  return thread;
}
void JoinHostThread(HostThread* thread) {
  pthread_join(thread->id, NULL);
  free(thread);
}

struct HostLock {
  pthread_mutex_t mutex;
};
HostLock* NewLock(void) {
  HostLock* lock = malloc(sizeof *lock);
  pthread_mutex_init(&lock->mutex, NULL);
  return lock;
}
void Lock(HostLock* lock) {
  pthread_mutex_lock(&lock->mutex);
}
void Unlock(HostLock* lock) {
  pthread_mutex_unlock(&lock->mutex);
}

#define mkdir_one(name) mkdir(name, 0755)
#define rmdir_one(name) rmdir(name)

#endif

static char startDirectory[4096];
static char currentName[256];

void MakeDirectory(const char* name) {
  mkdir_one(name);
}

void EnterFreshDirectory(const char* name) {
  if (startDirectory[0] == 0 && getcwd(startDirectory, sizeof startDirectory) == NULL) abort();
  snprintf(currentName, sizeof currentName, "%s", name);
  mkdir_one(name);
  if (chdir(name) != 0) abort();
  remove("MXDRemote.log");
  rmdir_one("MXDRemote.log");
}

void LeaveDirectory(void) {
  if (chdir(startDirectory) != 0) abort();
}
