/* SPDX-License-Identifier: MIT */
#include "check.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_cases.h"
#include "tools/host/host_os.h"
#include "tools/loader/module_loader.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/utsname.h>
#endif

/* The processor as it names itself. CPUID runs only once the processor has
 * shown it has the instruction (its ID flag can be changed); a 486 may not. */
static void PrintProcessor(void) {
#if defined(__i386__) || defined(__x86_64__)
  unsigned vendor[4] = {0}, signature, unused;
  if (__get_cpuid_max(0, NULL) >= 1) {
    __cpuid(0, unused, vendor[0], vendor[2], vendor[1]);
    __cpuid(1, signature, unused, unused, unused);
    unsigned family = signature >> 8 & 0xF, model = signature >> 4 & 0xF;
    if (family == 0xF) family += signature >> 20 & 0xFF;
    if (family == 0x6 || family >= 0xF) model += (signature >> 16 & 0xF) << 4;
    printf("processor: %s, family %u, model %u, stepping %u\n", (const char*)vendor, family, model,
           signature & 0xF);
    return;
  }
#endif
  printf("processor: 486 or older (no CPUID)\n");
}

#if defined(_WIN32)

/* The version the system reports, with its name where the card's PCs had it. */
static void PrintSystem(void) {
  OSVERSIONINFOA info;
  memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info)) {
    printf("Windows: its version cannot be read\n");
    return;
  }
  unsigned nine = info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
  char* extra = info.szCSDVersion + strspn(info.szCSDVersion, " ");
  for (size_t end = strlen(extra); end > 0 && extra[end - 1] == ' ';) extra[--end] = 0;
  unsigned version = info.dwMajorVersion * 100 + info.dwMinorVersion;
  unsigned build = nine ? LOWORD(info.dwBuildNumber) : info.dwBuildNumber;
  const char* name = nine && version == 400    ? "95"
                     : nine && version == 410  ? (build >= 2222 ? "98 SE" : "98")
                     : nine && version == 490  ? "ME"
                     : !nine && version == 400 ? "NT 4.0"
                     : !nine && version == 500 ? "2000"
                     : !nine && version == 501 ? "XP"
                                               : "";
  printf("Windows %s%s%u.%u, build %u%s%s\n", name, name[0] != 0 ? ", version " : "version ",
         (unsigned)info.dwMajorVersion, (unsigned)info.dwMinorVersion, build,
         extra[0] != 0 ? ", " : "", extra);
}

/* The file version in the library's version resource. */
static void PrintLibraryVersion(const char* path) {
  LoadedModule loaded;
  const DWORD* words = NULL;
  DWORD size = 0;
  if (LoadModuleLibrary(path, &loaded)) {
    HMODULE module = loaded.handle;
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));
    HGLOBAL resource = found == NULL ? NULL : LoadResource(module, found);
    words = resource == NULL ? NULL : LockResource(resource);
    size = found == NULL ? 0 : SizeofResource(module, found);
  }
  /* VS_FIXEDFILEINFO starts with its signature; the file version follows. */
  for (DWORD i = 0; words != NULL && i + 4 <= size / 4; ++i) {
    if (words[i] == 0xFEEF04BD) {
      printf("library: %s, version %u.%u.%u.%u\n", loaded.path, (unsigned)HIWORD(words[i + 2]),
             (unsigned)LOWORD(words[i + 2]), (unsigned)HIWORD(words[i + 3]),
             (unsigned)LOWORD(words[i + 3]));
      UnloadModuleLibrary(&loaded);
      return;
    }
  }
  printf("library: %s, version not found\n", loaded.path);
  UnloadModuleLibrary(&loaded);
}

static const char* TemporaryFolder(void) {
  static char folder[MAX_PATH];
  DWORD length = GetTempPathA(MAX_PATH, folder);
  return length == 0 || length >= MAX_PATH ? "." : folder;
}

#else

static void PrintSystem(void) {
  struct utsname name;
  if (uname(&name) == 0) printf("%s %s, %s\n", name.sysname, name.release, name.machine);
}

static void PrintLibraryVersion(const char* path) {
  LoadedModule loaded;
  LoadModuleLibrary(path, &loaded);
  printf("library: %s\n", loaded.path);
  UnloadModuleLibrary(&loaded);
}

static const char* TemporaryFolder(void) {
  const char* folder = getenv("TMPDIR");
  return folder != NULL && folder[0] != 0 ? folder : "/tmp";
}

#endif

int RunCheck(const char* library) {
  printf("pelmar4-host --check: the lifecycle contract's cases, one line each\n");
  fflush(stdout);
  /* The cases make folders and logs of their own: in a folder of this
   * process's below the system's temporary folder, removed at the end. */
  char folder[32];
  snprintf(folder, sizeof folder, "pelmar4-check-%lu", ThisProcessId());
  int moved = ChangeDirectory(TemporaryFolder());
  if (moved) {
    MakeDirectory(folder);
    moved = ChangeDirectory(folder);
  }
  int failed = RunHostCases(library);
  RemoveFreshDirectories();
  if (moved && ChangeDirectory("..")) RemoveEmptyDirectory(folder);
  PrintSystem();
  PrintProcessor();
  PrintLibraryVersion(library);
  if (failed == 0) {
    printf("all %d cases passed\n", HostCaseCount());
    return 0;
  }
  printf(
      "%d of %d cases FAILED: please send everything this printed, and the name of the\n"
      "program you use the card with, to the Pelmar4 authors where you got this package\n",
      failed, HostCaseCount());
  return 1;
}
