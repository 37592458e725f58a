/* SPDX-License-Identifier: MIT */
#include "process_stats.h"

#if defined(_WIN32)

#include <windows.h>
/* windows.h first: these need its types. */
#include <psapi.h>
#include <tlhelp32.h>

/* Each figure comes from a function not every Windows has (the thread list
 * is not on NT 4.0, the handle count came with XP SP1, the memory figure in
 * KERNEL32 with 7, process times are NT's), so it is looked up where it is
 * needed, and the figure is -1 where it is absent: programs that use these
 * still run on Windows 95 and NT 4.0. */
static FARPROC Kernel32(const char* name) {
  return GetProcAddress(GetModuleHandleA("KERNEL32.dll"), name);
}

int ProcessThreadCount(void) {
  HANDLE(WINAPI * snap)(DWORD, DWORD) = (void*)Kernel32("CreateToolhelp32Snapshot");
  BOOL(WINAPI * first)(HANDLE, THREADENTRY32*) = (void*)Kernel32("Thread32First");
  BOOL(WINAPI * next)(HANDLE, THREADENTRY32*) = (void*)Kernel32("Thread32Next");
  HANDLE snapshot = snap == NULL || first == NULL || next == NULL ? INVALID_HANDLE_VALUE
                                                                  : snap(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  int count = 0;
  DWORD self = GetCurrentProcessId();
  for (BOOL more = first(snapshot, &entry); more; more = next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

int ProcessHandleCount(void) {
  BOOL(WINAPI * handles)(HANDLE, DWORD*) = (void*)Kernel32("GetProcessHandleCount");
  DWORD count = 0;
  return handles != NULL && handles(GetCurrentProcess(), &count) ? (int)count : -1;
}

static int64_t Microseconds(FILETIME t) {
  return (((int64_t)t.dwHighDateTime << 32) | t.dwLowDateTime) / 10;
}

int64_t ProcessCpuMicroseconds(void) {
  BOOL(WINAPI * times)
  (HANDLE, FILETIME*, FILETIME*, FILETIME*, FILETIME*) = (void*)Kernel32("GetProcessTimes");
  FILETIME created, exited, kernel, user;
  if (times == NULL || !times(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
  return Microseconds(kernel) + Microseconds(user);
}

int64_t ProcessMemoryBytes(void) {
  BOOL(WINAPI * memory)
  (HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD) = (void*)Kernel32("K32GetProcessMemoryInfo");
  PROCESS_MEMORY_COUNTERS_EX counters;
  counters.cb = sizeof counters;
  if (memory == NULL ||
      !memory(GetCurrentProcess(), (PROCESS_MEMORY_COUNTERS*)&counters, sizeof counters)) {
    return -1;
  }
  return (int64_t)counters.PrivateUsage;
}

#else

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

static int CountEntries(const char* directory) {
  DIR* dir = opendir(directory);
  if (dir == NULL) return -1;
  int count = 0;
  for (struct dirent* entry = readdir(dir); entry != NULL; entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

int ProcessThreadCount(void) {
  return CountEntries("/proc/self/task");
}

/* Less the descriptor the count itself holds open. */
int ProcessHandleCount(void) {
  return CountEntries("/proc/self/fd") - 1;
}

static int64_t Microseconds(struct timeval t) {
  return (int64_t)t.tv_sec * 1000000 + t.tv_usec;
}

int64_t ProcessCpuMicroseconds(void) {
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) return -1;
  return Microseconds(usage.ru_utime) + Microseconds(usage.ru_stime);
}

int64_t ProcessMemoryBytes(void) {
  FILE* status = fopen("/proc/self/status", "r");
  if (status == NULL) return -1;
  char line[256];
  long long kib = -1;
  while (fgets(line, sizeof line, status) != NULL) {
    if (strncmp(line, "VmRSS:", 6) == 0) sscanf(line + 6, "%lld", &kib);
  }
  fclose(status);
  return kib < 0 ? -1 : (int64_t)kib * 1024;
}

#endif
