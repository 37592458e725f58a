/* IRemoteModule: the module object a host gets from the library's export.
 *
 * Exported function: "_GetInterfacePtr@0" at ordinal 1 on Windows (__stdcall,
 * no arguments), "GetInterfacePtr" elsewhere. Each call returns a new object
 * with one reference, owned by the caller, or null when memory is short.
 *
 * All calls on this interface come from one host thread, one at a time.
 *   Start(sink, device): takes a reference on `device` (required) and on `sink`
 *     (may be null: keys are then read but reported to nobody) and starts the
 *     worker thread. E_UNEXPECTED for a null device, for an object already
 *     started, or when the thread cannot be made (then Stop undoes the rest).
 *   Stop(): ends the worker, then releases the device and then the sink. S_OK,
 *     also when not started. E_UNEXPECTED if the worker did not end within
 *     5000 ms: everything it may use is kept, and a later Stop (or the final
 *     Release, which waits for it) finishes the job.
 *   Reserved(): does nothing.
 * The final Release stops a started object before freeing it. */
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
