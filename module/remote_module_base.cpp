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

// On the worker's thread the final Release hands the object to the worker,
// which frees it once the host call it is in has returned. Elsewhere it stops
// the worker as Stop does, but does not wait again for a worker whose last wait
// ran out (C3); a worker still inside a host call after the wait is handed the
// object the same way.
void RemoteModuleBase::ReleaseLast() {
  if (OnWorkerThread()) {
    RequestStop();
    HandOverDeletion();
    return;
  }
  if (!AwaitWorker(workerStuck.Get() ? 0 : kStopWaitMs)) {
    if (HandOverDeletion()) return;
    ForgetWorker();  // it has left since the wait ran out
  }
  Move<kIdle, kHostDeletes>();
  FinishStop();
  delete this;
}

HRESULT PELMAR_CALL RemoteModuleBase::Start(IRemoteKeySink* newSink, IUnknown* newDevice) {
  if (newDevice == nullptr || OnWorkerThread()) return E_UNEXPECTED;
  // A stop asked for on the worker's thread may still be finishing (C2).
  if (Lifecycle() == kWorkerEnds && !AwaitWorker(kStopWaitMs)) return E_UNEXPECTED;
  // Started means holding a device: a worker runs, or a Stop has yet to give
  // everything back. A second worker would be orphaned.
  if (device.Get() != nullptr || Lifecycle() != kIdle) return E_UNEXPECTED;
  ForgetWorker();  // a worker that has left on its own
  device.Set(newDevice);
  newDevice->AddRef();
  sink.Set(newSink);
  if (newSink != nullptr) newSink->AddRef();
  stopRequested.store(false, std::memory_order_relaxed);
  workerThreadId.store(0, std::memory_order_relaxed);
  stopEvent.Set(platform::CreateManualResetEvent());
  Move<kIdle, kRunning>();
  // Everything the worker reads, its own handle included, is in place before
  // it exists; once it runs, this call touches the object no more.
  if (platform::StartWorkerThread(thread.Out(), WorkerThreadProc, this)) return S_OK;
  // No worker: the references and the event are held until Stop.
  Move<kRunning, kIdle>();
  return E_UNEXPECTED;
}

HRESULT PELMAR_CALL RemoteModuleBase::Stop() {
  if (OnWorkerThread()) {
    RequestStop();
    Move<kRunning, kWorkerEnds>();
    return S_OK;
  }
  if (!AwaitWorker(kStopWaitMs)) return E_UNEXPECTED;
  FinishStop();
  return S_OK;
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
    if (!platform::WaitForThread(thread.Get(), boundMs) && Lifecycle() != kIdle) {
      workerStuck.Set(true);
      return false;
    }
  }
  ForgetWorker();
  return true;
}

// Not on the worker's thread, once no worker uses the object: closes its
// handle and the stop event. A worker whose thread ended without leaving (at
// process exit) left the object in the state it was in; it is the host's now.
void RemoteModuleBase::ForgetWorker() {
  if (!Move<kRunning, kIdle>()) Move<kWorkerEnds, kIdle>();
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

// Gives the device and then the sink back. Each pointer is cleared before its
// release, so a host Release that calls back into the module finds nothing to
// give back twice.
void RemoteModuleBase::FinishStop() {
  if (IUnknown* held = device.Get()) {
    device.Set(nullptr);
    held->Release();
  }
  if (IRemoteKeySink* held = sink.Get()) {
    sink.Set(nullptr);
    held->Release();
  }
}

// The worker's end, after Run. A stop asked for on its own thread it ends
// itself; then its last move leaves the object to the host's thread. The one
// move another thread can make meanwhile is the final Release's hand-over,
// which makes that move fail: the worker then frees the object.
void RemoteModuleBase::LeaveForGood() {
  if (Lifecycle() == kWorkerEnds) {
    FinishStop();
    if (Move<kWorkerEnds, kIdle>()) return;
  } else {
    if (Move<kRunning, kIdle>()) return;
    FinishStop();
  }
  delete this;
}

void RemoteModuleBase::WorkerThreadProc(void* object) {
  auto* self = static_cast<RemoteModuleBase*>(object);
  self->workerThreadId.store(platform::CurrentThreadId(), std::memory_order_release);
  self->Run();
  self->LeaveForGood();
}
