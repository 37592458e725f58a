#include "remote_module_base.h"

#include <stdlib.h>
#include <string.h>

namespace {

// The count while the object is taken apart: a host object that takes and
// drops a reference on it meanwhile cannot bring it to zero a second time.
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
  // The final Release has ended any stop before destruction starts, so Stop
  // finds nothing left to do. When the worker frees the object, its own
  // thread handle and unsignalled leaving signal are still here.
  Stop();
  platform::CloseThread(thread.exchange(nullptr, std::memory_order_acquire));
  platform::CloseEvent(leftEvent);
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

ULONG PELMAR_CALL RemoteModuleBase::Release() {
  int32_t count = refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (count != 0) return static_cast<ULONG>(count);
  refCount.store(kDestroying, std::memory_order_relaxed);
  ReleaseLast();
  return 0;
}

// On the worker's thread the final Release only asks for the stop: the worker
// frees the object once the host call it is in has returned. Elsewhere it
// waits, at most kStopWaitMs, for the worker to leave; if the worker is still
// inside a host call by then (a stuck call, a SendMessage to this thread, a
// loader lock), the rest of the destruction is handed to the worker.
void RemoteModuleBase::ReleaseLast() {
  if (OnWorkerThread()) {
    RequestStopOnWorkerThread(kWorkerDestroys);
    return;
  }
  if (HostClaimsStop()) RequestStop();
  if (!ForgetWorker(kStopWaitMs) && HandOverDestruction()) return;
  FinishStop();
  delete this;
}

HRESULT PELMAR_CALL RemoteModuleBase::Start(IRemoteKeySink* newSink, IUnknown* newDevice) {
  // Started means holding a device, including after a failed thread creation,
  // a Stop that timed out or a worker that ended on its own; a stop asked for
  // on the worker's thread lasts until the worker has given everything back.
  // A second Start would orphan the first worker.
  if (OnWorkerThread() || ending.load(std::memory_order_acquire) != kWorkerGone ||
      device != nullptr) {
    return E_UNEXPECTED;
  }
  if (newDevice == nullptr) return E_UNEXPECTED;
  // The last worker has left, but its signal may still be on its way.
  if (!ForgetWorker(kStopWaitMs)) return E_UNEXPECTED;
  device = newDevice;
  device->AddRef();
  sink = newSink;
  if (sink != nullptr) sink->AddRef();
  stopRequested.store(false, std::memory_order_relaxed);
  workerThreadId.store(0, std::memory_order_relaxed);
  stopEvent = platform::CreateManualResetEvent();
  leftEvent = platform::CreateManualResetEvent();
  // Everything the worker reads is in place before it exists, except its own
  // handle: the worker may run before it is stored, and reads it only when it
  // frees the object, long after Start has returned.
  ending.store(kWorkerRuns, std::memory_order_relaxed);
  platform::Thread* worker = nullptr;
  if (leftEvent != nullptr) {
    worker = platform::CreateWorkerThread(kWorkerStackBytes, WorkerThreadProc, this);
  }
  thread.store(worker, std::memory_order_release);
  if (worker != nullptr) return S_OK;
  // No worker: nothing will signal its leaving; Stop gives back the rest.
  ending.store(kWorkerGone, std::memory_order_relaxed);
  platform::CloseEvent(leftEvent);
  leftEvent = nullptr;
  return E_UNEXPECTED;
}

HRESULT PELMAR_CALL RemoteModuleBase::Stop() {
  if (OnWorkerThread()) {
    RequestStopOnWorkerThread(kWorkerFinishes);
    return S_OK;
  }
  if (!HostClaimsStop()) return S_OK;
  RequestStop();
  if (!ForgetWorker(kStopWaitMs)) {
    // A worker still inside a host call may yet use the event, the device and
    // the sink: keep them all and let a later Stop finish. Should the worker
    // meanwhile be asked to stop on its own thread, it finishes instead.
    int32_t waiting = kHostStops;
    ending.compare_exchange_strong(waiting, kWorkerRuns, std::memory_order_acq_rel);
    return E_UNEXPECTED;
  }
  FinishStop();
  return S_OK;
}

void PELMAR_CALL RemoteModuleBase::Reserved() {}

bool RemoteModuleBase::StopRequested() const {
  return stopRequested.load(std::memory_order_acquire) || platform::IsEventSignalled(stopEvent);
}

bool RemoteModuleBase::OnWorkerThread() const {
  return workerThreadId.load(std::memory_order_acquire) == platform::CurrentThreadId();
}

void RemoteModuleBase::RequestStop() {
  stopRequested.store(true, std::memory_order_release);
  platform::SignalEvent(stopEvent);
}

// A Stop or final Release made inside a host call on the worker's thread: the
// worker ends the stop (and frees the object) as soon as that call returns,
// unless the host thread is already waiting to end it.
void RemoteModuleBase::RequestStopOnWorkerThread(Ending claim) {
  RequestStop();
  int32_t state = ending.load(std::memory_order_acquire);
  while (state == kWorkerRuns || (claim == kWorkerDestroys && state == kWorkerFinishes)) {
    if (ending.compare_exchange_weak(state, claim, std::memory_order_acq_rel)) return;
  }
}

// True when the host thread ends the stop; false when a Stop made on the
// worker's thread has claimed it and the worker gives everything back itself.
bool RemoteModuleBase::HostClaimsStop() {
  int32_t state = ending.load(std::memory_order_acquire);
  while (state == kWorkerRuns) {
    if (ending.compare_exchange_weak(state, kHostStops, std::memory_order_acq_rel)) return true;
  }
  return state == kWorkerGone;
}

// True once no worker can touch the object any more: none is left since the
// last call, or the last one has signalled that it left, which is waited for
// at most `timeoutMs`. Its thread handle and signal are then closed.
bool RemoteModuleBase::ForgetWorker(uint32_t timeoutMs) {
  if (leftEvent == nullptr) return true;
  if (!platform::WaitForEvent(leftEvent, timeoutMs)) return false;
  platform::CloseEvent(leftEvent);
  leftEvent = nullptr;
  platform::CloseThread(thread.exchange(nullptr, std::memory_order_acquire));
  return true;
}

// After the final Release's wait ran out. False when the worker left in the
// meantime: the host thread then destroys the object itself.
bool RemoteModuleBase::HandOverDestruction() {
  int32_t state = ending.load(std::memory_order_acquire);
  while (state != kWorkerGone) {
    if (ending.compare_exchange_weak(state, kWorkerDestroys, std::memory_order_acq_rel)) {
      return true;
    }
  }
  // The worker has left and is signalling; should the signal still not come,
  // the event is let go rather than closed under it.
  if (!ForgetWorker(kStopWaitMs)) leftEvent = nullptr;
  return false;
}

// Ends a stop once the worker no longer uses what it gives back: closes the
// stop event, then releases the device and then the sink. Each pointer is
// cleared before its release, so a host Release that calls back into the
// module finds nothing to release twice.
void RemoteModuleBase::FinishStop() {
  platform::CloseEvent(stopEvent);
  stopEvent = nullptr;
  if (IUnknown* held = device) {
    device = nullptr;
    held->Release();
  }
  if (IRemoteKeySink* held = sink) {
    sink = nullptr;
    held->Release();
  }
}

// The worker's end, after Run: it ends the stop itself when that was asked for
// on its thread or handed over, frees the object when the final Release was,
// and otherwise tells the host thread it is done. After the signal it touches
// nothing of the object.
void RemoteModuleBase::LeaveForGood() {
  platform::Event* left = leftEvent;
  int32_t state = ending.load(std::memory_order_acquire);
  for (;;) {
    if (state == kWorkerFinishes || state == kWorkerDestroys) FinishStop();
    if (state == kWorkerDestroys) {
      delete this;
      return;
    }
    workerThreadId.store(0, std::memory_order_release);
    if (ending.compare_exchange_strong(state, kWorkerGone, std::memory_order_acq_rel)) break;
  }
  platform::SignalEvent(left);
}

unsigned long PLATFORM_THREAD_CALL RemoteModuleBase::WorkerThreadProc(void* object) {
  auto* self = static_cast<RemoteModuleBase*>(object);
  self->workerThreadId.store(platform::CurrentThreadId(), std::memory_order_release);
  self->Run();
  self->LeaveForGood();
  return 0;
}
