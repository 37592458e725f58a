#include "remote_module_base.h"

#include <stdlib.h>
#include <string.h>

namespace {

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
  StopForDestruction();
}

void RemoteModuleBase::StopForDestruction() {
  if (Stop() != S_OK) {
    // The worker is still inside a host call. The memory must not go while it
    // runs, so wait for it, then let Stop release the rest.
    platform::WaitForThreadEnd(thread, platform::kInfinite);
    Stop();
  }
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
  return static_cast<ULONG>(++refCount);
}

ULONG PELMAR_CALL RemoteModuleBase::Release() {
  int32_t count = --refCount;
  if (count != 0) return static_cast<ULONG>(count);
  // The worker runs the subclass's Run, so it must end before any destructor
  // starts taking the object apart.
  StopForDestruction();
  delete this;
  return 0;
}

HRESULT PELMAR_CALL RemoteModuleBase::Start(IRemoteKeySink* newSink, IUnknown* newDevice) {
  // Started means holding a device, including after a failed thread creation
  // or a Stop that timed out; a second Start would orphan the first worker.
  if (device != nullptr) return E_UNEXPECTED;
  if (newDevice == nullptr) return E_UNEXPECTED;
  device = newDevice;
  device->AddRef();
  sink = newSink;
  if (sink != nullptr) sink->AddRef();
  stopRequested.store(false);
  stopEvent = platform::CreateManualResetEvent();
  thread = platform::CreateWorkerThread(kWorkerStackBytes, WorkerThreadProc, this);
  return thread != nullptr ? S_OK : E_UNEXPECTED;
}

HRESULT PELMAR_CALL RemoteModuleBase::Stop() {
  if (device != nullptr) {
    stopRequested.store(true);
    platform::SignalEvent(stopEvent);
    if (thread != nullptr) {
      // A worker still inside a host call may yet use the event, the device and
      // the sink: keep them all and let a later Stop finish.
      if (!platform::WaitForThreadEnd(thread, kStopWaitMs)) return E_UNEXPECTED;
      platform::CloseThread(thread);
      thread = nullptr;
    }
    platform::CloseEvent(stopEvent);
    stopEvent = nullptr;
    device->Release();
    device = nullptr;
  }
  if (sink != nullptr) {
    sink->Release();
    sink = nullptr;
  }
  return S_OK;
}

void PELMAR_CALL RemoteModuleBase::Reserved() {}

bool RemoteModuleBase::StopRequested() const {
  return stopRequested.load() || platform::IsEventSignalled(stopEvent);
}

unsigned long PLATFORM_THREAD_CALL RemoteModuleBase::WorkerThreadProc(void* object) {
  static_cast<RemoteModuleBase*>(object)->Run();
  return 0;
}
