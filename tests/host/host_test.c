/* SPDX-License-Identifier: MIT */
/* The C host test: the contract's end-to-end cases (tools/check), which a
 * user also runs with pelmar4-host --check, and on Windows what only a test
 * can arrange: a plug-in that makes the final Release from its DllMain, a
 * process that ends holding a started module, the worker's hold on the
 * library taken each way a Windows offers, from folders of any name, the
 * demo host's loader and the check's counts where a system lacks what they
 * look up, the host kit's end when it cannot make a lock or a thread, and
 * the export when memory is short.
 *
 * Usage: host_test PATH-TO-LIBRARY [PATH-TO-TEST-PLUGIN]
 *        host_test --hold PATH-TO-LIBRARY PATH-TO-TEST-PLUGIN VERSION-WINDOWS-REPORTS */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tools/check/host_cases.h"
#include "tools/host/host_os.h"
#include "tools/loader/module_loader.h"
#include "tools/process/process_stats.h"

#if defined(_WIN32)
#include <stdatomic.h>
#include <windows.h>

#include "host_win32.h"
#endif

#if defined(_WIN32)
/* A host plug-in of the test's own owns a started module and releases it from
 * its DllMain, under the loader lock, when the host unloads the plug-in. */
static void ReleaseFromADllMain(const char* path, const char* pluginPath) {
  EnterFreshDirectory("host-dllmain-release");
  ResetHostObjects();
  ShowCode(0x27BF00);
  void (*holdUntilUnloaded)(IRemoteModule*) = NULL;
  void* plugin = LoadPlugin(pluginPath, "HoldUntilUnloaded", (void (**)(void)) & holdUntilUnloaded);
  LoadedModule own;
  if (!CHECK(plugin != NULL) || !CHECK(LoadModuleLibrary(path, &own))) return;
  IRemoteModule* module = own.byName();
  CHECK(IRemoteModule_Start(module, HostSinkObject(), HostDeviceObject()) == S_OK);
  CHECK(WaitFor("key", 1, 5000));
  holdUntilUnloaded(module); /* the plug-in has the only reference now */
  int64_t before = NowMs();
  UnloadPlugin(plugin);
  int64_t took = NowMs() - before;
  printf("final Release from a DllMain: the plug-in's unload took %lld ms\n", (long long)took);
  CHECK(took < 2000);
  CheckAllReferencesReturned();
  UnloadModuleLibrary(&own);
  LeaveDirectory();
}
#endif

#if defined(_WIN32)
/* ---- the worker's hold on the library, each way a Windows offers ----
 * The test stands in for older systems through the DLL's own imports, as a
 * host may: it replaces entries of the loaded copy's import table, and its
 * GetProcAddress answers for the functions the module looks up at run time.
 * A null function is one the system lacks. */
typedef struct Import {
  const char* name;
  void* function;
} Import;

static DWORD WINAPI StubFileNameW(HMODULE module, LPWSTR path, DWORD size) {
  (void)module, (void)path, (void)size;
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}
static HMODULE WINAPI StubModuleW(LPCWSTR name) {
  (void)name;
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return NULL;
}
/* XP and later have GetModuleHandleExW; NT 4.0 and 2000 not; Windows 9x not,
 * and its W calls are stubs that fail as above. */
static const Import kXp[] = {{NULL, NULL}};
static const Import kNt40[] = {{"GetModuleHandleExW", NULL}, {NULL, NULL}};
static const Import kWin9x[] = {{"GetModuleHandleExW", NULL},
                                {"GetModuleFileNameW", (void*)StubFileNameW},
                                {"GetModuleHandleW", (void*)StubModuleW},
                                {"LoadLibraryW", (void*)StubModuleW},
                                {NULL, NULL}};

/* One step of a way failing. */
static BOOL WINAPI RefusedHandleEx(DWORD flags, LPCWSTR address, HMODULE* module) {
  (void)flags, (void)address;
  *module = NULL;
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}
static DWORD WINAPI FailedFileNameW(HMODULE module, LPWSTR path, DWORD size) {
  (void)module, (void)path, (void)size;
  SetLastError(ERROR_INVALID_HANDLE);
  return 0;
}
/* A path that fills the buffer: Windows truncates it and returns the size. */
static DWORD WINAPI LongFileNameW(HMODULE module, LPWSTR path, DWORD size) {
  (void)module;
  wmemset(path, L'x', size - 1);
  path[size - 1] = 0;
  return size;
}
/* A folder so deep that no file name fits after its last backslash. */
static DWORD WINAPI DeepFileNameA(HMODULE module, LPSTR path, DWORD size) {
  (void)module;
  memset(path, 'x', size - 1);
  path[size - 3] = '\\';
  path[size - 1] = 0;
  return size - 1;
}
static HMODULE WINAPI NoModuleW(LPCWSTR name) {
  (void)name;
  SetLastError(ERROR_MOD_NOT_FOUND);
  return NULL;
}
static HANDLE WINAPI NoThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                              LPTHREAD_START_ROUTINE routine, LPVOID argument, DWORD flags,
                              LPDWORD identity) {
  (void)security, (void)stack, (void)routine, (void)argument, (void)flags, (void)identity;
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return NULL;
}
static atomic_int eventsMade;
/* Start makes the stop event first, then the thread's own. */
static HANDLE EventUnless(int refused, LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL set,
                          LPCSTR name) {
  if (atomic_fetch_add(&eventsMade, 1) + 1 == refused) return NULL;
  return CreateEventA(security, manual, set, name);
}
static HANDLE WINAPI NoStopEvent(LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL set,
                                 LPCSTR name) {
  return EventUnless(1, security, manual, set, name);
}
static HANDLE WINAPI NoThreadEvent(LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL set,
                                   LPCSTR name) {
  return EventUnless(2, security, manual, set, name);
}
static void* NoMemory(size_t size) {
  (void)size;
  return NULL;
}

/* In every row: a null handle closed is counted. */
static atomic_int nullsClosed;
static BOOL WINAPI CountingCloseHandle(HANDLE handle) {
  if (handle == NULL) atomic_fetch_add(&nullsClosed, 1);
  return CloseHandle(handle);
}

enum Place { kPlainFolder, kBesideADecoy, kUnspellable };
enum Outcome { kWorks, kRefused, kWorksOrRefused };
typedef struct HoldRow {
  const char* name;
  const Import* way;
  Import step; /* one step replaced, tried before the way's */
  enum Place place;
  enum Outcome outcome;
} HoldRow;

static const HoldRow* holdRow;

static void* RowImport(const char* name, int* found) {
  *found = 1;
  if (holdRow->step.name != NULL && strcmp(holdRow->step.name, name) == 0) {
    return holdRow->step.function;
  }
  for (const Import* i = holdRow->way; i->name != NULL; ++i) {
    if (strcmp(i->name, name) == 0) return i->function;
  }
  *found = 0;
  return NULL;
}
/* The system's own, kept before this program's import of it is replaced. */
static FARPROC(WINAPI* systemGetProcAddress)(HMODULE, LPCSTR);
static FARPROC WINAPI RowGetProcAddress(HMODULE module, LPCSTR name) {
  int found = 0;
  void* function = HIWORD((DWORD_PTR)name) != 0 ? RowImport(name, &found) : NULL;
  return found ? (FARPROC)function : systemGetProcAddress(module, name);
}

static wchar_t holdCopy[kPathChars];
static int HoldCopyUnloaded(void) {
  return GetModuleHandleW(holdCopy) == NULL;
}

/* Loads a copy of the DLL in its row's place, answers its imports as the row
 * says, and starts, stops, releases and unloads it: every reference comes
 * back, the copy is unloaded by the host's own FreeLibrary, no null handle is
 * closed, and no other DLL runs. */
static void HoldTheLibrary(const char* path, const char* pluginPath, const HoldRow* row) {
  static const wchar_t* const folders[] = {L"plain", L"\xFF58", L"\x041F\x0443\x043B\x044C\x0442"};
  static const wchar_t* const files[] = {L"Pelmar4.dll", L"Pelmar4.dll",
                                         L"\x041F\x0443\x043B\x044C\x0442.dll"};
  EnterFreshDirectory("host-hold");
  ResetHostObjects();
  ShowCode(0x27BF00);
  wchar_t decoy[kPathChars];
  CHECK(row->place != kBesideADecoy || CopyBelowHere(pluginPath, L"x", L"Pelmar4.dll", decoy));
  HMODULE dll = NULL;
  if (CHECK(CopyBelowHere(path, folders[row->place], files[row->place], holdCopy))) {
    dll = LoadLibraryW(holdCopy);
  }
  GetInterfacePtrFunction create =
      dll == NULL
          ? NULL
          : (GetInterfacePtrFunction)(void (*)(void))GetProcAddress(dll, "_GetInterfacePtr@0");
  if (!CHECK(create != NULL)) {
    LeaveDirectory();
    return;
  }
  IRemoteModule* module = create();
  holdRow = row;
  atomic_store(&eventsMade, 0);
  atomic_store(&nullsClosed, 0);
  SetEnvironmentVariableA("PELMAR4_PLUGIN_ATTACHED", NULL);
  /* The functions looked up at run time are not in the table. */
  for (const Import* i = row->way; i->name != NULL; ++i) ReplaceImport(dll, i->name, i->function);
  if (row->step.name != NULL) ReplaceImport(dll, row->step.name, row->step.function);
  CHECK(ReplaceImport(dll, "GetProcAddress", (void*)RowGetProcAddress));
  CHECK(ReplaceImport(dll, "CloseHandle", (void*)CountingCloseHandle));

  HRESULT started = IRemoteModule_Start(module, HostSinkObject(), HostDeviceObject());
  CHECK(started == S_OK ? row->outcome != kRefused && WaitFor("key", 1, 5000)
                        : started == E_UNEXPECTED && row->outcome != kWorks);
  CHECK(IRemoteModule_Stop(module) == S_OK);
  CHECK(AllReferencesReturned());
  CHECK(IRemoteModule_Release(module) == 0);
  FreeLibrary(dll);
  CHECK(WaitUntil(HoldCopyUnloaded, 5000));
  CHECK(GetEnvironmentVariableA("PELMAR4_PLUGIN_ATTACHED", NULL, 0) == 0);
  CHECK(atomic_load(&nullsClosed) == 0);
  printf("hold, %s: Start %s\n", row->name,
         started == S_OK ? "S_OK, keys reported" : "E_UNEXPECTED, everything given back");
  LeaveDirectory();
}

static void HoldTheLibraryEachWay(const char* path, const char* pluginPath) {
  // clang-format off
  static const HoldRow rows[] = {
      {"XP way, plain folder",                     kXp,    {NULL, NULL}, kPlainFolder,  kWorks},
      {"XP way, best-fit folder beside a decoy",   kXp,    {NULL, NULL}, kBesideADecoy, kWorks},
      {"XP way, Cyrillic folder and name",         kXp,    {NULL, NULL}, kUnspellable,  kWorks},
      {"NT 4.0 way, plain folder",                 kNt40,  {NULL, NULL}, kPlainFolder,  kWorks},
      {"NT 4.0 way, best-fit folder beside a decoy", kNt40, {NULL, NULL}, kBesideADecoy, kWorks},
      {"NT 4.0 way, Cyrillic folder and name",     kNt40,  {NULL, NULL}, kUnspellable,  kWorks},
      {"9x way, plain folder",                     kWin9x, {NULL, NULL}, kPlainFolder,  kWorks},
      {"9x way, best-fit folder beside a decoy",   kWin9x, {NULL, NULL}, kBesideADecoy, kWorksOrRefused},
      {"9x way, Cyrillic folder and name",         kWin9x, {NULL, NULL}, kUnspellable,  kWorksOrRefused},
      {"XP way, GetModuleHandleExW fails",         kXp,   {"GetModuleHandleExW", (void*)RefusedHandleEx}, kPlainFolder, kRefused},
      {"NT 4.0 way, GetModuleFileNameW fails",     kNt40, {"GetModuleFileNameW", (void*)FailedFileNameW}, kPlainFolder, kRefused},
      {"NT 4.0 way, the path is too long",         kNt40, {"GetModuleFileNameW", (void*)LongFileNameW},   kPlainFolder, kRefused},
      {"NT 4.0 way, GetModuleHandleW finds none",  kNt40, {"GetModuleHandleW",   (void*)NoModuleW},       kPlainFolder, kRefused},
      {"NT 4.0 way, LoadLibraryW fails",           kNt40, {"LoadLibraryW",       (void*)NoModuleW},       kPlainFolder, kRefused},
      {"CreateThread fails once the hold is taken", kXp,  {"CreateThread",       (void*)NoThread},        kPlainFolder, kRefused},
      {"no event for the thread",                  kXp,   {"CreateEventA",       (void*)NoThreadEvent},   kPlainFolder, kRefused},
      {"no stop event",                            kXp,   {"CreateEventA",       (void*)NoStopEvent},     kPlainFolder, kWorks},
      {"no memory for the thread",                 kXp,   {"malloc",             (void*)NoMemory},        kPlainFolder, kRefused},
  };
  // clang-format on
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    HoldTheLibrary(path, pluginPath, &rows[i]);
  }
}

/* The demo host's loader, which finds the DLL beside the program (as this
 * test's is), and the check's process counts, with this program's own
 * lookups answered as the hold's rows answer the DLL's: older systems' ways,
 * and each step of a way failing, which must be refused with a message naming
 * the file. Where the counts' functions are absent each count is -1, which
 * the check's cases take as "cannot count". */
static void HostKitOnOlderSystems(void) {
  // clang-format off
  static const HoldRow rows[] = {
      {"UTF-16 path",                     kXp,    {NULL, NULL},                                kPlainFolder, kWorks},
      {"ANSI path (9x)",                  kWin9x, {NULL, NULL},                                kPlainFolder, kWorks},
      {"GetModuleFileNameW fails",        kXp,    {"GetModuleFileNameW", (void*)FailedFileNameW}, kPlainFolder, kRefused},
      {"a path too long, UTF-16",         kXp,    {"GetModuleFileNameW", (void*)LongFileNameW},   kPlainFolder, kRefused},
      {"LoadLibraryW fails",              kXp,    {"LoadLibraryW",       (void*)NoModuleW},       kPlainFolder, kRefused},
      {"a folder too deep, ANSI (9x)",    kWin9x, {"GetModuleFileNameA", (void*)DeepFileNameA},   kPlainFolder, kRefused},
  };
  static const Import kNoCounts[] = {{"CreateToolhelp32Snapshot", NULL}, {"GetProcessHandleCount", NULL},
                                     {"GetProcessTimes", NULL}, {"K32GetProcessMemoryInfo", NULL}, {NULL, NULL}};
  static const HoldRow counts = {"no counts", kNoCounts, {NULL, NULL}, kPlainFolder, kWorks};
  // clang-format on
  HMODULE self = GetModuleHandleA(NULL), kernel = GetModuleHandleA("KERNEL32.dll");
  holdRow = &rows[0];
  CHECK(ReplaceImport(self, "GetProcAddress", (void*)RowGetProcAddress));
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    holdRow = &rows[i];
    const char* step = rows[i].step.name;
    void* system = step == NULL ? NULL : (void*)systemGetProcAddress(kernel, step);
    if (step != NULL) ReplaceImport(self, step, rows[i].step.function);
    LoadedModule loaded;
    int loads = LoadModuleLibrary(NULL, &loaded);
    if (step != NULL) ReplaceImport(self, step, system);
    CHECK(loads ? rows[i].outcome == kWorks
                : rows[i].outcome == kRefused && strstr(loaded.error, "Pelmar4.dll") != NULL);
    printf("the demo host's loader, %s: %s\n", rows[i].name, loads ? "loaded" : loaded.error);
    UnloadModuleLibrary(&loaded);
  }
  holdRow = &counts;
  CHECK(ProcessThreadCount() == -1 && ProcessHandleCount() == -1 &&
        ProcessCpuMicroseconds() == -1 && ProcessMemoryBytes() == -1);
  ReplaceImport(self, "GetProcAddress", (void*)systemGetProcAddress);
}

/* The host kit ends the program when it cannot make a lock or a thread,
 * which it needs: a child of this test withholds the function and asks for
 * one; msvcrt.dll's abort exits with 3. */
static void Nothing(void* argument) {
  (void)argument;
}
static int KitWithout(const char* function, const char* what) {
  void* stub = strcmp(function, "malloc") == 0 ? (void*)NoMemory : (void*)NoThread;
  if (!ReplaceImport(GetModuleHandleA(NULL), function, stub)) return 2;
  if (strcmp(what, "lock") == 0) NewLock();
  if (strcmp(what, "thread") == 0) JoinHostThread(StartHostThread(Nothing, NULL));
  return 0;
}
static void HostKitEndsWithoutALockOrAThread(void) {
  static const char* const rows[][2] = {
      {"malloc", "lock"}, {"malloc", "thread"}, {"CreateThread", "thread"}};
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    const char* args[] = {"--kit-without", rows[i][0], rows[i][1], NULL};
    int code = RunThisProgram(args);
    printf("the host kit without %s, asked for a %s: exit %d\n", rows[i][0], rows[i][1], code);
    CHECK(code == 3);
  }
}

/* The export when memory is short: null, and nothing logged. This is the
 * DLL's only load here, so its import table goes with it. */
static void CreationWithoutMemory(const char* path) {
  EnterFreshDirectory("host-no-memory");
  LoadedModule own;
  if (CHECK(LoadModuleLibrary(path, &own))) {
    CHECK(ReplaceImport(own.handle, "malloc", (void*)NoMemory));
    CHECK(own.byName() == NULL);
    UnloadModuleLibrary(&own);
  }
  CHECK(GetFileAttributesA("MXDRemote.log") == INVALID_FILE_ATTRIBUTES);
  LeaveDirectory();
}

/* The host's clock, which the timing cases read, with its counter answered
 * by the test: one at a 3 GHz processor's clock after 40 days (times 1000 it
 * would overflow), and none at all (its frequency 0), where the tick count
 * stands in. */
static LONGLONG counterNow, counterPerSecond;
static BOOL WINAPI GivenCounter(LARGE_INTEGER* count) {
  count->QuadPart = counterNow;
  return TRUE;
}
static BOOL WINAPI GivenFrequency(LARGE_INTEGER* frequency) {
  frequency->QuadPart = counterPerSecond;
  return counterPerSecond != 0;
}
static void ClockFromAnyCounter(void) {
  HMODULE self = GetModuleHandleA(NULL), kernel = GetModuleHandleA("KERNEL32.dll");
  void* counter = (void*)GetProcAddress(kernel, "QueryPerformanceCounter");
  void* frequency = (void*)GetProcAddress(kernel, "QueryPerformanceFrequency");
  CHECK(ReplaceImport(self, "QueryPerformanceCounter", (void*)GivenCounter));
  CHECK(ReplaceImport(self, "QueryPerformanceFrequency", (void*)GivenFrequency));
  counterPerSecond = 3000000000;
  counterNow = 40LL * 86400 * counterPerSecond + counterPerSecond / 2;
  CHECK(NowMs() == 40LL * 86400 * 1000 + 500);
  counterPerSecond = 0;
  int64_t now = NowMs();
  CHECK(now <= GetTickCount() && GetTickCount() - now < 100);
  ReplaceImport(self, "QueryPerformanceCounter", counter);
  ReplaceImport(self, "QueryPerformanceFrequency", frequency);
}

/* The other process of the case below: the plug-in holds a started module
 * when main returns. ExitProcess then ends the worker where it stands, before
 * the plug-in's DllMain makes the final Release. Writes the time main returns. */
static int ExitHoldingAModule(const char* path, const char* pluginPath, const char* stampPath) {
  LoadedModule library;
  ResetHostObjects();
  ShowCode(0x27BF00);
  void (*holdUntilUnloaded)(IRemoteModule*) = NULL;
  if (LoadPlugin(pluginPath, "HoldUntilUnloaded", (void (**)(void)) & holdUntilUnloaded) == NULL ||
      !LoadModuleLibrary(path, &library)) {
    return 2;
  }
  IRemoteModule* module = library.byName();
  if (IRemoteModule_Start(module, HostSinkObject(), HostDeviceObject()) != S_OK ||
      !WaitFor("key", 1, 5000)) {
    return 3;
  }
  holdUntilUnloaded(module);
  IgnoreJournalLock();
  FILE* stamp = fopen(stampPath, "w");
  if (stamp == NULL) return 4;
  fprintf(stamp, "%lld\n", (long long)NowMs());
  fclose(stamp);
  return 0;
}

/* A process ends with a plug-in that releases its started module in its
 * DllMain, timed from outside: from main's return to the process's end. */
static void ProcessExitWithAModuleReleasedInDllMain(const char* path, const char* pluginPath) {
  EnterFreshDirectory("host-process-exit");
  const char* args[] = {"--exit-holding-module", path, pluginPath, "main-returned.txt", NULL};
  int code = RunThisProgram(args);
  int64_t ended = NowMs();
  long long returned = 0;
  FILE* stamp = fopen("main-returned.txt", "r");
  CHECK(code == 0 && stamp != NULL && fscanf(stamp, "%lld", &returned) == 1);
  if (stamp != NULL) fclose(stamp);
  printf("process exit with a started module released in a plug-in's DllMain: %lld ms\n",
         (long long)(ended - returned));
  CHECK(ended - returned < 2000);
  LeaveDirectory();
}
#endif

int main(int argc, char** argv) {
  PrepareHostCases();
#if defined(_WIN32)
  systemGetProcAddress = GetProcAddress;
  if (argc == 4 && strcmp(argv[1], "--kit-without") == 0) return KitWithout(argv[2], argv[3]);
  if (argc == 5 && strcmp(argv[1], "--exit-holding-module") == 0) {
    return ExitHoldingAModule(argv[2], argv[3], argv[4]);
  }
  /* The hold's cases alone, on a system that reports the version given (a
   * Wine prefix told to be another Windows): which way is taken must not
   * depend on it. */
  if (argc == 5 && strcmp(argv[1], "--hold") == 0) {
    DWORD version = GetVersion();
    char reported[16];
    snprintf(reported, sizeof reported, "%u.%u", (unsigned)LOBYTE(version),
             (unsigned)HIBYTE(version));
    printf("Windows reports version %s%s\n", reported, version & 0x80000000u ? " (9x)" : "");
    CHECK(strcmp(reported, argv[4]) == 0);
    HoldTheLibraryEachWay(argv[2], argv[3]);
    printf("%d passed, %d failed\n", ChecksPassed(), ChecksFailed());
    return ChecksFailed() == 0 ? 0 : 1;
  }
#endif
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: host_test PATH-TO-LIBRARY [PATH-TO-TEST-PLUGIN]\n");
    return 2;
  }
  RunHostCases(argv[1]);
#if defined(_WIN32)
  if (argc == 3) {
    HoldTheLibraryEachWay(argv[1], argv[2]);
    ReleaseFromADllMain(argv[1], argv[2]);
    ProcessExitWithAModuleReleasedInDllMain(argv[1], argv[2]);
    ClockFromAnyCounter();
    HostKitOnOlderSystems();
    HostKitEndsWithoutALockOrAThread();
    CreationWithoutMemory(argv[1]);
  }
#endif
  printf("%d passed, %d failed\n", ChecksPassed(), ChecksFailed());
  return ChecksFailed() == 0 ? 0 : 1;
}
