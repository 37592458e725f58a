// SPDX-License-Identifier: MIT
// RemoteModuleBase: the reference-counted module object behind IRemoteModule.
//
// It keeps the host's sink and device while started and owns the worker thread
// and the event that stops it; what the worker does is the subclass's Run. It
// keeps the lifecycle promises C1 to C7 of interfaces/remote_module.h.
//
// Two atomics decide which thread may touch what:
// - The claim (`caller`): the thread whose Start or Stop is under way (C7).
//   The plain fields a host thread touches are touched only under it, or by
//   the final Release, which no Start or Stop can overlap. A worker that must
//   free the object while a Start is still returning leaves that to it.
// - The state, named by who ends the stop (gives the device and then the sink
//   back); the table below lists every move. The worker's last act on the
//   object is its move out of Running or WorkerEnds (or freeing it); the
//   platform then signals that its routine has returned, and that, or its
//   thread's end, is what the host's bounded waits wait for.
//   Idle           no worker uses the object: the host's calls own it all
//   Running        a worker runs; a host thread ends the stop once it has left
//   WorkerEnds     a stop was asked for on the worker's thread: the worker
//                  ends it when the host call it is in returns
//   WorkerDeletes  the final Release was handed to the worker: it ends the
//                  stop and frees the object
//   HostDeletes    the final Release on a host thread ends the stop and frees
//                  the object
#ifndef PELMAR4_MODULE_REMOTE_MODULE_BASE_H
#define PELMAR4_MODULE_REMOTE_MODULE_BASE_H

#include <stddef.h>
#include <stdint.h>

#include "interfaces/remote_module.h"
#include "platform/atomic.h"
#include "platform/field.h"
#include "platform/platform.h"

struct RemoteKey;

namespace lifecycle {

enum class State : int32_t { kIdle, kRunning, kWorkerEnds, kWorkerDeletes, kHostDeletes };
enum class Side { kHost, kWorker };

constexpr State kIdle = State::kIdle, kRunning = State::kRunning, kWorkerEnds = State::kWorkerEnds,
                kWorkerDeletes = State::kWorkerDeletes, kHostDeletes = State::kHostDeletes;
constexpr Side kHost = Side::kHost, kWorker = Side::kWorker;

// Which call moves the object from which state to which, on which thread, and
// which thread then ends the stop.
struct Move {
  const char* when;
  Side by;
  State from;
  State to;
  Side endsStop;
};

// clang-format off
inline constexpr Move kMoves[] = {
    // when                                   by       from         to              ends the stop
    {"Start",                                 kHost,   kIdle,       kRunning,       kHost},
    {"Start, when no thread can be made",     kHost,   kRunning,    kIdle,          kHost},
    {"Stop inside a host call",               kWorker, kRunning,    kWorkerEnds,    kWorker},
    {"final Release inside a host call",      kWorker, kRunning,    kWorkerDeletes, kWorker},
    {"final Release inside a host call",      kWorker, kWorkerEnds, kWorkerDeletes, kWorker},
    {"final Release when its wait runs out",  kHost,   kRunning,    kWorkerDeletes, kWorker},
    {"final Release when its wait runs out",  kHost,   kWorkerEnds, kWorkerDeletes, kWorker},
    {"the worker leaves",                     kWorker, kRunning,    kIdle,          kHost},
    {"the worker leaves, the stop ended",     kWorker, kWorkerEnds, kIdle,          kHost},
    {"its thread ended without leaving",      kHost,   kRunning,    kIdle,          kHost},
    {"its thread ended without leaving",      kHost,   kWorkerEnds, kIdle,          kHost},
    {"final Release when no worker is left",  kHost,   kIdle,       kHostDeletes,   kHost},
};
// clang-format on

constexpr bool IsListed(State from, State to) {
  for (const Move& move : kMoves) {
    if (move.from == from && move.to == to) return true;
  }
  return false;
}

}  // namespace lifecycle

class RemoteModuleBase : public IRemoteModule {
 public:
  static constexpr uint32_t kStopWaitMs = 5000;

  RemoteModuleBase(const RemoteKey* keys, int32_t keyCount);
  RemoteModuleBase(const RemoteModuleBase&) = delete;
  RemoteModuleBase& operator=(const RemoteModuleBase&) = delete;

  HRESULT PELMAR_CALL QueryInterface(REFIID iid, void** out) override;
  ULONG PELMAR_CALL AddRef() override;
  ULONG PELMAR_CALL Release() override;
  HRESULT PELMAR_CALL Start(IRemoteKeySink* sink, IUnknown* device) override;
  HRESULT PELMAR_CALL Stop() override;
  void PELMAR_CALL Reserved() override;

  // Frees what the final Release left: the worker's handle and the stop event
  // when the worker frees the object itself.
  virtual ~RemoteModuleBase();
  // The worker's body. Returns when StopRequested() turns true, or earlier.
  virtual void Run() = 0;

  // Looks `code` up in the key table and reports the row found to the sink.
  // Worker thread only.
  void DispatchKey(uint32_t code);

  // Objects live on the C heap: no allocation failure can throw across the
  // boundary. A failed allocation makes the new-expression yield null.
  static void* operator new(size_t size) noexcept;
  static void operator delete(void* memory);

 protected:
  // True once a stop has been asked for. Holds even when the stop event could
  // not be made.
  bool StopRequested() const;
  IUnknown* Device() const { return device.Get(); }
  lifecycle::State Lifecycle() const { return state.load(std::memory_order_acquire); }

 private:
  enum class Claim { kTaken, kInsideStop, kRefused };

  template <lifecycle::State from, lifecycle::State to>
  [[nodiscard]] bool Move() {
    static_assert(lifecycle::IsListed(from, to), "every move is a row of lifecycle::kMoves");
    lifecycle::State expected = from;
    return state.compare_exchange_strong(expected, to, std::memory_order_acq_rel);
  }

  static void WorkerThreadProc(void* object);
  HRESULT StartClaimed(IRemoteKeySink* newSink, IUnknown* newDevice);
  Claim TakeClaim(bool starts);
  void GiveUpClaim();
  void FreeOnceCallsHaveReturned();
  bool OnWorkerThread() const;
  void RequestStop();
  bool AwaitWorker(uint32_t boundMs);
  void ForgetWorker();
  bool HandOverDeletion();
  void FinishStop();
  void LeaveForGood();
  void ReleaseLast();

  platform::Field<platform::Thread*> thread{nullptr, "thread"};
  platform::Atomic<int32_t> refCount{1};
  platform::Field<platform::Event*> stopEvent{nullptr, "stopEvent"};
  platform::Field<IUnknown*> device{nullptr, "device"};
  platform::Field<IRemoteKeySink*> sink{nullptr, "sink"};
  const RemoteKey* keys;
  int32_t keyCount;
  platform::Atomic<bool> stopRequested{false};
  platform::Atomic<platform::ThreadId> workerThreadId{0};
  platform::Atomic<lifecycle::State> state{lifecycle::kIdle};
  platform::Atomic<platform::ThreadId> caller{0};  // 0: no Start or Stop under way
  // Whether the call under way is a Start; read by its own thread only.
  platform::Field<bool> callerStarts{false, "callerStarts"};
  // The last wait for the worker ran out.
  platform::Field<bool> workerStuck{false, "workerStuck"};
};

#endif
