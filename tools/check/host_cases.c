/* SPDX-License-Identifier: MIT */
#include "host_cases.h"

#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "interfaces/device_registers.h"
#include "tools/host/host_os.h"
#include "tools/loader/module_loader.h"
#include "tools/process/process_stats.h"

#if defined(_WIN32)
#define NL "\r\n"
#else
#define NL "\n"
#endif

static const char kFirstLine[] = "Pelmar4: Initializing Aver TVCapture98 remote module.        " NL;
static const char kByeLine[] = "Pelmar4: Break event received. Bye!" NL;

/* ---- checks ---- */

static int passed, failed;

int Check(int ok, const char* what, const char* file, int line) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    const char* name = strrchr(file, '/') != NULL ? strrchr(file, '/') + 1 : file;
    printf("      check failed, %s:%d: %s\n", name, line, what);
  }
  return ok;
}

int ChecksPassed(void) {
  return passed;
}
int ChecksFailed(void) {
  return failed;
}

/* What the case under way says of itself, on its line. */
static char note[512];

static void Note(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  size_t used = strlen(note);
  vsnprintf(note + used, sizeof note - used, format, arguments);
  va_end(arguments);
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

void IgnoreJournalLock(void) {
  atomic_store(&unlocked, 1);
}

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
  IRemoteModule* stopOnAddRef;   /* Stop it from inside the next AddRef */
  HostRegisters registers;
} HostDevice;

/* What the card shows in GPIO_DATA; written by the test, read by the worker. */
static volatile uint32_t gpioData;

void ShowCode(uint32_t value) {
  gpioData = value;
}

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
  HostDevice* device = (HostDevice*)This;
  Record("device.AddRef", 0, 0, NULL, NULL);
  ULONG count = Count(&device->refs, 1);
  IRemoteModule* module = device->stopOnAddRef;
  device->stopOnAddRef = NULL;
  if (module != NULL) {
    HRESULT result = IRemoteModule_Stop(module);
    Record(result == E_UNEXPECTED ? "nested Stop refused" : "nested Stop", 0, 0, NULL, NULL);
  }
  return count;
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

void ResetHostObjects(void) {
  sink.iface.lpVtbl = &sinkVtbl;
  sink.refs = 1;
  device.iface.lpVtbl = &deviceVtbl;
  device.refs = 1;
  device.refuse = 0;
  device.startOnRelease = NULL;
  device.stopOnAddRef = NULL;
  device.registers.iface.lpVtbl = &regsVtbl;
  device.registers.refs = 1;
  gpioData = 0;
  ClearJournal();
}

/* Waits until `condition` holds, at most `timeoutMs`. */
int WaitUntil(int (*condition)(void), int64_t timeoutMs) {
  int64_t deadline = NowMs() + timeoutMs;
  while (!condition()) {
    if (NowMs() > deadline) return 0;
    SleepFor(1);
  }
  return 1;
}

int AllReferencesReturned(void) {
  JournalLock();
  int all = sink.refs == 1 && device.refs == 1 && device.registers.refs == 1;
  JournalUnlock();
  return all;
}

void CheckAllReferencesReturned(void) {
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

int WaitFor(const char* what, int count, int64_t timeoutMs) {
  int64_t deadline = NowMs() + timeoutMs;
  while (CountOf(what, 0) < count) {
    if (NowMs() > deadline) return 0;
    SleepFor(1);
  }
  return 1;
}

static LoadedModule library;

IRemoteKeySink* HostSinkObject(void) {
  return &sink.iface;
}
IUnknown* HostDeviceObject(void) {
  return &device.iface;
}

static IRemoteModule* NewModule(void) {
  return library.byName();
}

/* ---- the cases ---- */

static void ExportIsFoundByNameAndByOrdinal(const char* path, int row) {
  (void)path, (void)row;
#if defined(_WIN32)
  CHECK(library.byOrdinal == library.byName);
#endif
  CHECK(library.byName != NULL);
}

static void CreationIsLoggedAndAppended(const char* path, int row) {
  (void)path, (void)row;
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

static void CountsAndQueryInterface(const char* path, int row) {
  (void)path, (void)row;
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

/* How early a sleep or a timed wait may end on this system: Windows wakes a
 * thread on a tick of its clock (10 to 55 ms on the older systems), so a
 * sleep may end up to a tick before its time. The longest of a few 1 ms
 * sleeps, which each last to the next tick, plus 5 ms for reading the time. */
static int64_t earlyMs;

static void MeasureHowEarlySleepsEnd(void) {
  int64_t longest = 0;
  for (int i = 0; i < 8; ++i) {
    int64_t before = NowMs();
    SleepFor(1);
    int64_t took = NowMs() - before;
    if (took > longest) longest = took;
  }
  earlyMs = longest + 5;
}

/* A code held from the start: read at 20 ms, 1000 ms later, then every 100
 * ms, each up to `earlyMs` early; reported at each read when it is a key,
 * never when it is not. */
static void HeldCode(uint32_t code, const char* name) {
  EnterFreshDirectory("host-held-key");
  ResetHostObjects();
  gpioData = 0xAB000000u | code << 8 | 0x5Au; /* with noise outside bits 8-23 */
  IRemoteModule* module = NewModule();
  int64_t started = NowMs();
  CHECK(IRemoteModule_Start(module, &sink.iface, &device.iface) == S_OK);
  CHECK(WaitFor("regs.Read", 3 + 5, 5000));
  CHECK(IRemoteModule_Stop(module) == S_OK);

  /* Set-up: read-modify-write of the three registers, upper halves kept. */
  int r = Find("regs.Read", 0);
  CHECK(r >= 0 && journal[r].offset == 0x10C);
  CHECK(journal[r + 1].offset == 0x10C && journal[r + 1].value == 0x1234C004);
  CHECK(journal[r + 2].offset == 0x118 && journal[r + 3].offset == 0x118);
  CHECK(strcmp(journal[r + 3].what, "regs.Write") == 0 && journal[r + 3].value == 0x00AB78FF);
  CHECK(journal[r + 4].offset == 0x200 && journal[r + 5].offset == 0x200);
  CHECK(journal[r + 5].value == (gpioData | 0x7FC2));

  int reads[5], keys = CountOf("key", 0);
  for (int i = 0; i < 5; ++i) reads[i] = Find("regs.Read", 3 + i);
  CHECK(name != NULL ? keys >= 5 : keys == 0);
  /* Five reads after the set-up's, or the case has failed already. */
  int count = CHECK(reads[4] >= 0) ? 5 : 0;
  for (int i = 0; i < count; ++i) {
    int64_t gap = journal[reads[i]].ms - (i == 0 ? started : journal[reads[i - 1]].ms);
    Note(i == 0   ? "read %ld ms after Start"
         : i == 1 ? ", again %ld ms later, then"
                  : " %ld",
         (long)gap);
    CHECK(i == 0   ? gap >= 20 - earlyMs && gap < 600
          : i == 1 ? gap >= 1000 - earlyMs && gap < 1600
                   : gap >= 100 - earlyMs && gap < 400);
    /* A read of a key is followed by its report, on the worker's thread. */
    Entry* report = &journal[reads[i] + 1];
    CHECK(name == NULL || (strcmp(report->what, "key") == 0 && strcmp(report->name, name) == 0 &&
                           report->thread != CurrentThreadId()));
  }
  Note(" ms; %d reports; sleeps may end %ld ms early here", keys, (long)earlyMs);
  CHECK(CountOf("regs.Release", 0) == 1);
  CheckAllReferencesReturned();
  CHECK(IRemoteModule_Release(module) == 0);
  LeaveDirectory();
}

/* Row 0: Key_Power; row 1: a code the remote does not have. */
static void HeldKey(const char* path, int row) {
  (void)path;
  HeldCode(row == 0 ? 0x27BF : 0x1234, row == 0 ? "Key_Power" : NULL);
  int first = Find("key", 0);
  CHECK(row != 0 || (first >= 0 && strcmp(journal[first].alias, "Power") == 0));
}

static void StopDuringTheLongSleepEndsAfterOneMoreRead(const char* path, int row) {
  (void)path, (void)row;
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
  Note("asked %ld ms after Start, returned %ld ms later", (long)(stopAt - started),
       (long)(stopped - stopAt));
  CHECK(stopped - stopAt < 1000 + 500);
  CHECK(stopped - started >= 1020 - 2 * earlyMs); /* two sleeps */

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

static void DeviceWithoutRegistersEndsTheWorkerQuietly(const char* path, int row) {
  (void)path, (void)row;
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

static void NullSinkAndNullDevice(const char* path, int row) {
  (void)path, (void)row;
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

static void LogThatCannotBeOpened(const char* path, int row) {
  (void)path, (void)row;
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
static void HostCallWhileOnKeyEndsAStop(const char* path, int restart) {
  (void)path;
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
  Note("returned after %ld ms, once the handler was done", (long)took);
  CHECK(IRemoteModule_Release(module) == 0);
  CheckAllReferencesReturned();
  LeaveDirectory();
}

/* OnKey is stuck: Stop gives up after 5000 ms and keeps everything; the final
 * Release that follows returns at once instead of waiting again, and the
 * worker gives everything back and frees the module when OnKey returns. */
static void FinalReleaseAfterAStopThatGaveUp(const char* path, int row) {
  (void)path, (void)row;
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
  Note("Stop gave up after %ld ms; the final Release then took %ld ms", (long)(stopped - before),
       (long)(released - stopped));
  CHECK(stopped - before >= 5000 - earlyMs);
  CHECK(released - stopped < 1000);
  LeaveDirectory();
}

/* The host shuts down when Key_Power arrives: its key handler, which needs
 * 256 KiB of stack, stops and releases the module from inside OnKey, and the
 * moment that call has returned the host unloads the library. The module is
 * created from a fresh load, so the unload is real. */
static void KeyPowerClosesTheHost(const char* path, int row) {
  (void)row;
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
  Note("Stop and Release took %ld ms, all was given back %ld ms after the unload",
       (long)onKey.closeTookMs, (long)(NowMs() - closed));
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

/* Row 0: two Stops at once; row 1: a Start against a Stop. */
static void OverlappingCalls(const char* path, int startsFirst) {
  (void)path;
  enum { kCycles = 100 };
  EnterFreshDirectory("host-overlapping-calls");
  ResetHostObjects();
  gpioData = 0x27BF00;
  IRemoteModule* module = NewModule();
  overlap.module = module;
  overlap.startsFirst = startsFirst;
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
  Note("%d cycles: %d calls worked, %d were refused", cycle, ok, refused);
  CHECK(stopsFailed == 0 && lost == 0 && atomic_load(&overlap.other) == 0);
  CHECK(ok + refused == 2 * cycle);
  /* Of two Stops one at least works; a Start that comes first is refused
   * (already started) and so is the Stop it overlaps. */
  CHECK(startsFirst || ok >= cycle);
  CHECK(CountOf("device.AddRef", 0) == CountOf("device.Release", 0));
  CHECK(CountOf("sink.AddRef", 0) == CountOf("sink.Release", 0));
  CHECK(IRemoteModule_Release(module) == 0);
  CheckAllReferencesReturned();
  LeaveDirectory();
}

/* A call made from inside another: a Start from the device's Release while
 * Stop gives the device back, or a Stop from the device's AddRef while Start
 * takes it. The inner one is refused; the outer one works and, once stopped,
 * everything is given back. */
static void NestedCall(const char* path, int stopInsideStart) {
  (void)path;
  enum { kCycles = 50 };
  EnterFreshDirectory("host-nested-call");
  ResetHostObjects();
  IRemoteModule* module = NewModule();
  int cycle = 0;
  for (; cycle < kCycles && failed == 0; ++cycle) {
    device.stopOnAddRef = stopInsideStart ? module : NULL;
    CHECK(IRemoteModule_Start(module, &sink.iface, &device.iface) == S_OK);
    device.startOnRelease = stopInsideStart ? NULL : module;
    CHECK(IRemoteModule_Stop(module) == S_OK);
    CHECK(AllReferencesReturned());
  }
  const char* inner = stopInsideStart ? "nested Stop" : "nested Start";
  char refused[32];
  snprintf(refused, sizeof refused, "%s refused", inner);
  CHECK(CountOf(refused, 0) == cycle && CountOf(inner, 0) == 0);
  Note("%d cycles", cycle);
  CHECK(IRemoteModule_Release(module) == 0);
  CheckAllReferencesReturned();
  LeaveDirectory();
}

static int threadsAtStart; /* before any module was made */
static int ThreadsAsAtStart(void) {
  return ProcessThreadCount() == threadsAtStart;
}

/* Load, start, final Release (every other one inside OnKey), unload at once. */
static void UnloadRightAfterTheLastRelease(const char* path, int row) {
  (void)row;
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
  if (threadsAtStart < 0 || handles < 0) {
    Note("%d rounds; this system cannot count threads or handles", kRounds);
  } else {
    Note("%d rounds; threads %d -> %d, handles %d -> %d", kRounds, threadsAtStart,
         ProcessThreadCount(), handles, ProcessHandleCount());
  }
  LeaveDirectory();
}

/* ---- the run ---- */

/* A case that loads the library itself runs once no one else holds it, so
 * that its unloads are real; such cases come last. */
typedef struct HostCase {
  const char* title;
  void (*run)(const char* path, int row);
  int row;
  int alone;
} HostCase;

// clang-format off
static const HostCase kCases[] = {
    {"the export, by name and by ordinal",                           ExportIsFoundByNameAndByOrdinal, 0, 0},
    {"two log lines at each creation, appended",                     CreationIsLoggedAndAppended, 0, 0},
    {"reference counts and QueryInterface",                          CountsAndQueryInterface, 0, 0},
    {"a held key: at once, after 1000 ms, then every 100 ms",        HeldKey, 0, 0},
    {"a code outside the table: read as often, never reported",      HeldKey, 1, 0},
    {"Stop inside the 1000 ms sleep: one more read, then Bye",       StopDuringTheLongSleepEndsAfterOneMoreRead, 0, 0},
    {"a device without registers: the worker ends quietly",          DeviceWithoutRegistersEndsTheWorkerQuietly, 0, 0},
    {"a null device refused, a null sink taken",                     NullSinkAndNullDevice, 0, 0},
    {"a log that cannot be opened",                                  LogThatCannotBeOpened, 0, 0},
    {"Stop while a Stop made inside OnKey finishes",                 HostCallWhileOnKeyEndsAStop, 0, 0},
    {"Start while a Stop made inside OnKey finishes (restart)",      HostCallWhileOnKeyEndsAStop, 1, 0},
    {"OnKey stuck: Stop gives up, the final Release returns at once", FinalReleaseAfterAStopThatGaveUp, 0, 0},
    {"two host threads: two Stops at once",                          OverlappingCalls, 0, 0},
    {"two host threads: Start against Stop",                         OverlappingCalls, 1, 0},
    {"Start inside Stop (the device's Release): refused",            NestedCall, 0, 0},
    {"Stop inside Start (the device's AddRef): refused",             NestedCall, 1, 0},
    {"unload right after the final Release, half inside OnKey",      UnloadRightAfterTheLastRelease, 0, 1},
    {"Key_Power: Stop and Release inside OnKey, then unload",        KeyPowerClosesTheHost, 0, 1},
};
// clang-format on

void PrepareHostCases(void) {
  if (journalLock == NULL) journalLock = NewLock();
}

int RunHostCases(const char* path) {
  PrepareHostCases();
  threadsAtStart = ProcessThreadCount();
  MeasureHowEarlySleepsEnd();
  if (!CHECK(LoadModuleLibrary(path, &library))) {
    printf("FAIL  loading the library: %s\n", library.error);
    return 1;
  }
  int casesFailed = 0;
  for (size_t i = 0; i < sizeof kCases / sizeof kCases[0]; ++i) {
    const HostCase* run = &kCases[i];
    if (run->alone) UnloadModuleLibrary(&library);
    int failedBefore = failed;
    note[0] = 0;
    run->run(path, run->row);
    casesFailed += failed != failedBefore;
    printf("%-4s  %s%s%s\n", failed == failedBefore ? "ok" : "FAIL", run->title,
           note[0] != 0 ? ": " : "", note);
    fflush(stdout);
  }
  UnloadModuleLibrary(&library);
  return casesFailed;
}

int HostCaseCount(void) {
  return (int)(sizeof kCases / sizeof kCases[0]);
}
