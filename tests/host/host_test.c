/* SPDX-License-Identifier: MIT */
/* A host written in C that uses the module as a real one does: it loads the
 * built library by path, finds the export, calls only through the vtables, and
 * hands the module a key sink and a device of its own that record every call
 * with its time and thread.
 *
 * Usage: host_test PATH-TO-LIBRARY */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "interfaces/device_registers.h"
#include "interfaces/remote_module.h"
#include "tools/host/host_os.h"
#include "tools/loader/module_loader.h"
#include "tools/process/process_stats.h"

#if defined(_WIN32)
#include "host_win32.h"
#endif

#if defined(_WIN32)
#define NL "\r\n"
#else
#define NL "\n"
#endif

static const char kFirstLine[] = "Pelmar4: Initializing Aver TVCapture98 remote module.        " NL;
static const char kByeLine[] = "Pelmar4: Break event received. Bye!" NL;

/* ---- checks ---- */

static int passed, failed;

#define CHECK(condition) Check((condition) != 0, #condition, __FILE__, __LINE__)
static int Check(int ok, const char* what, const char* file, int line) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  }
  return ok;
}

/* ---- the journal of calls the module makes ---- */

typedef struct Entry {
  const char* what;
  uint32_t offset, value;
  const char* name;
  const char* alias;
  int64_t ms;
  uint64_t thread;
} Entry;

enum { kMaxEntries = 4096 };
static Entry journal[kMaxEntries];
static int journalSize;
static HostLock* journalLock;
/* Set in a process about to end: a thread ended there may hold the lock. */
static atomic_int unlocked;

static void JournalLock(void) {
  if (!atomic_load(&unlocked)) Lock(journalLock);
}
static void JournalUnlock(void) {
  if (!atomic_load(&unlocked)) Unlock(journalLock);
}

static void Record(const char* what, uint32_t offset, uint32_t value, const char* name,
                   const char* alias) {
  JournalLock();
  if (journalSize < kMaxEntries) {
    Entry entry = {what, offset, value, name, alias, NowMs(), CurrentThreadId()};
    journal[journalSize++] = entry;
  }
  JournalUnlock();
}

static int JournalSize(void) {
  JournalLock();
  int size = journalSize;
  JournalUnlock();
  return size;
}

static int CountOf(const char* what, int from) {
  int count = 0;
  for (int i = from; i < JournalSize(); ++i) count += strcmp(journal[i].what, what) == 0;
  return count;
}

/* Index of the n-th (from 0) entry named `what`, or -1. */
static int Find(const char* what, int n) {
  for (int i = 0; i < JournalSize(); ++i) {
    if (strcmp(journal[i].what, what) == 0 && n-- == 0) return i;
  }
  return -1;
}

/* Reference counts change on the worker's thread too. */
static ULONG Count(int* refs, int by) {
  JournalLock();
  int count = *refs += by;
  JournalUnlock();
  return (ULONG)count;
}

static void ClearJournal(void) {
  JournalLock();
  journalSize = 0;
  JournalUnlock();
}

/* ---- the host's key sink ---- */

typedef struct HostSink {
  IRemoteKeySink iface;
  int refs;
} HostSink;

static HRESULT PELMAR_CALL SinkQueryInterface(IRemoteKeySink* This, REFIID iid, void** out) {
  (void)This, (void)iid;
  *out = NULL;
  return E_NOINTERFACE;
}
static ULONG PELMAR_CALL SinkAddRef(IRemoteKeySink* This) {
  Record("sink.AddRef", 0, 0, NULL, NULL);
  return Count(&((HostSink*)This)->refs, 1);
}
static ULONG PELMAR_CALL SinkRelease(IRemoteKeySink* This) {
  Record("sink.Release", 0, 0, NULL, NULL);
  return Count(&((HostSink*)This)->refs, -1);
}
/* What the host does inside OnKey; set by the test before Start. */
static struct {
  IRemoteModule* closeOnPower; /* Stop and Release it when Key_Power arrives */
  IRemoteModule* releaseOnKey; /* Release it at the first key */
  IRemoteModule* stopAndWork;  /* Stop it at the first key, then work 300 ms more */
  atomic_int stuck;            /* every OnKey waits while this is set */
  int deepStack;               /* run a handler that needs 256 KiB of stack */
  int64_t closeTookMs;
} onKey;

/* Touches `bytes` of stack in frames that outlive their calls. */
static int UseStack(size_t bytes) {
  volatile char block[16 * 1024];
  block[0] = 1;
  block[sizeof block - 1] = (char)(bytes > sizeof block ? UseStack(bytes - sizeof block) : 1);
  return block[0] + block[sizeof block - 1] - 1;
}

static HRESULT PELMAR_CALL SinkOnKey(IRemoteKeySink* This, const char* name, const char* alias) {
  (void)This;
  Record("key", 0, 0, name, alias);
  if (onKey.deepStack && UseStack(256 * 1024) == 1) Record("deep handler", 0, 0, NULL, NULL);
  if (onKey.closeOnPower != NULL && strcmp(name, "Key_Power") == 0) {
    IRemoteModule* module = onKey.closeOnPower;
    onKey.closeOnPower = NULL;
    int64_t before = NowMs();
    HRESULT stopped = IRemoteModule_Stop(module);
    ULONG left = IRemoteModule_Release(module);
    onKey.closeTookMs = NowMs() - before;
    Record(stopped == S_OK && left == 0 ? "host closed" : "host close failed", 0, 0, NULL, NULL);
  }
  if (onKey.stopAndWork != NULL) {
    IRemoteModule* module = onKey.stopAndWork;
    onKey.stopAndWork = NULL;
    Record(IRemoteModule_Stop(module) == S_OK ? "stopped in OnKey" : "stop failed", 0, 0, NULL,
           NULL);
    SleepFor(300);
    Record("OnKey's work done", 0, 0, NULL, NULL);
  }
  while (atomic_load(&onKey.stuck)) SleepFor(1);
  if (onKey.releaseOnKey != NULL) {
    IRemoteModule* module = onKey.releaseOnKey;
    onKey.releaseOnKey = NULL;
    Record(IRemoteModule_Release(module) == 0 ? "host released" : "release failed", 0, 0, NULL,
           NULL);
  }
  return S_OK;
}
static const IRemoteKeySinkVtbl sinkVtbl = {SinkQueryInterface, SinkAddRef, SinkRelease, SinkOnKey};

/* ---- the host's device and its registers ---- */

static HostSink sink;

typedef struct HostRegisters {
  IDeviceRegisters iface;
  int refs;
} HostRegisters;

typedef struct HostDevice {
  IUnknown iface;
  int refs;
  int refuse;
  IRemoteModule* startOnRelease; /* Start it from inside the next Release */
  HostRegisters registers;
} HostDevice;

/* What the card shows in GPIO_DATA; written by the test, read by the worker. */
static volatile uint32_t gpioData;

static uint32_t SetUpValue(uint32_t offset) {
  switch (offset) {
    case 0x10C:
      return 0x12340000; /* GPIO_DMA_CTL */
    case 0x118:
      return 0x00AB0000; /* GPIO_OUT_EN */
    default:
      return gpioData;
  }
}

static HRESULT PELMAR_CALL RegsQueryInterface(IDeviceRegisters* This, REFIID iid, void** out) {
  (void)This, (void)iid;
  *out = NULL;
  return E_NOINTERFACE;
}
static ULONG PELMAR_CALL RegsAddRef(IDeviceRegisters* This) {
  Record("regs.AddRef", 0, 0, NULL, NULL);
  return Count(&((HostRegisters*)This)->refs, 1);
}
static ULONG PELMAR_CALL RegsRelease(IDeviceRegisters* This) {
  Record("regs.Release", 0, 0, NULL, NULL);
  return Count(&((HostRegisters*)This)->refs, -1);
}
static HRESULT PELMAR_CALL RegsReserved(IDeviceRegisters* This) {
  (void)This;
  Record("regs.Reserved", 0, 0, NULL, NULL);
  return S_OK;
}
static HRESULT PELMAR_CALL RegsRead(IDeviceRegisters* This, uint32_t offset, uint32_t* value) {
  (void)This;
  *value = SetUpValue(offset);
  Record("regs.Read", offset, *value, NULL, NULL);
  return S_OK;
}
static HRESULT PELMAR_CALL RegsWrite(IDeviceRegisters* This, uint32_t offset, uint32_t value) {
  (void)This;
  Record("regs.Write", offset, value, NULL, NULL);
  return S_OK;
}
static const IDeviceRegistersVtbl regsVtbl = {RegsQueryInterface, RegsAddRef, RegsRelease,
                                              RegsReserved,       RegsRead,   RegsWrite};

static HRESULT PELMAR_CALL DeviceQueryInterface(IUnknown* This, REFIID iid, void** out) {
  HostDevice* device = (HostDevice*)This;
  Record("device.QueryInterface", 0, 0, NULL, NULL);
  *out = NULL;
  if (device->refuse || memcmp(iid, &IID_IDeviceRegisters, sizeof(IID)) != 0) return E_NOINTERFACE;
  device->registers.iface.lpVtbl->AddRef(&device->registers.iface);
  *out = &device->registers.iface;
  return S_OK;
}
static ULONG PELMAR_CALL DeviceAddRef(IUnknown* This) {
  Record("device.AddRef", 0, 0, NULL, NULL);
  return Count(&((HostDevice*)This)->refs, 1);
}
static ULONG PELMAR_CALL DeviceRelease(IUnknown* This) {
  HostDevice* device = (HostDevice*)This;
  Record("device.Release", 0, 0, NULL, NULL);
  ULONG left = Count(&device->refs, -1);
  IRemoteModule* module = device->startOnRelease;
  device->startOnRelease = NULL;
  if (module != NULL) {
    HRESULT result = IRemoteModule_Start(module, &sink.iface, This);
    Record(result == E_UNEXPECTED ? "nested Start refused" : "nested Start", 0, 0, NULL, NULL);
  }
  return left;
}
static IUnknownVtbl deviceVtbl = {DeviceQueryInterface, DeviceAddRef, DeviceRelease};

static HostDevice device;

static void ResetHostObjects(void) {
  sink.iface.lpVtbl = &sinkVtbl;
  sink.refs = 1;
  device.iface.lpVtbl = &deviceVtbl;
  device.refs = 1;
  device.refuse = 0;
  device.startOnRelease = NULL;
  device.registers.iface.lpVtbl = &regsVtbl;
  device.registers.refs = 1;
  gpioData = 0;
  ClearJournal();
}

/* Waits until `condition` holds, at most `timeoutMs`. */
static int WaitUntil(int (*condition)(void), int64_t timeoutMs) {
  int64_t deadline = NowMs() + timeoutMs;
  while (!condition()) {
    if (NowMs() > deadline) return 0;
    SleepFor(1);
  }
  return 1;
}

static int AllReferencesReturned(void) {
  JournalLock();
  int all = sink.refs == 1 && device.refs == 1 && device.registers.refs == 1;
  JournalUnlock();
  return all;
}

static void CheckAllReferencesReturned(void) {
  CHECK(AllReferencesReturned());
}

/* ---- helpers ---- */

static char* ReadLog(void) {
  static char content[8192];
  FILE* file = fopen("MXDRemote.log", "rb");
  size_t size = 0;
  if (file != NULL) {
    size = fread(content, 1, sizeof content - 1, file);
    fclose(file);
  }
  content[size] = 0;
  return content;
}

static int WaitFor(const char* what, int count, int64_t timeoutMs) {
  int64_t deadline = NowMs() + timeoutMs;
  while (CountOf(what, 0) < count) {
    if (NowMs() > deadline) return 0;
    SleepFor(1);
  }
  return 1;
}

static LoadedModule library;

static IRemoteModule* NewModule(void) {
  return library.byName();
}

/* ---- the cases ---- */

static void ExportIsFoundByNameAndByOrdinal(void) {
#if defined(_WIN32)
  CHECK(library.byOrdinal == library.byName);
#endif
  CHECK(library.byName != NULL);
}

static void CreationIsLoggedAndAppended(void) {
  EnterFreshDirectory("host-creation-log");
  FILE* earlier = fopen("MXDRemote.log", "wb");
  fputs("earlier" NL, earlier);
  fclose(earlier);

  IRemoteModule* first = NewModule();
  char afterFirst[8192];
  strcpy(afterFirst, ReadLog());
  IRemoteModule* second = NewModule();
  const char* log = ReadLog();

  CHECK(first != NULL && second != NULL && first != second);
  CHECK(strlen(kFirstLine) == 62 + strlen(NL) - 1);
  const char* created = afterFirst + strlen("earlier" NL);
  CHECK(strncmp(afterFirst, "earlier" NL, strlen("earlier" NL)) == 0);
  CHECK(strncmp(created, kFirstLine, strlen(kFirstLine)) == 0);
  const char* notice = created + strlen(kFirstLine);
  size_t noticeLength = strlen(notice);
  CHECK(strncmp(notice, "Pelmar4: ", 9) == 0);
  CHECK(noticeLength > strlen(NL) && strcmp(notice + noticeLength - strlen(NL), NL) == 0);
  CHECK(strchr(notice, '\n') == notice + noticeLength - 1); /* one line */
  /* The second object appends the same two lines. */
  CHECK(strlen(log) == strlen(afterFirst) + strlen(created));
  CHECK(strncmp(log, afterFirst, strlen(afterFirst)) == 0);
  CHECK(strcmp(log + strlen(afterFirst), created) == 0);

  CHECK(first->lpVtbl->Release(first) == 0);
  CHECK(second->lpVtbl->Release(second) == 0);
  CHECK(strcmp(ReadLog(), log) == 0); /* nothing logged when never started */
  LeaveDirectory();
}

static void CountsAndQueryInterface(void) {
  EnterFreshDirectory("host-counts");
  IRemoteModule* module = NewModule();
  CHECK(IRemoteModule_AddRef(module) == 2);
  CHECK(IRemoteModule_Release(module) == 1);
  void* asUnknown = NULL;
  void* asModule = NULL;
  void* other = (void*)1;
  CHECK(IRemoteModule_QueryInterface(module, &IID_IUnknown, &asUnknown) == S_OK);
  CHECK(IRemoteModule_QueryInterface(module, &IID_IRemoteModule, &asModule) == S_OK);
  CHECK(asUnknown == (void*)module && asModule == (void*)module);
  CHECK(IRemoteModule_QueryInterface(module, &IID_IDeviceRegisters, &other) == E_NOINTERFACE);
  CHECK(other == NULL);
  CHECK(IRemoteModule_QueryInterface(module, &IID_IRemoteModule, NULL) == E_POINTER);
  CHECK(IRemoteModule_QueryInterface(module, NULL, &other) == E_POINTER);
  CHECK(IRemoteModule_Release(module) == 2);
  CHECK(IRemoteModule_Release(module) == 1);
  IRemoteModule_Reserved(module);
  CHECK(IRemoteModule_Release(module) == 0);
  LeaveDirectory();
}

static void HeldKeyIsReportedAtOnceThenAfterASecondThenEveryTenth(void) {
  EnterFreshDirectory("host-held-key");
  ResetHostObjects();
  gpioData = 0xAB27BF00u | 0x5Au; /* Key_Power, with noise outside bits 8-23 */
  IRemoteModule* module = NewModule();
  int64_t started = NowMs();
  CHECK(IRemoteModule_Start(module, &sink.iface, &device.iface) == S_OK);
  CHECK(WaitFor("key", 5, 5000));
  CHECK(IRemoteModule_Stop(module) == S_OK);

  /* Set-up: read-modify-write of the three registers, upper halves kept. */
  int r = Find("regs.Read", 0);
  CHECK(r >= 0 && journal[r].offset == 0x10C);
  CHECK(journal[r + 1].offset == 0x10C && journal[r + 1].value == 0x1234C004);
  CHECK(journal[r + 2].offset == 0x118 && journal[r + 3].offset == 0x118);
  CHECK(strcmp(journal[r + 3].what, "regs.Write") == 0 && journal[r + 3].value == 0x00AB78FF);
  CHECK(journal[r + 4].offset == 0x200 && journal[r + 5].offset == 0x200);
  CHECK(journal[r + 5].value == (0xAB27BF5Au | 0x7FC2));

  int k[5];
  for (int i = 0; i < 5; ++i) k[i] = Find("key", i);
  CHECK(strcmp(journal[k[0]].name, "Key_Power") == 0 && strcmp(journal[k[0]].alias, "Power") == 0);
  int64_t first = journal[k[0]].ms - started;
  int64_t repeat = journal[k[1]].ms - journal[k[0]].ms;
  printf("held key: first report after %lld ms, first repeat after %lld ms, then", (long long)first,
         (long long)repeat);
  CHECK(first >= 15 && first < 600);
  CHECK(repeat >= 950 && repeat < 1600);
  for (int i = 2; i < 5; ++i) {
    int64_t period = journal[k[i]].ms - journal[k[i - 1]].ms;
    printf(" %lld", (long long)period);
    CHECK(period >= 90 && period < 400);
    CHECK(strcmp(journal[k[i]].name, "Key_Power") == 0);
  }
  printf(" ms\n");
  CHECK(journal[k[0]].thread != CurrentThreadId());
  CHECK(CountOf("regs.Release", 0) == 1);
  CheckAllReferencesReturned();
  CHECK(IRemoteModule_Release(module) == 0);
  LeaveDirectory();
}

static void StopDuringTheLongSleepEndsAfterOneMoreRead(void) {
  EnterFreshDirectory("host-stop-in-sleep");
  ResetHostObjects();
  gpioData = 0x1C3F00; /* Key_1: reported at the first read, next read 1000 ms later */
  IRemoteModule* module = NewModule();
  int64_t started = NowMs();
  CHECK(IRemoteModule_Start(module, &sink.iface, &device.iface) == S_OK);
  CHECK(WaitFor("key", 1, 2000));
  SleepFor(200);
  int before = JournalSize();
  int64_t stopAt = NowMs();
  CHECK(IRemoteModule_Stop(module) == S_OK);
  int64_t stopped = NowMs();
  printf("stop during the 1000 ms sleep: asked %lld ms after start, returned after %lld ms\n",
         (long long)(stopAt - started), (long long)(stopped - stopAt));
  CHECK(stopped - stopAt < 1000 + 500);
  CHECK(stopped - started >= 1000);

  /* After the request: one read, one report, then the ends in order. */
  const char* expected[] = {"regs.Read", "key", "regs.Release", "device.Release", "sink.Release"};
  CHECK(JournalSize() - before == 5);
  for (int i = 0; i < 5 && before + i < JournalSize(); ++i) {
    CHECK(strcmp(journal[before + i].what, expected[i]) == 0);
  }
  CHECK(journal[before + 2].thread != CurrentThreadId()); /* the worker releases the registers */
  const char* log = ReadLog();
  size_t length = strlen(log);
  CHECK(length > strlen(kByeLine) && strcmp(log + length - strlen(kByeLine), kByeLine) == 0);
  CheckAllReferencesReturned();
  CHECK(IRemoteModule_Release(module) == 0);
  LeaveDirectory();
}

static void DeviceWithoutRegistersEndsTheWorkerQuietly(void) {
  EnterFreshDirectory("host-refusing-device");
  ResetHostObjects();
  device.refuse = 1;
  IRemoteModule* module = NewModule();
  CHECK(IRemoteModule_Start(module, &sink.iface, &device.iface) == S_OK);
  CHECK(WaitFor("device.QueryInterface", 1, 2000));
  SleepFor(100);
  CHECK(IRemoteModule_Stop(module) == S_OK);
  CHECK(CountOf("regs.Read", 0) == 0 && CountOf("regs.Write", 0) == 0);
  CHECK(CountOf("regs.Release", 0) == 0);
  CHECK(strstr(ReadLog(), "Bye") == NULL);
  CheckAllReferencesReturned();
  CHECK(IRemoteModule_Release(module) == 0);
  LeaveDirectory();
}

static void NullSinkAndNullDevice(void) {
  EnterFreshDirectory("host-null-objects");
  ResetHostObjects();
  gpioData = 0x27BF00;
  IRemoteModule* module = NewModule();
  CHECK(IRemoteModule_Start(module, &sink.iface, NULL) == E_UNEXPECTED);
  CHECK(AllReferencesReturned());
  CHECK(IRemoteModule_Start(module, NULL, &device.iface) == S_OK);
  CHECK(WaitFor("regs.Read", 4, 2000));
  CHECK(IRemoteModule_Stop(module) == S_OK);
  CHECK(CountOf("key", 0) == 0);
  CheckAllReferencesReturned();
  CHECK(IRemoteModule_Release(module) == 0);
  LeaveDirectory();
}

static void LogThatCannotBeOpened(void) {
  EnterFreshDirectory("host-unopenable-log");
  MakeDirectory("MXDRemote.log");
  ResetHostObjects();
  gpioData = 0x27BF00;
  IRemoteModule* module = NewModule();
  CHECK(module != NULL);
  CHECK(IRemoteModule_Start(module, &sink.iface, &device.iface) == S_OK);
  CHECK(WaitFor("key", 1, 2000));
  CHECK(IRemoteModule_Release(module) == 0); /* final Release of a started object */
  CHECK(ReadLog()[0] == 0);
  CheckAllReferencesReturned();
  LeaveDirectory();
}

/* Key_Power stops the module from inside OnKey, whose handler then works on
 * for 300 ms; meanwhile the host's main thread, which saw the key, calls Stop
 * (its shutdown) or Start (a restart). Either waits for the worker: after
 * Stop nothing is held and no call follows; Start succeeds. */
static void HostCallWhileOnKeyEndsAStop(int restart) {
  EnterFreshDirectory(restart ? "host-restart-while-stopping" : "host-stop-while-stopping");
  ResetHostObjects();
  gpioData = 0x27BF00; /* Key_Power */
  IRemoteModule* module = NewModule();
  onKey.stopAndWork = module;
  CHECK(IRemoteModule_Start(module, &sink.iface, &device.iface) == S_OK);
  CHECK(WaitFor("stopped in OnKey", 1, 5000));
  int64_t before = NowMs();
  HRESULT result = restart ? IRemoteModule_Start(module, &sink.iface, &device.iface)
                           : IRemoteModule_Stop(module);
  int64_t took = NowMs() - before;
  int size = JournalSize();
  CHECK(result == S_OK);
  CHECK(CountOf("OnKey's work done", 0) == 1 && CountOf("stop failed", 0) == 0);
  if (restart) {
    CHECK(WaitFor("key", 2, 5000)); /* the new worker reports again */
  } else {
    CHECK(AllReferencesReturned());
    SleepFor(100);
    CHECK(JournalSize() == size);
  }
  printf("%s while OnKey ends a stop: returned after %lld ms, once the handler was done\n",
         restart ? "Start" : "Stop", (long long)took);
  CHECK(IRemoteModule_Release(module) == 0);
  CheckAllReferencesReturned();
  LeaveDirectory();
}

/* OnKey is stuck: Stop gives up after 5000 ms and keeps everything; the final
 * Release that follows returns at once instead of waiting again, and the
 * worker gives everything back and frees the module when OnKey returns. */
static void FinalReleaseAfterAStopThatGaveUp(void) {
  EnterFreshDirectory("host-release-after-stop-gave-up");
  ResetHostObjects();
  gpioData = 0x27BF00;
  IRemoteModule* module = NewModule();
  atomic_store(&onKey.stuck, 1);
  CHECK(IRemoteModule_Start(module, &sink.iface, &device.iface) == S_OK);
  CHECK(WaitFor("key", 1, 5000));
  int64_t before = NowMs();
  CHECK(IRemoteModule_Stop(module) == E_UNEXPECTED);
  int64_t stopped = NowMs();
  CHECK(!AllReferencesReturned());
  CHECK(IRemoteModule_Release(module) == 0);
  int64_t released = NowMs();
  atomic_store(&onKey.stuck, 0);
  CHECK(WaitUntil(AllReferencesReturned, 5000));
  printf("OnKey stuck: Stop gave up after %lld ms; the final Release then took %lld ms\n",
         (long long)(stopped - before), (long long)(released - stopped));
  CHECK(stopped - before >= 4900);
  CHECK(released - stopped < 1000);
  LeaveDirectory();
}

/* The host shuts down when Key_Power arrives: its key handler, which needs
 * 256 KiB of stack, stops and releases the module from inside OnKey, and the
 * moment that call has returned the host unloads the library. The module is
 * created from a fresh load, so the unload is real. */
static void KeyPowerClosesTheHost(const char* path) {
  EnterFreshDirectory("host-key-power-closes");
  ResetHostObjects();
  gpioData = 0x27BF00;
  LoadedModule own;
  if (!CHECK(LoadModuleLibrary(path, &own))) return;
  IRemoteModule* module = own.byName();
  onKey.closeOnPower = module;
  onKey.deepStack = 1;
  CHECK(IRemoteModule_Start(module, &sink.iface, &device.iface) == S_OK);
  CHECK(WaitFor("host closed", 1, 5000));
  UnloadModuleLibrary(&own);
  int64_t closed = NowMs();
  CHECK(WaitUntil(AllReferencesReturned, 5000));
  printf(
      "Key_Power closes the host: Stop and Release inside OnKey took %lld ms, "
      "everything was given back %lld ms after the unload\n",
      (long long)onKey.closeTookMs, (long long)(NowMs() - closed));
  CHECK(onKey.closeTookMs < 1000);
  /* After the call: no read and no report, then the ends in order. */
  const char* ends[] = {"regs.Release", "device.Release", "sink.Release"};
  int at = Find("host closed", 0);
  CHECK(JournalSize() == at + 4);
  for (int i = 0; i < 3 && at + 1 + i < JournalSize(); ++i) {
    CHECK(strcmp(journal[at + 1 + i].what, ends[i]) == 0);
  }
  CHECK(strstr(ReadLog(), "Bye") != NULL);
  CHECK(CountOf("deep handler", 0) == 1);
  onKey.deepStack = 0;
  LeaveDirectory();
}

/* Host threads that overlap their calls, as a window thread, a notification
 * thread and a settings thread do. Each cycle the main thread starts the
 * module, two threads make their calls at once, and the main thread stops it:
 * every call works or is refused with E_UNEXPECTED, and every reference comes
 * back exactly once. */
typedef struct Overlap {
  const char* name;
  int startsFirst; /* the first thread calls Start, not Stop */
} Overlap;

static struct {
  IRemoteModule* module;
  int startsFirst;
  atomic_int cycle, done, ok, refused, other;
} overlap;

static void OverlappingCaller(void* raw) {
  int starts = overlap.startsFirst && raw != NULL;
  for (int seen = 0;;) {
    while (atomic_load(&overlap.cycle) == seen) SleepFor(1);
    seen = atomic_load(&overlap.cycle);
    if (seen < 0) return;
    if (starts) SleepFor((uint32_t)seen % 30); /* before, during or after the Stop */
    HRESULT result = starts ? IRemoteModule_Start(overlap.module, &sink.iface, &device.iface)
                            : IRemoteModule_Stop(overlap.module);
    atomic_fetch_add(result == S_OK           ? &overlap.ok
                     : result == E_UNEXPECTED ? &overlap.refused
                                              : &overlap.other,
                     1);
    atomic_fetch_add(&overlap.done, 1);
  }
}

static void OverlappingCalls(const Overlap* row) {
  enum { kCycles = 100 };
  EnterFreshDirectory("host-overlapping-calls");
  ResetHostObjects();
  gpioData = 0x27BF00;
  IRemoteModule* module = NewModule();
  overlap.module = module;
  overlap.startsFirst = row->startsFirst;
  atomic_store(&overlap.cycle, 0);
  atomic_store(&overlap.done, 0);
  atomic_store(&overlap.ok, 0);
  atomic_store(&overlap.refused, 0);
  atomic_store(&overlap.other, 0);
  HostThread* first = StartHostThread(OverlappingCaller, &overlap);
  HostThread* second = StartHostThread(OverlappingCaller, NULL);
  int cycle = 0, stopsFailed = 0, lost = 0;
  for (; cycle < kCycles && failed == 0; ++cycle) {
    CHECK(IRemoteModule_Start(module, &sink.iface, &device.iface) == S_OK);
    atomic_store(&overlap.cycle, cycle + 1);
    while (atomic_load(&overlap.done) < 2 * (cycle + 1)) SleepFor(1);
    stopsFailed += IRemoteModule_Stop(module) != S_OK;
    lost += !AllReferencesReturned();
  }
  atomic_store(&overlap.cycle, -1);
  JoinHostThread(first);
  JoinHostThread(second);
  int ok = atomic_load(&overlap.ok), refused = atomic_load(&overlap.refused);
  printf("%s, %d cycles: %d calls worked, %d were refused\n", row->name, cycle, ok, refused);
  CHECK(stopsFailed == 0 && lost == 0 && atomic_load(&overlap.other) == 0);
  CHECK(ok + refused == 2 * cycle);
  /* Of two Stops one at least works; a Start that comes first is refused
   * (already started) and so is the Stop it overlaps. */
  CHECK(row->startsFirst || ok >= cycle);
  CHECK(CountOf("device.AddRef", 0) == CountOf("device.Release", 0));
  CHECK(CountOf("sink.AddRef", 0) == CountOf("sink.Release", 0));
  CHECK(IRemoteModule_Release(module) == 0);
  CheckAllReferencesReturned();
  LeaveDirectory();
}

/* A Start made from inside the device's Release while Stop gives the device
 * back is refused, and Stop gives back the sink it holds. */
static void StartFromInsideTheDevicesRelease(void) {
  enum { kCycles = 50 };
  EnterFreshDirectory("host-start-in-device-release");
  ResetHostObjects();
  IRemoteModule* module = NewModule();
  int cycle = 0;
  for (; cycle < kCycles && failed == 0; ++cycle) {
    CHECK(IRemoteModule_Start(module, &sink.iface, &device.iface) == S_OK);
    device.startOnRelease = module;
    CHECK(IRemoteModule_Stop(module) == S_OK);
    CHECK(AllReferencesReturned());
  }
  CHECK(CountOf("nested Start refused", 0) == cycle && CountOf("nested Start", 0) == 0);
  CHECK(IRemoteModule_Release(module) == 0);
  CheckAllReferencesReturned();
  LeaveDirectory();
}

static int threadsAtStart; /* before any module was made */
static int ThreadsAsAtStart(void) {
  return ProcessThreadCount() == threadsAtStart;
}

/* Load, start, final Release (every other one inside OnKey), unload at once. */
static void UnloadRightAfterTheLastRelease(const char* path) {
  enum { kRounds = 40 };
  EnterFreshDirectory("host-unload-at-once");
  ResetHostObjects();
  gpioData = 0x1C3F00;               /* Key_1 */
  WaitUntil(ThreadsAsAtStart, 2000); /* the earlier cases' workers are ending */
  threadsAtStart = ProcessThreadCount();
  int handles = ProcessHandleCount();
  for (int round = 0; round < kRounds; ++round) {
    LoadedModule own;
    if (!CHECK(LoadModuleLibrary(path, &own))) break;
    IRemoteModule* module = own.byName();
    int inOnKey = round % 2;
    if (inOnKey) onKey.releaseOnKey = module;
    CHECK(IRemoteModule_Start(module, &sink.iface, &device.iface) == S_OK);
    if (inOnKey) {
      CHECK(WaitFor("host released", round / 2 + 1, 5000));
    } else {
      CHECK(IRemoteModule_Release(module) == 0);
    }
    UnloadModuleLibrary(&own);
  }
  CHECK(WaitUntil(AllReferencesReturned, 5000));
  CHECK(WaitUntil(ThreadsAsAtStart, 5000));
  CHECK(ProcessHandleCount() == handles);
  CHECK(CountOf("release failed", 0) == 0);
  printf(
      "%d loads, starts, final releases (half inside OnKey) and unloads: threads %d -> %d, "
      "handles %d -> %d\n",
      kRounds, threadsAtStart, ProcessThreadCount(), handles, ProcessHandleCount());
  LeaveDirectory();
}

#if defined(_WIN32)
/* A host plug-in of the test's own owns a started module and releases it from
 * its DllMain, under the loader lock, when the host unloads the plug-in. */
static void ReleaseFromADllMain(const char* path, const char* pluginPath) {
  EnterFreshDirectory("host-dllmain-release");
  ResetHostObjects();
  gpioData = 0x27BF00;
  void (*holdUntilUnloaded)(IRemoteModule*) = NULL;
  void* plugin = LoadPlugin(pluginPath, "HoldUntilUnloaded", (void (**)(void)) & holdUntilUnloaded);
  LoadedModule own;
  if (!CHECK(plugin != NULL) || !CHECK(LoadModuleLibrary(path, &own))) return;
  IRemoteModule* module = own.byName();
  CHECK(IRemoteModule_Start(module, &sink.iface, &device.iface) == S_OK);
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
static FARPROC WINAPI RowGetProcAddress(HMODULE module, LPCSTR name) {
  int found = 0;
  void* function = HIWORD((DWORD_PTR)name) != 0 ? RowImport(name, &found) : NULL;
  return found ? (FARPROC)function : GetProcAddress(module, name);
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
  gpioData = 0x27BF00;
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
  if (!CHECK(create != NULL)) return;
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

  HRESULT started = IRemoteModule_Start(module, &sink.iface, &device.iface);
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

/* The other process of the case below: the plug-in holds a started module
 * when main returns. ExitProcess then ends the worker where it stands, before
 * the plug-in's DllMain makes the final Release. Writes the time main returns. */
static int ExitHoldingAModule(const char* path, const char* pluginPath, const char* stampPath) {
  ResetHostObjects();
  gpioData = 0x27BF00;
  void (*holdUntilUnloaded)(IRemoteModule*) = NULL;
  if (LoadPlugin(pluginPath, "HoldUntilUnloaded", (void (**)(void)) & holdUntilUnloaded) == NULL ||
      !LoadModuleLibrary(path, &library)) {
    return 2;
  }
  IRemoteModule* module = library.byName();
  if (IRemoteModule_Start(module, &sink.iface, &device.iface) != S_OK || !WaitFor("key", 1, 5000)) {
    return 3;
  }
  holdUntilUnloaded(module);
  atomic_store(&unlocked, 1);
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
  journalLock = NewLock();
#if defined(_WIN32)
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
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
  }
#endif
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: host_test PATH-TO-LIBRARY [PATH-TO-TEST-PLUGIN]\n");
    return 2;
  }
  threadsAtStart = ProcessThreadCount();
  if (!CHECK(LoadModuleLibrary(argv[1], &library))) {
    fprintf(stderr, "%s\n", library.error);
    printf("%d passed, %d failed\n", passed, failed);
    return 1;
  }
  ExportIsFoundByNameAndByOrdinal();
  CreationIsLoggedAndAppended();
  CountsAndQueryInterface();
  HeldKeyIsReportedAtOnceThenAfterASecondThenEveryTenth();
  StopDuringTheLongSleepEndsAfterOneMoreRead();
  DeviceWithoutRegistersEndsTheWorkerQuietly();
  NullSinkAndNullDevice();
  LogThatCannotBeOpened();
  HostCallWhileOnKeyEndsAStop(0);
  HostCallWhileOnKeyEndsAStop(1);
  FinalReleaseAfterAStopThatGaveUp();
  static const Overlap overlaps[] = {{"two Stops at once", 0}, {"Start against Stop", 1}};
  for (size_t i = 0; i < sizeof overlaps / sizeof overlaps[0]; ++i) OverlappingCalls(&overlaps[i]);
  StartFromInsideTheDevicesRelease();
  UnloadModuleLibrary(&library);
  /* From here on nothing else holds the library. */
  UnloadRightAfterTheLastRelease(argv[1]);
  KeyPowerClosesTheHost(argv[1]); /* also: a load after all those unloads works */
#if defined(_WIN32)
  if (argc == 3) {
    HoldTheLibraryEachWay(argv[1], argv[2]);
    ReleaseFromADllMain(argv[1], argv[2]);
    ProcessExitWithAModuleReleasedInDllMain(argv[1], argv[2]);
  }
#endif
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
