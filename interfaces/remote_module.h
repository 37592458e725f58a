/* IRemoteModule: the module object a host gets from the library's export.
 *
 * Exported function: "_GetInterfacePtr@0" at ordinal 1 on Windows (__stdcall,
 * no arguments), "GetInterfacePtr" elsewhere. Each call returns a new object
 * with one reference, owned by the caller, or null when memory is short.
 *
 * The host calls from its own thread, one call at a time. It may also call in
 * from inside a call the module's worker makes on its thread (OnKey, a register
 * access, the device's QueryInterface); no call there waits for the worker.
 *   Start(sink, device): takes a reference on `device` (required) and on `sink`
 *     (may be null: keys are then read but reported to nobody) and starts the
 *     worker thread. E_UNEXPECTED for a null device or an object already
 *     started (a stop asked for inside OnKey that is still finishing counts as
 *     started), both taking nothing; or when the thread cannot be made, the
 *     references then being held until Stop.
 *   Stop(): asks the worker to end, waits until it has left (at most 5000 ms),
 *     then releases the device and then the sink; S_OK, also when not started.
 *     Inside a worker's call it returns S_OK at once, and the worker gives
 *     everything back as soon as that call returns. E_UNEXPECTED if the worker
 *     was still inside a host call after 5000 ms: everything it may use is
 *     kept, and a later Stop finishes.
 *   Reserved(): does nothing.
 * The final Release stops a started object, waiting at most 5000 ms for the
 * worker; inside a worker's call it returns 0 at once. A worker that is still
 * in a host call then (blocked, or waiting for the releasing thread) gives
 * everything back and frees the object when that call returns. It is safe
 * from a DllMain. The library may be unloaded as soon as the final Release has
 * returned, on any thread: a finishing worker keeps the code loaded. */
#ifndef PELMAR4_INTERFACES_REMOTE_MODULE_H
#define PELMAR4_INTERFACES_REMOTE_MODULE_H

#include "com_base.h"
#include "remote_key_sink.h"

/* {F4660300-7706-11D3-B64E-00105ACB7FD0} */
PELMAR_EXTERN_C const IID IID_IRemoteModule;

typedef struct IRemoteModule IRemoteModule;

/* The export's type: IRemoteModule* (PELMAR_CALL*)(void). */
typedef IRemoteModule*(PELMAR_CALL* GetInterfacePtrFunction)(void);

#ifdef __cplusplus

struct IRemoteModule : public IUnknown {
  /* slot 3 */
  virtual HRESULT PELMAR_CALL Start(IRemoteKeySink* sink, IUnknown* device) = 0;
  /* slot 4 */
  virtual HRESULT PELMAR_CALL Stop() = 0;
  /* slot 5 */
  virtual void PELMAR_CALL Reserved() = 0;
};

#else

typedef struct IRemoteModuleVtbl {
  HRESULT(PELMAR_CALL* QueryInterface)(IRemoteModule* This, REFIID iid, void** out);
  ULONG(PELMAR_CALL* AddRef)(IRemoteModule* This);
  ULONG(PELMAR_CALL* Release)(IRemoteModule* This);
  HRESULT(PELMAR_CALL* Start)(IRemoteModule* This, IRemoteKeySink* sink, IUnknown* device);
  HRESULT(PELMAR_CALL* Stop)(IRemoteModule* This);
  void(PELMAR_CALL* Reserved)(IRemoteModule* This);
} IRemoteModuleVtbl;

struct IRemoteModule {
  const IRemoteModuleVtbl* lpVtbl;
};

#define IRemoteModule_QueryInterface(This, iid, out) \
  ((This)->lpVtbl->QueryInterface(This, iid, out))
#define IRemoteModule_AddRef(This) ((This)->lpVtbl->AddRef(This))
#define IRemoteModule_Release(This) ((This)->lpVtbl->Release(This))
#define IRemoteModule_Start(This, sink, device) ((This)->lpVtbl->Start(This, sink, device))
#define IRemoteModule_Stop(This) ((This)->lpVtbl->Stop(This))
#define IRemoteModule_Reserved(This) ((This)->lpVtbl->Reserved(This))

#endif

#endif
