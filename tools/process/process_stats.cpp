#include "process_stats.h"

#if defined(_WIN32)

#include <windows.h>
// windows.h first: these need its types.
#include <psapi.h>
#include <tlhelp32.h>

namespace process_stats {

int ThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  int count = 0;
  DWORD self = GetCurrentProcessId();
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

int HandleCount() {
  DWORD count = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

int64_t CpuMicroseconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
  auto micro = [](FILETIME t) {
    return ((static_cast<int64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10;
  };
  return micro(kernel) + micro(user);
}

int64_t MemoryBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters;
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(),
                            reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof counters)) {
    return -1;
  }
  return static_cast<int64_t>(counters.PrivateUsage);
}

}  // namespace process_stats

#else

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

namespace process_stats {

namespace {
int CountEntries(const char* directory) {
  DIR* dir = opendir(directory);
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}
}  // namespace

int ThreadCount() {
  return CountEntries("/proc/self/task");
}

// Less the descriptor the count itself holds open.
int HandleCount() {
  return CountEntries("/proc/self/fd") - 1;
}

int64_t CpuMicroseconds() {
  rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) return -1;
  auto micro = [](timeval t) { return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_usec; };
  return micro(usage.ru_utime) + micro(usage.ru_stime);
}

int64_t MemoryBytes() {
  FILE* status = fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  int64_t kib = -1;
  while (fgets(line, sizeof line, status) != nullptr) {
    if (strncmp(line, "VmRSS:", 6) == 0)
      sscanf(line + 6, "%lld", reinterpret_cast<long long*>(&kib));
  }
  fclose(status);
  return kib < 0 ? -1 : kib * 1024;
}

}  // namespace process_stats

#endif
