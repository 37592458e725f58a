// RemoteModuleBase: the reference-counted module object behind IRemoteModule.
//
// It keeps the host's sink and device while started and owns the worker thread
// and the event that stops it. What the worker does is left to the subclass's
// Run. The host's calls come from its own thread, and also from the worker's
// thread when a host object the worker is calling (OnKey, a register access,
// the device's QueryInterface) calls back in.
//
// How a stop ends. The host thread asks the worker to end and waits, at most
// kStopWaitMs, until the worker has left the object for good; that is the
// worker's own signal, not the thread's end, which under a loader lock can
// never come; its thread handle and signal are then closed. Then one function,
// FinishStop, closes the stop event and gives the device and then the sink
// back. It runs on the host thread after such a wait
// (the usual ending), or on the worker at its end when the stop was requested
// on the worker's own thread or the final Release was handed to it after the
// wait ran out; then the worker also frees the object. Nothing waits without
// limit and no thread waits for itself.
//
// Who may touch the fields is decided by `ending`: the host thread owns them
// while a worker runs (the worker only reads them) and after it has gone; the
// worker owns them once the ending has been handed to it.
#ifndef PELMAR4_MODULE_REMOTE_MODULE_BASE_H
#define PELMAR4_MODULE_REMOTE_MODULE_BASE_H

#include <stddef.h>
#include <stdint.h>

#include "interfaces/remote_module.h"
#include "platform/atomic.h"
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
  // True once a stop has been asked for. Holds even when the stop event could
  // not be made.
  bool StopRequested() const;
  IUnknown* Device() const { return device; }

 private:
  enum Ending : int32_t {
    kWorkerGone,      // no worker uses the object (or it is only signalling
                      // `leftEvent`); the host thread owns everything
    kWorkerRuns,      // the host thread will end the stop
    kHostStops,       // the host thread has asked for the stop and waits
    kWorkerFinishes,  // asked for on the worker's thread: it ends the stop
    kWorkerDestroys,  // the final Release was handed to the worker
  };

  static unsigned long PLATFORM_THREAD_CALL WorkerThreadProc(void* object);
  bool OnWorkerThread() const;
  void RequestStop();
  void RequestStopOnWorkerThread(Ending claim);
  bool HostClaimsStop();
  bool ForgetWorker(uint32_t timeoutMs);
  bool HandOverDestruction();
  void FinishStop();
  void LeaveForGood();
  void ReleaseLast();

  platform::Atomic<platform::Thread*> thread{nullptr};
  platform::Atomic<int32_t> refCount{1};
  platform::Event* stopEvent = nullptr;
  IUnknown* device = nullptr;
  IRemoteKeySink* sink = nullptr;
  const RemoteKey* keys;
  int32_t keyCount;
  platform::Atomic<bool> stopRequested{false};
  // Set by the worker as its last act on the object; closed by the host thread
  // once it has seen it, or with the object.
  platform::Event* leftEvent = nullptr;
  platform::Atomic<platform::ThreadId> workerThreadId{0};
  platform::Atomic<int32_t> ending{kWorkerGone};
};

#endif
