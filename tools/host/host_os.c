/* SPDX-License-Identifier: MIT */
#include "host_os.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)

#include <direct.h>
#include <windows.h>

/* The performance counter, in whole seconds and the rest, so that a counter
 * that runs at the processor's clock does not overflow when multiplied by
 * 1000 after weeks of uptime. Before XP a PC may have no counter: its
 * frequency is then 0, and the tick count (49 days around) stands in. */
int64_t NowMs(void) {
  LARGE_INTEGER count, frequency;
  if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 ||
      !QueryPerformanceCounter(&count)) {
    return GetTickCount();
  }
  int64_t perSecond = frequency.QuadPart;
  return count.QuadPart / perSecond * 1000 + count.QuadPart % perSecond * 1000 / perSecond;
}

uint64_t CurrentThreadId(void) {
  return GetCurrentThreadId();
}
unsigned long ThisProcessId(void) {
  return GetCurrentProcessId();
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
  if (thread == NULL) abort();
  thread->body = body;
  thread->argument = argument;
  DWORD identity; /* Windows 95 and 98 fail a CreateThread without it */
  thread->handle = CreateThread(NULL, 0, HostThreadMain, thread, 0, &identity);
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
  if (lock == NULL) abort();
  InitializeCriticalSection(&lock->section);
  return lock;
}
void Lock(HostLock* lock) {
  EnterCriticalSection(&lock->section);
}
void Unlock(HostLock* lock) {
  LeaveCriticalSection(&lock->section);
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
unsigned long ThisProcessId(void) {
  return (unsigned long)getpid();
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
  if (thread == NULL) abort();
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
  if (lock == NULL) abort();
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
/* The directories entered, for RemoveFreshDirectories. */
static char entered[32][64];
static int enteredCount;

/* A log of an earlier run, or the directory a case made in its place. */
static void RemoveLog(void) {
  remove("MXDRemote.log");
  rmdir_one("MXDRemote.log");
}

void MakeDirectory(const char* name) {
  mkdir_one(name);
}

void RemoveEmptyDirectory(const char* name) {
  rmdir_one(name);
}

int ChangeDirectory(const char* path) {
  return chdir(path) == 0;
}

void EnterFreshDirectory(const char* name) {
  if (startDirectory[0] == 0 && getcwd(startDirectory, sizeof startDirectory) == NULL) abort();
  int known = 0;
  for (int i = 0; i < enteredCount; ++i) known |= strcmp(entered[i], name) == 0;
  if (!known && enteredCount < 32 && strlen(name) < sizeof entered[0]) {
    strcpy(entered[enteredCount++], name);
  }
  mkdir_one(name);
  if (chdir(name) != 0) abort();
  RemoveLog();
}

void LeaveDirectory(void) {
  if (chdir(startDirectory) != 0) abort();
}

void RemoveFreshDirectories(void) {
  for (int i = 0; i < enteredCount; ++i) {
    if (chdir(startDirectory) != 0 || chdir(entered[i]) != 0) continue;
    RemoveLog();
    if (chdir(startDirectory) == 0) rmdir_one(entered[i]);
  }
  enteredCount = 0;
}
