// RemoteModuleBase: the reference-counted module object behind IRemoteModule.
//
// It keeps the host's sink and device while started and owns the worker thread
// and the event that stops it. What the worker does is left to the subclass's
// Run. Every IRemoteModule call comes from one host thread; the worker reads
// `device` once, the stop signal on every pass and `sink`, `keys`, `keyCount`
// on every dispatch. Start writes them before the thread exists and Stop drops
// them only after it has ended, so no lock is needed.
#ifndef PELMAR4_MODULE_REMOTE_MODULE_BASE_H
#define PELMAR4_MODULE_REMOTE_MODULE_BASE_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "interfaces/remote_module.h"
#include "platform/platform.h"

struct RemoteKey;

class RemoteModuleBase : public IRemoteModule {
 public:
  static constexpr size_t kWorkerStackBytes = 32768;
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
  // True once Stop has asked the worker to end. Holds even when the stop event
  // could not be made.
  bool StopRequested() const;
  IUnknown* Device() const { return device; }

 private:
  static unsigned long PLATFORM_THREAD_CALL WorkerThreadProc(void* object);
  // Stop, and when the worker outlasts the bounded wait, wait for it without
  // limit and finish; afterwards nothing of the host's is held.
  void StopForDestruction();

  platform::Thread* thread = nullptr;
  int32_t refCount = 1;
  platform::Event* stopEvent = nullptr;
  IUnknown* device = nullptr;
  IRemoteKeySink* sink = nullptr;
  const RemoteKey* keys;
  int32_t keyCount;
  std::atomic<bool> stopRequested{false};
};

#endif
