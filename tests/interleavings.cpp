// SPDX-License-Identifier: MIT
// The module's lifecycle promises (C1 to C7, interfaces/remote_module.h),
// checked over every interleaving of the host's threads and the worker, up to
// a preemption bound, and over random deeper ones. Each row of the table is a
// script for each host thread, what a host call does and where the module makes
// it (on whichever thread that is), and a failure; the real module code runs
// on the explorer's platform layer, and its plain shared fields are checked
// for data races.
//
// Usage: interleavings [--only PROMISE] [ROW | --replay KEY]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "keys/gpio_remote_module.h"
#include "log/log_message.h"
#include "support/explorer/explored_platform.h"
#include "support/explorer/scheduler.h"

// The log is not part of the lifecycle: its lines go nowhere here.
void LogMessage(const char*, ...) {}

namespace {

// What a host call does, the first time the module makes it at the row's place.
enum class Action {
  kNothing,
  kStart,
  kStop,
  kStopThenRelease,  // releases the reference the host gave its handler
  kRelease,          // the same, without a Stop
  kSendMessage,      // blocks until host A's module call has returned
  kSlow,             // takes 8 s
  kTakeAndDrop,      // AddRef and Release on the module, as a smart pointer copy does
};
enum class Where {
  kOnKey,
  kPollRead,  // the first read after the three of set-up
  kSetUpWrite,
  kDeviceQuery,
  kRegistersRelease,
  kDeviceAddRef,
  kDeviceRelease,
  kSinkRelease,
};
enum class Failure { kNone, kEventCreation, kThreadCreation, kRefusedRegisters };

struct Row {
  // Each host thread's steps, "A: ... | B: ...": Start Stop Release, Await
  // (until the row's call was made, at most 3 s), Started (until a Start has
  // succeeded, at most 3 s), Exit, and in A's steps B or C (make that thread
  // now; otherwise it is made at once). Each host thread holds a reference of
  // its own and gives it back at its end if its steps have not.
  const char* script;
  Action action;
  Where where;
  Failure failure;
  int bound;
};

constexpr Action kNothing = Action::kNothing, kStart = Action::kStart, kStop = Action::kStop,
                 kStopThenRelease = Action::kStopThenRelease, kRelease = Action::kRelease,
                 kSendMessage = Action::kSendMessage, kSlow = Action::kSlow,
                 kTakeAndDrop = Action::kTakeAndDrop;
constexpr Where kOnKey = Where::kOnKey, kPollRead = Where::kPollRead,
                kSetUpWrite = Where::kSetUpWrite, kDeviceQuery = Where::kDeviceQuery,
                kRegistersRelease = Where::kRegistersRelease, kDeviceAddRef = Where::kDeviceAddRef,
                kDeviceRelease = Where::kDeviceRelease, kSinkRelease = Where::kSinkRelease;
constexpr Failure kNone = Failure::kNone;

// "Exit" ends every other thread where it stands, as ExitProcess does before a
// plug-in's DllMain makes the final Release.
const Row kRows[] = {
    {"Start Stop Release", kNothing, kOnKey, kNone, 3},
    {"Start Release", kNothing, kOnKey, kNone, 3},
    {"Start Stop Start Stop Release", kNothing, kOnKey, kNone, 2},
    {"Start Stop Release", kNothing, kOnKey, Failure::kEventCreation, 3},
    {"Start Stop Start Stop Release", kNothing, kOnKey, Failure::kThreadCreation, 2},
    {"Start Stop Release", kNothing, kOnKey, Failure::kRefusedRegisters, 3},
    {"Start Await Stop Release", kStop, kOnKey, kNone, 2},
    {"Start Await Start Stop Release", kStop, kOnKey, kNone, 2},
    {"Start Await Release", kStop, kOnKey, kNone, 2},
    {"Start", kStopThenRelease, kOnKey, kNone, 3},
    {"Start Await Stop Release", kStopThenRelease, kOnKey, kNone, 2},
    {"Start Release", kRelease, kOnKey, kNone, 3},
    {"Start Await Stop Release", kSendMessage, kOnKey, kNone, 2},
    {"Start Await Release", kSendMessage, kOnKey, kNone, 2},
    {"Start Await Stop Release", kSlow, kOnKey, kNone, 2},
    {"Start Await Release", kSlow, kOnKey, kNone, 2},
    {"Start Await Stop Start Stop Release", kSlow, kOnKey, kNone, 2},
    {"Start Await Stop Release", kTakeAndDrop, kOnKey, kNone, 2},
    {"Start Await Stop Release", kStop, kPollRead, kNone, 2},
    {"Start Await Start Stop Release", kStop, kPollRead, kNone, 2},
    {"Start Release", kStopThenRelease, kPollRead, kNone, 3},
    {"Start Await Stop Release", kSendMessage, kPollRead, kNone, 2},
    {"Start Stop Release", kStop, kDeviceRelease, kNone, 3},
    {"Start Release", kStop, kDeviceRelease, kNone, 3},
    {"Start Await Stop Release", kStop, kDeviceRelease, kNone, 2},
    {"Start Release", kTakeAndDrop, kDeviceRelease, kNone, 3},
    {"Start Await Release", kStopThenRelease, kDeviceRelease, kNone, 2},
    {"Start Exit Release", kNothing, kOnKey, kNone, 3},
    {"Start Await Exit Release", kSlow, kOnKey, kNone, 3},
    {"Start Await Exit Release", kStop, kOnKey, kNone, 3},
    // Host threads that overlap their calls.
    {"A: Start Started Stop Release | B: Started Stop", kNothing, kOnKey, kNone, 2},
    {"A: Start Stop Release | B: Start Stop", kNothing, kOnKey, kNone, 2},
    {"A: Start Await Stop Release | B: Started Stop", kSlow, kOnKey, kNone, 2},
    {"A: Start Await Release | B: Await Start Stop", kStop, kOnKey, kNone, 1},
    {"A: Start Started Exit Release | B: Started Stop", kNothing, kOnKey, kNone, 1},
    {"A: Start Stop B Release | B: Start Stop", kNothing, kOnKey, kNone, 2},
    // Calls from inside every call the module makes on a host object.
    {"Start Stop Release", kStart, kDeviceRelease, kNone, 2},
    {"Start Stop Release", kStop, kDeviceAddRef, kNone, 2},
    {"Start Stop Release", kStart, kDeviceAddRef, kNone, 2},
    {"Start Await Stop Release", kStart, kOnKey, kNone, 2},
    {"Start Stop Release", kStop, kSinkRelease, kNone, 2},
    {"Start Release", kStart, kSinkRelease, kNone, 2},
    {"Start Await Stop Release", kStop, kDeviceQuery, kNone, 2},
    {"Start Await Release", kSlow, kDeviceQuery, kNone, 2},
    {"Start Await Stop Release", kStopThenRelease, kSetUpWrite, kNone, 2},
    {"Start Await Stop Release", kSendMessage, kSetUpWrite, kNone, 2},
    {"Start Await Stop Release", kRelease, kRegistersRelease, kNone, 2},
    {"Start Await Stop Start Stop Release", kTakeAndDrop, kRegistersRelease, kNone, 2},
    {"A: Start Await Stop Release | B: Await Stop", kSlow, kSinkRelease, kNone, 1},
    {"A: Start Started Stop Release | B: Started Stop", kStop, kDeviceRelease, kNone, 1},
};

const char* const kActionNames[] = {"nothing", "Start",       "Stop", "Stop, Release",
                                    "Release", "SendMessage", "slow", "AddRef, Release"};
const char* const kWhereNames[] = {"OnKey",          "ReadRegister",      "WriteRegister",
                                   "QueryInterface", "registers Release", "device AddRef",
                                   "device Release", "sink Release"};
const char* const kFailureNames[] = {"", ", no event", ", no thread", ", no registers"};

constexpr int64_t kBoundMs = 5000;

// ---- one schedule's world: the host's objects and what the checks follow ----

// A host thread: its steps and what the checks follow of its calls.
struct Host {
  std::string name;  // "A", "B", ...
  std::vector<std::string> steps;
  int model = -1;
  bool holds = true;             // holds a reference on the module
  int depth = 0;                 // module calls under way on this thread
  int startsAndStops = 0;        // of them, Start or Stop
  int starts = 0;                // of them, Start
  int taken = 0, givenBack = 0;  // references the module took and gave back on this thread
  bool waitRanOutHeld = false;   // a wait for the worker ran out while it had not left
};

struct World {
  const Row* row = nullptr;
  IRemoteModule* module = nullptr;
  std::vector<Host> hosts;
  int sinkRefs = 1, deviceRefs = 1, registersRefs = 1;  // 1: the host's own
  int reads = 0;                                        // register reads, for the poll-read trigger
  int destroyed = 0;
  bool triggered = false;     // the module has made the call where the action happens
  bool handlerHolds = false;  // A's handler holds a reference it has not released
  long callsBegun = 0;        // host threads' Starts and Stops so far, nested ones included
  bool started = false;       // a Start has succeeded
  bool quiet = false;         // a host Stop returned S_OK, and the module took nothing since
  bool stopReturned = false;  // a Stop returned S_OK on any thread since the last Start
  int stoppedWorker = -1;     // the worker on whose thread a Stop returned S_OK
  bool gaveUp = false;        // a host Stop, overlapping no other call, gave up
  bool exited = false;        // every other thread was ended (process exit)
  bool startFailing = false;  // the Start under way cannot make its thread
  bool threadFailed = false;  // the one thread creation that fails has failed
  bool stopAsked = false;     // the worker could see a stop, since it was made
  bool alive = false;         // the module object is not freed yet
  lifecycle::State state = lifecycle::kIdle;  // as last seen
  int readsSinceStop = 0, completionsSinceStop = 0;
};

class ExploredModule;

World world;
ExploredModule* explored = nullptr;  // the module, while world.alive
const char* onlyPromise = nullptr;   // --only: report this promise alone
// How often each row of the transition table was taken, over all schedules.
long movesTaken[sizeof lifecycle::kMoves / sizeof lifecycle::kMoves[0]];

void Fail(const char* promise, const std::string& detail) {
  if (onlyPromise == nullptr || strcmp(onlyPromise, promise) == 0) explorer::Fail(promise, detail);
}

bool OnWorker() {
  return explored_platform::IsWorker(explorer::CurrentThread());
}

// The host thread making the current call, or null on a worker.
Host* CurrentHost() {
  for (Host& host : world.hosts) {
    if (host.model == explorer::CurrentThread()) return &host;
  }
  return nullptr;
}

// Every call the module makes on a host object is a scheduling point, and none
// may come while the host has been promised quiet. A call that uses an object
// (not AddRef or Release) needs a reference the module holds: `refs` above 1.
void Called(const char* what, int refs = 2) {
  explorer::Point(what);
  if (world.quiet) Fail("C1", std::string(what) + " after Stop returned S_OK");
  if (refs < 2) Fail("C1", std::string(what) + " on an object the module no longer holds");
}

// After a stop is asked for, the worker may finish the step under way (a read
// and its report or write) but start no other register call or report.
void RegisterOrReport(bool isRead, const char* what) {
  if (!world.stopAsked || !OnWorker()) return;
  if (world.completionsSinceStop > 0 || (isRead && world.readsSinceStop > 0)) {
    Fail("C5", std::string(what) + " begins after the stop was asked for and seen");
  }
  ++(isRead ? world.readsSinceStop : world.completionsSinceStop);
}

// The host's objects on which the module still holds a reference.
std::string Held() {
  std::string held;
  if (world.registersRefs > 1) held += " the register interface";
  if (world.deviceRefs > 1) held += " the device";
  if (world.sinkRefs > 1) held += " the sink";
  return held;
}

lifecycle::Side Side() {
  return OnWorker() ? lifecycle::kWorker : lifecycle::kHost;
}

const char* NameOf(lifecycle::Side side) {
  return side == lifecycle::kWorker ? "the worker" : "a host thread";
}

const char* NameOf(lifecycle::State state) {
  static const char* const names[] = {"Idle", "Running", "WorkerEnds", "WorkerDeletes",
                                      "HostDeletes"};
  return names[static_cast<int>(state)];
}

// Which side ends the stop in `state`: the table's rows that lead there say.
lifecycle::Side EndsStop(lifecycle::State state) {
  for (const lifecycle::Move& move : lifecycle::kMoves) {
    if (move.to == state) return move.endsStop;
  }
  return lifecycle::kHost;
}

lifecycle::State CurrentState();

// The device and the sink are given back only by the side the state names,
// and never while a worker runs.
void GivenBack(const char* what) {
  if (Host* host = CurrentHost()) ++host->givenBack;
  if (!world.alive) return;
  lifecycle::State state = CurrentState();
  if (state == lifecycle::kRunning || EndsStop(state) != Side()) {
    Fail("table",
         std::string(what) + " is given back by " + NameOf(Side()) + " in state " + NameOf(state));
  }
}

void Released(int& refs, const char* what) {
  if (--refs < 1) Fail("C4", std::string(what) + " released more often than it was taken");
}

// The module takes a reference on the sink or the device (in Start): from here
// on it may call the host's objects again.
ULONG Taken(const char* call, int& refs) {
  world.quiet = false;
  Called(call);
  if (Host* host = CurrentHost()) ++host->taken;
  return static_cast<ULONG>(++refs);
}

// The module gives the sink or the device back: by the side that ends the
// stop, once, and after `before`, what it must give back first.
ULONG GivenBackAfter(const char* call, const char* what, int& refs, int before,
                     const char* beforeWhat) {
  Called(call);
  GivenBack(what);
  if (before != 1 && !world.exited) {
    Fail("C4", std::string(what) + " is given back before " + beforeWhat);
  }
  Released(refs, what);
  return static_cast<ULONG>(refs);
}

void Trigger(Where where);

struct Sink : IRemoteKeySink {
  HRESULT PELMAR_CALL QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG PELMAR_CALL AddRef() override { return Taken("sink.AddRef", world.sinkRefs); }
  ULONG PELMAR_CALL Release() override {
    ULONG left =
        GivenBackAfter("sink.Release", "the sink", world.sinkRefs, world.deviceRefs, "the device");
    Trigger(kSinkRelease);
    return left;
  }
  HRESULT PELMAR_CALL OnKey(const char*, const char*) override {
    Called("sink.OnKey", world.sinkRefs);
    RegisterOrReport(false, "OnKey");
    Trigger(kOnKey);
    return S_OK;
  }
};

struct Registers : IDeviceRegisters {
  HRESULT PELMAR_CALL QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG PELMAR_CALL AddRef() override {
    Called("registers.AddRef");
    return static_cast<ULONG>(++world.registersRefs);
  }
  ULONG PELMAR_CALL Release() override {
    Called("registers.Release");
    Released(world.registersRefs, "the register interface");
    Trigger(kRegistersRelease);
    return static_cast<ULONG>(world.registersRefs);
  }
  HRESULT PELMAR_CALL Reserved() override { return S_OK; }
  HRESULT PELMAR_CALL ReadRegister(uint32_t offset, uint32_t* value) override {
    Called("registers.ReadRegister", world.registersRefs);
    RegisterOrReport(true, "ReadRegister");
    *value = offset == gpio::kData ? 0x27BFu << gpio::kCodeShift : 0;  // Key_Power held
    if (++world.reads == 4) Trigger(kPollRead);
    return S_OK;
  }
  HRESULT PELMAR_CALL WriteRegister(uint32_t, uint32_t) override {
    Called("registers.WriteRegister", world.registersRefs);
    RegisterOrReport(false, "WriteRegister");
    Trigger(kSetUpWrite);
    return S_OK;
  }
};

struct Device : IUnknown {
  HRESULT PELMAR_CALL QueryInterface(REFIID, void** out) override {
    Called("device.QueryInterface", world.deviceRefs);
    *out = nullptr;
    Trigger(kDeviceQuery);
    if (world.row->failure == Failure::kRefusedRegisters) return E_NOINTERFACE;
    ++world.registersRefs;
    *out = static_cast<IDeviceRegisters*>(&registers);
    return S_OK;
  }
  ULONG PELMAR_CALL AddRef() override {
    ULONG count = Taken("device.AddRef", world.deviceRefs);
    Trigger(kDeviceAddRef);
    return count;
  }
  ULONG PELMAR_CALL Release() override {
    ULONG left = GivenBackAfter("device.Release", "the device", world.deviceRefs,
                                world.registersRefs, "the register interface");
    Trigger(kDeviceRelease);
    return left;
  }
  Registers registers;
};

// The host's objects outlive every schedule's threads.
Sink sink;
Device device;

class ExploredModule : public GpioRemoteModule {
 public:
  ExploredModule() { world.alive = true; }
  ~ExploredModule() override {
    ++world.destroyed;
    world.alive = false;
  }
  lifecycle::State State() const { return Lifecycle(); }
  bool AskedToStop() const { return StopRequested(); }
};

lifecycle::State CurrentState() {
  lifecycle::State state = lifecycle::kIdle;
  explorer::WithoutPoints([&] { state = explored->State(); });
  return state;
}

// At every point: a move since the last one must be a row of the table, made
// by the side the row names; and the first point at which the worker could
// see a stop is noted, for the check of late calls.
void Watch() {
  if (!world.alive) return;
  lifecycle::State state = explored->State();
  if (state != world.state) {
    bool listed = false;
    for (size_t i = 0; i < sizeof movesTaken / sizeof movesTaken[0]; ++i) {
      const lifecycle::Move& move = lifecycle::kMoves[i];
      if (move.from == world.state && move.to == state && move.by == Side()) {
        listed = true;
        ++movesTaken[i];
      }
    }
    if (!listed) {
      Fail("table", std::string("a move from ") + NameOf(world.state) + " to " + NameOf(state) +
                        " by " + NameOf(Side()) + " is not in the table");
    }
    world.state = state;
  }
  if (!world.stopAsked && explored->AskedToStop()) world.stopAsked = true;
}

// ---- calls on the module ----

int64_t WaitedMs() {
  return explored_platform::WaitedMs(explorer::CurrentThread());
}

struct CallFacts {
  bool nested = false;      // made from inside a module call on the same thread
  bool overlapped = false;  // nested, or another host thread's Start or Stop ran meanwhile
  int64_t waitedMs = 0;
};

// One call on the module, from a host thread's steps or from the row's action
// on whichever thread the module called the host. No call waits for the worker
// longer than the bound, and a refused Start or Stop takes and gives back
// nothing.
template <class Call>
HRESULT ModuleCall(const char* name, bool startOrStop, CallFacts& facts, Call call) {
  Host* host = CurrentHost();
  Host none;
  Host& me = host != nullptr ? *host : none;
  explorer::Point(name);
  facts.nested = me.depth > 0;
  facts.overlapped = facts.nested;
  for (const Host& other : world.hosts) {
    if (&other != &me && other.startsAndStops > 0) facts.overlapped = true;
  }
  long begun = world.callsBegun + (startOrStop && host != nullptr ? 1 : 0);
  world.callsBegun = begun;
  ++me.depth;
  me.startsAndStops += startOrStop ? 1 : 0;
  int taken = me.taken, givenBack = me.givenBack;
  if (!facts.nested) me.waitRanOutHeld = false;
  int64_t waitedBefore = WaitedMs();
  HRESULT result = call();
  --me.depth;
  me.startsAndStops -= startOrStop ? 1 : 0;
  if (world.callsBegun != begun) facts.overlapped = true;
  facts.waitedMs = WaitedMs() - waitedBefore;
  if (facts.waitedMs > kBoundMs) {
    Fail("C3", std::string(name) + " waited " + std::to_string(facts.waitedMs) + " ms");
  }
  if (startOrStop && result != S_OK && !world.startFailing &&
      (me.taken != taken || me.givenBack != givenBack)) {
    Fail("C7", std::string(name) + " was refused, yet took or gave back a reference");
  }
  return result;
}

void Start(IRemoteModule* module) {
  Host* host = CurrentHost();
  bool promised = world.stopReturned;
  world.startFailing = world.row->failure == Failure::kThreadCreation && !world.started &&
                       !world.threadFailed && host != nullptr && host->depth == 0;
  CallFacts facts;
  if (host != nullptr) ++host->starts;
  HRESULT result =
      ModuleCall("calls Start", true, facts, [&] { return module->Start(&sink, &device); });
  if (host != nullptr) --host->starts;
  if (result == S_OK) {
    world.started = true;
    world.stopReturned = world.gaveUp = false;
    if (host == nullptr || facts.nested) {
      Fail("C7", "a Start on the worker's thread or inside a module call succeeded");
    }
  } else if (world.startFailing) {
    world.threadFailed = true;
  } else if (promised && host != nullptr && !facts.overlapped && facts.waitedMs < kBoundMs) {
    Fail("C2", "Start refused after a Stop returned S_OK, before its wait ran out");
  }
  world.startFailing = false;
}

void Stop(IRemoteModule* module) {
  Host* host = CurrentHost();
  bool insideStart = host != nullptr && host->starts > 0;
  bool insideStop = host != nullptr && host->startsAndStops > host->starts;
  CallFacts facts;
  HRESULT result = ModuleCall("calls Stop", true, facts, [&] { return module->Stop(); });
  // On the thread of a call under way: refused inside a Start; inside a Stop,
  // S_OK at once, and the Stop under way ends the stop.
  if (insideStart && result == S_OK) Fail("C7", "a Stop inside a Start returned S_OK");
  if (!insideStart && insideStop && (result != S_OK || facts.waitedMs > 0)) {
    Fail("C7", "a Stop inside a Stop did not return S_OK at once");
  }
  if (host == nullptr) {  // on the worker's thread Stop only asks
    if (result != S_OK) Fail("C1", "a Stop on the worker's thread did not return S_OK");
    world.stopReturned = true;
    world.stoppedWorker = explorer::CurrentThread();
    return;
  }
  if (result != S_OK) {
    if (facts.overlapped) return;
    if (!host->waitRanOutHeld) {
      Fail("C3",
           "Stop gave up, overlapping no call, though the worker had left when its wait ran out");
    }
    world.gaveUp = true;
    return;
  }
  world.gaveUp = false;
  world.stopReturned = true;
  if (facts.nested) return;  // the call it is made from finishes the stop
  std::string held = Held();
  if (!held.empty()) Fail("C1", "Stop returned S_OK while the module still holds" + held);
  world.quiet = true;
}

// A final Release does not wait again after a Stop that gave up, nor for a
// thread that has ended.
void Release(IRemoteModule* module) {
  CallFacts facts;
  HRESULT left = ModuleCall("calls Release", false, facts,
                            [&] { return static_cast<HRESULT>(module->Release()); });
  if (left == 0 && facts.waitedMs > 0 && (world.gaveUp || world.exited)) {
    Fail("C3", std::string("the final Release waited ") + std::to_string(facts.waitedMs) + " ms " +
                   (world.exited ? "for a thread that had ended" : "after a Stop that gave up"));
  }
}

void ReleaseHandlersReference() {
  if (!world.handlerHolds) return;
  world.handlerHolds = false;
  Release(world.module);
}

void Act() {
  IRemoteModule* module = world.module;
  switch (world.row->action) {
    case Action::kNothing:
      break;
    case Action::kStart:
      Start(module);
      break;
    case Action::kStop:
    case Action::kStopThenRelease:
      Stop(module);
      if (world.row->action == Action::kStopThenRelease) ReleaseHandlersReference();
      break;
    case Action::kRelease:
      ReleaseHandlersReference();
      break;
    case Action::kSendMessage:
      // To host A's window: it is handled once A's module call has returned,
      // or at once when the caller is A.
      if (CurrentHost() != &world.hosts[0]) {
        explorer::Block(
            "sends a message to host A", [] { return world.hosts[0].depth == 0; }, -1);
      }
      break;
    case Action::kSlow:
      explorer::Block(
          "works for 8 s", [] { return false; }, 8000);
      break;
    case Action::kTakeAndDrop:
      module->AddRef();
      module->Release();
      break;
  }
}

void Trigger(Where where) {
  if (world.row->where != where || world.triggered) return;
  world.triggered = true;
  Act();
}

// ---- the host threads ----

void RunSteps(Host& host);

// Makes host thread `i` (B, C), which gets a reference of its own. Made late,
// it may get the identity of a worker that has ended.
void MakeHost(size_t i) {
  static const char* const names[] = {"host A", "host B", "host C"};
  world.module->AddRef();
  world.hosts[i].model = explorer::Spawn(names[i], [i] { RunSteps(world.hosts[i]); });
  explored_platform::GiveIdentity(world.hosts[i].model);
}

void RunSteps(Host& host) {
  IRemoteModule* module = world.module;
  for (const std::string& step : host.steps) {
    if (step.size() == 1) {
      MakeHost(static_cast<size_t>(step[0] - 'A'));
    } else if (step == "Start") {
      Start(module);
    } else if (step == "Stop") {
      Stop(module);
    } else if (step == "Release") {
      Release(module);
      host.holds = false;
    } else if (step == "Await") {
      explorer::Block(
          "waits for the call", [] { return world.triggered; }, 3000);
    } else if (step == "Started") {
      explorer::Block(
          "waits for a Start", [] { return world.started; }, 3000);
    } else if (step == "Exit") {
      explorer::Point("exits");
      explorer::EndOtherThreads();
      world.exited = true;
    }
  }
  if (host.holds && !world.exited) {
    Release(module);
    host.holds = false;
  }
}

// "A: Start Stop | B: Stop" or, for host A alone, "Start Stop".
std::vector<Host> HostsOf(const char* script) {
  std::vector<Host> hosts;
  std::istringstream parts(script);
  for (std::string part; std::getline(parts, part, '|');) {
    std::istringstream words(part);
    Host host;
    host.name = std::string(1, static_cast<char>('A' + hosts.size()));
    for (std::string word; words >> word;) {
      if (word.back() != ':') host.steps.push_back(word);
    }
    hosts.push_back(host);
  }
  return hosts;
}

void HostScript() {
  const Row& row = *world.row;
  world.hosts = HostsOf(row.script);
  Host& a = world.hosts[0];
  a.model = explorer::CurrentThread();
  explored_platform::GiveIdentity(a.model);
  auto* module = new ExploredModule();
  world.module = module;
  explored = module;
  explorer::Observe(Watch);
  // The handler's reference: one of A's own, or A's only one.
  bool handlerReleases = row.action == Action::kStopThenRelease || row.action == Action::kRelease;
  bool aReleases = std::find(a.steps.begin(), a.steps.end(), "Release") != a.steps.end();
  if (handlerReleases && aReleases) module->AddRef();
  a.holds = !handlerReleases || aReleases;
  world.handlerHolds = handlerReleases;
  // The other host threads, unless A's steps make them later.
  for (size_t i = 1; i < world.hosts.size(); ++i) {
    std::string name(1, static_cast<char>('A' + i));
    if (std::find(a.steps.begin(), a.steps.end(), name) == a.steps.end()) MakeHost(i);
  }
  RunSteps(a);
  // A handler that never ran: the host drops its reference itself.
  if (world.handlerHolds && !world.exited) {
    world.handlerHolds = false;
    Release(module);
  }
}

void RunSchedule(const Row& row) {
  world = World{};
  world.row = &row;
  explored_platform::Reset(row.failure == Failure::kEventCreation,
                           row.failure == Failure::kThreadCreation);
  explored_platform::OnThreadMade([] {
    world.stopAsked = false;
    world.readsSinceStop = world.completionsSinceStop = 0;
  });
  // After a Stop inside one of its host calls, the worker leaves with
  // everything given back.
  explored_platform::OnRoutineReturned([] {
    std::string held = Held();
    if (world.stoppedWorker == explorer::CurrentThread() && !held.empty()) {
      Fail("C1", "the worker left after a Stop on its thread, still holding" + held);
    }
  });
  // A Stop may give up only when the worker has not left when its wait runs out.
  explored_platform::OnWaitRanOut([] {
    Host* host = CurrentHost();
    if (host != nullptr && world.alive && CurrentState() != lifecycle::kIdle) {
      host->waitRanOutHeld = true;
    }
  });
  HostScript();
}

// With every thread ended: everything given back once, the object freed once,
// every handle closed, the library let go. At process exit what an ended
// thread held stays held, and a host thread ended while it held a reference
// leaves the object unfreed.
void CheckEnd() {
  bool referenceDied =
      world.exited &&
      (world.handlerHolds || std::any_of(world.hosts.begin(), world.hosts.end(),
                                         [](const Host& h) { return h.holds && h.model != 0; }));
  if (world.destroyed > 1 || (world.destroyed == 0 && !referenceDied)) {
    Fail("C4", "the object was freed " + std::to_string(world.destroyed) + " times");
  }
  // Kept, as a process keeps what its ended threads held.
  static auto* keptAtExit = new std::vector<IRemoteModule*>;
  if (world.destroyed == 0 && referenceDied) keptAtExit->push_back(world.module);
  if (world.exited) return;
  std::string held = Held();
  if (!held.empty()) Fail("C4", "never given back:" + held);
  const explored_platform::Ledger& handed = explored_platform::Handed();
  if (handed.liveEvents != 0) Fail("C4", "an event was never closed");
  if (handed.liveThreads != 0) Fail("C4", "a thread handle was never closed");
  if (handed.libraryHolds != 0) Fail("C6", "a hold on the library was never dropped");
}

std::string Describe(const Row& row) {
  std::string text = row.script;
  text += "; ";
  text += kActionNames[static_cast<int>(row.action)];
  if (row.action != Action::kNothing) {
    text += " in ";
    text += kWhereNames[static_cast<int>(row.where)];
  }
  text += kFailureNames[static_cast<int>(row.failure)];
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = static_cast<int>(sizeof kRows / sizeof kRows[0]);
  if (argc >= 3 && strcmp(argv[1], "--only") == 0) {
    onlyPromise = argv[2];
    argc -= 2;
    argv += 2;
  }
  if (argc == 3 && strcmp(argv[1], "--replay") == 0) {
    int number = atoi(argv[2]);
    const char* choices = strchr(argv[2], ':');
    if (number < 1 || number > rows || choices == nullptr) {
      fprintf(stderr, "interleavings: no such key: %s\n", argv[2]);
      return 2;
    }
    const Row& row = kRows[number - 1];
    printf("%d %s\n", number, Describe(row).c_str());
    explorer::Options options;
    auto outcome = explorer::Replay(
        choices + 1, [&] { RunSchedule(row); }, CheckEnd, options);
    return outcome.violated ? 1 : 0;
  }
  int first = 0, last = rows - 1;
  if (argc == 2 && atoi(argv[1]) >= 1 && atoi(argv[1]) <= rows) {
    first = last = atoi(argv[1]) - 1;
  } else if (argc != 1) {
    fprintf(stderr, "usage: interleavings [--only PROMISE] [ROW | --replay KEY]\n");
    return 2;
  }
  long schedules = 0;
  int violations = 0;
  auto began = std::chrono::steady_clock::now();
  for (int i = first; i <= last; ++i) {
    const Row& row = kRows[i];
    explorer::Options options;
    options.races = onlyPromise == nullptr || strcmp(onlyPromise, "race") == 0;
    options.bound = row.bound;
    options.seed = static_cast<uint64_t>(i) + 1;
    auto rowBegan = std::chrono::steady_clock::now();
    printf("%2d %-66s", i + 1, Describe(row).c_str());
    fflush(stdout);
    auto outcome = explorer::Explore(
        std::to_string(i + 1) + ":", [&] { RunSchedule(row); }, CheckEnd, options);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - rowBegan).count();
    if (!outcome.violated) {
      printf(" K=%d  %7ld schedules  %5.1f s\n", row.bound, outcome.schedules, seconds);
    }
    schedules += outcome.schedules;
    violations += outcome.violated ? 1 : 0;
  }
  // Every move the table lists is one some schedule makes.
  for (size_t i = 0; first == 0 && last == rows - 1 && i < sizeof movesTaken / sizeof movesTaken[0];
       ++i) {
    const lifecycle::Move& move = lifecycle::kMoves[i];
    if (movesTaken[i] > 0) continue;
    printf("table: no schedule takes the move \"%s\", %s to %s\n", move.when, NameOf(move.from),
           NameOf(move.to));
    ++violations;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  printf("(%.1f s)\ninterleavings: %d scenarios, %ld distinct schedules, %d violations\n", seconds,
         last - first + 1, schedules, violations);
  return violations == 0 ? 0 : 1;
}
