// SPDX-License-Identifier: MIT
#include "remote_module_base.h"

#include <stdlib.h>
#include <string.h>

using lifecycle::kHostDeletes;
using lifecycle::kIdle;
using lifecycle::kRunning;
using lifecycle::kWorkerDeletes;
using lifecycle::kWorkerEnds;

namespace {

// The count while the object is taken apart.
constexpr int32_t kDestroying = 1 << 30;

// The claim's value once a worker that must free the object has found a Start
// or Stop still under way: that call frees it as it returns. Neither this nor
// 0 ("nobody") can be a thread's identity: identities are aligned addresses.
constexpr platform::ThreadId kFreedByCaller = ~platform::ThreadId{0};

bool SameIid(REFIID a, const IID& b) {
  return memcmp(&a, &b, sizeof(IID)) == 0;
}

// The caller may be C code passing a null IID pointer where C++ sees a
// reference; reading the address back through a volatile keeps the compiler
// from assuming it is non-null.
bool IsNullAddress(const void* address) {
  const void* volatile probe = address;
  return probe == nullptr;
}

}  // namespace

RemoteModuleBase::RemoteModuleBase(const RemoteKey* keys, int32_t keyCount)
    : keys(keys), keyCount(keyCount) {}

RemoteModuleBase::~RemoteModuleBase() {
  platform::CloseThread(thread.Get());
  platform::CloseEvent(stopEvent.Get());
}

void* RemoteModuleBase::operator new(size_t size) noexcept {
  return malloc(size);
}

void RemoteModuleBase::operator delete(void* memory) {
  free(memory);
}

HRESULT PELMAR_CALL RemoteModuleBase::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr || IsNullAddress(&iid)) return E_POINTER;
  if (SameIid(iid, IID_IUnknown) || SameIid(iid, IID_IRemoteModule)) {
    *out = static_cast<IRemoteModule*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG PELMAR_CALL RemoteModuleBase::AddRef() {
  return static_cast<ULONG>(refCount.fetch_add(1, std::memory_order_relaxed) + 1);
}

// The last reference turns the count into kDestroying in the same atomic step:
// a reference taken and dropped meanwhile, on any thread, never brings it to
// zero a second time.
ULONG PELMAR_CALL RemoteModuleBase::Release() {
  int32_t count = refCount.load(std::memory_order_relaxed);
  while (!refCount.compare_exchange_weak(count, count == 1 ? kDestroying : count - 1,
                                         std::memory_order_acq_rel)) {
  }
  if (count != 1) return static_cast<ULONG>(count - 1);
  ReleaseLast();
  return 0;
}

// On the worker's thread the final Release hands the object to the worker.
// Elsewhere it ends the stop as Stop does, without waiting again for a worker
// whose last wait ran out (C3), and hands the object over when the worker is
// still inside a host call. It takes no claim: whoever makes a Start or Stop
// holds a reference, so none is under way.
void RemoteModuleBase::ReleaseLast() {
  if (OnWorkerThread()) {
    RequestStop();
    // Cannot fail: until the worker's own last move the state is Running or
    // WorkerEnds.
    static_cast<void>(HandOverDeletion());
    return;
  }
  if (!AwaitWorker(workerStuck.Get() ? 0 : kStopWaitMs)) {
    if (HandOverDeletion()) return;
    ForgetWorker();  // it has left since the wait ran out
  }
  // In Idle with no call under way, nothing else moves the state.
  static_cast<void>(Move<kIdle, kHostDeletes>());
  FinishStop();
  delete this;
}

HRESULT PELMAR_CALL RemoteModuleBase::Start(IRemoteKeySink* newSink, IUnknown* newDevice) {
  if (newDevice == nullptr || OnWorkerThread()) return E_UNEXPECTED;
  // Refused while another thread's call, or any call on this thread, is under
  // way: a Start made from inside one (from the device's Release while a Stop
  // gives it back, say) would overwrite what that call is giving back.
  if (TakeClaim(true) != Claim::kTaken) return E_UNEXPECTED;
  HRESULT result = StartClaimed(newSink, newDevice);
  GiveUpClaim();  // may free the object (FreeOnceCallsHaveReturned)
  return result;
}

HRESULT RemoteModuleBase::StartClaimed(IRemoteKeySink* newSink, IUnknown* newDevice) {
  // A stop asked for on the worker's thread may still be finishing (C2).
  if (Lifecycle() == kWorkerEnds && !AwaitWorker(kStopWaitMs)) return E_UNEXPECTED;
  // Started means a worker or held objects. The state is read first: once it
  // is Idle the worker has left and `device` is this call's alone.
  if (Lifecycle() != kIdle || device.Get() != nullptr) return E_UNEXPECTED;
  ForgetWorker();  // a worker that has left on its own
  device.Set(newDevice);
  newDevice->AddRef();
  sink.Set(newSink);
  if (newSink != nullptr) newSink->AddRef();
  stopRequested.store(false, std::memory_order_relaxed);
  workerThreadId.store(0, std::memory_order_relaxed);
  stopEvent.Set(platform::CreateManualResetEvent());
  // Under the claim, in Idle, no other thread moves the state.
  static_cast<void>(Move<kIdle, kRunning>());
  // Everything the worker reads, its own handle included, is in place before
  // it exists; once it runs, this call touches the object no more.
  if (platform::StartWorkerThread(thread.Out(), WorkerThreadProc, this)) return S_OK;
  // No worker, so nothing else moves the state. The references and the event
  // are held until Stop.
  static_cast<void>(Move<kRunning, kIdle>());
  return E_UNEXPECTED;
}

HRESULT PELMAR_CALL RemoteModuleBase::Stop() {
  if (OnWorkerThread()) {
    RequestStop();
    // Fails when a stop or the final Release was made on this thread before:
    // the worker ends the stop either way.
    static_cast<void>(Move<kRunning, kWorkerEnds>());
    return S_OK;
  }
  switch (TakeClaim(false)) {
    case Claim::kRefused:
      return E_UNEXPECTED;
    case Claim::kInsideStop:
      // From inside this thread's own Stop, which is past its wait and giving
      // everything back: that Stop ends the stop before it returns.
      return S_OK;
    case Claim::kTaken:
      break;
  }
  HRESULT result = E_UNEXPECTED;
  if (AwaitWorker(kStopWaitMs)) {
    FinishStop();
    result = S_OK;
  }
  GiveUpClaim();
  return result;
}

void PELMAR_CALL RemoteModuleBase::Reserved() {}

bool RemoteModuleBase::StopRequested() const {
  return stopRequested.load(std::memory_order_acquire) ||
         platform::IsEventSignalled(stopEvent.Get());
}

// True inside a host call on the worker's thread, until the worker's last
// move: a thread that later gets the same identity is not taken for it.
bool RemoteModuleBase::OnWorkerThread() const {
  return Lifecycle() != kIdle &&
         workerThreadId.load(std::memory_order_acquire) == platform::CurrentThreadId();
}

// One host Start or Stop at a time (C7), without a lock: the caller's identity
// in an atomic, set from "none" on entry and cleared on return. A claim held
// further up the caller's own stack lets a Stop made inside a Stop through.
RemoteModuleBase::Claim RemoteModuleBase::TakeClaim(bool starts) {
  platform::ThreadId self = platform::CurrentThreadId();
  platform::ThreadId holder = 0;
  if (caller.compare_exchange_strong(holder, self, std::memory_order_acq_rel)) {
    callerStarts.Set(starts);
    return Claim::kTaken;
  }
  if (holder == self && !starts && !callerStarts.Get()) return Claim::kInsideStop;
  return Claim::kRefused;
}

void RemoteModuleBase::GiveUpClaim() {
  if (caller.exchange(0, std::memory_order_acq_rel) == kFreedByCaller) delete this;
}

// The worker's freeing of the object. A Start whose reference a host call on
// this worker released (from inside OnKey, say) may not have returned yet: it
// then frees the object as it gives up its claim.
void RemoteModuleBase::FreeOnceCallsHaveReturned() {
  if (caller.exchange(kFreedByCaller, std::memory_order_acq_rel) == 0) delete this;
}

// The event is signalled first; the flag only stands in for an event that
// could not be made. Both stay valid until the worker is forgotten.
void RemoteModuleBase::RequestStop() {
  platform::SignalEvent(stopEvent.Get());
  stopRequested.store(true, std::memory_order_release);
}

// Not on the worker's thread. Asks the worker to end and waits, at most
// `boundMs`, until it has left the object or its thread has ended; then
// forgets it. False when it is still inside a host call: everything it may
// use stays as it is.
bool RemoteModuleBase::AwaitWorker(uint32_t boundMs) {
  if (thread.Get() != nullptr) {
    RequestStop();
    bool ended = platform::WaitForThread(thread.Get(), boundMs);
    if (!ended && Lifecycle() != kIdle) {
      workerStuck.Set(true);
      return false;
    }
    // A thread ended without leaving (at process exit) left the object in the
    // state it was in: it is the host's now. After a worker that left, both
    // moves fail, which is as it should be.
    if (ended && !Move<kRunning, kIdle>()) static_cast<void>(Move<kWorkerEnds, kIdle>());
  }
  ForgetWorker();
  return true;
}

// Not on the worker's thread, once no worker uses the object: closes its
// handle and the stop event.
void RemoteModuleBase::ForgetWorker() {
  platform::CloseThread(thread.Get());
  thread.Set(nullptr);
  platform::CloseEvent(stopEvent.Get());
  stopEvent.Set(nullptr);
  workerStuck.Set(false);
}

// Leaves freeing the object to a worker inside a host call; false when the
// worker has left meanwhile.
bool RemoteModuleBase::HandOverDeletion() {
  return Move<kRunning, kWorkerDeletes>() || Move<kWorkerEnds, kWorkerDeletes>();
}

// Gives the device and then the sink back. Both are taken and cleared before
// either is released, so a call the host makes from inside a Release finds
// nothing to give back twice and nothing half given back.
void RemoteModuleBase::FinishStop() {
  IUnknown* heldDevice = device.Get();
  IRemoteKeySink* heldSink = sink.Get();
  device.Set(nullptr);
  sink.Set(nullptr);
  if (heldDevice != nullptr) heldDevice->Release();
  if (heldSink != nullptr) heldSink->Release();
}

// The worker's end, after Run: its last move leaves the object to the host's
// threads (Running); or it ends the stop asked for on its thread itself
// (WorkerEnds), unless the final Release hands it the object meanwhile
// (WorkerDeletes), and then frees it.
void RemoteModuleBase::LeaveForGood() {
  if (Move<kRunning, kIdle>()) return;
  FinishStop();
  if (Move<kWorkerEnds, kIdle>()) return;
  FreeOnceCallsHaveReturned();
}

void RemoteModuleBase::WorkerThreadProc(void* object) {
  auto* self = static_cast<RemoteModuleBase*>(object);
  self->workerThreadId.store(platform::CurrentThreadId(), std::memory_order_release);
  self->Run();
  self->LeaveForGood();
}
