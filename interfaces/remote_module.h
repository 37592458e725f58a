/* SPDX-License-Identifier: MIT */
/* IRemoteModule: the module object a host gets from the library's export.
 *
 * Exported function: "_GetInterfacePtr@0" at ordinal 1 on Windows (__stdcall,
 * no arguments), "GetInterfacePtr" elsewhere. Each call returns a new object
 * with one reference, owned by the caller, or null when memory is short. The
 * object appends two lines to "MXDRemote.log" in the current directory when it
 * is made, and its worker one more when it ends after a stop.
 *
 * The calls. "The worker's thread" is the thread the module makes to poll the
 * card; the host's objects are called on it (OnKey, the register calls, the
 * device's QueryInterface, and the device's and sink's Release when the worker
 * gives them back), and the host may call the module from inside those calls.
 *   Start(sink, device): takes a reference on `device` (required) and on `sink`
 *     (may be null: keys are then read but reported to nobody) and starts the
 *     worker. E_UNEXPECTED, taking nothing: a null device, a call on the
 *     worker's thread, an object already started (a Stop that gave up leaves
 *     it started), a stop still finishing when the wait of C2 runs out, or a
 *     call that overlaps another (C7). E_UNEXPECTED with both references held
 *     until Stop: no thread could be made.
 *   Stop(): asks the worker to end, waits until it has left, then gives back
 *     the device and then the sink. S_OK, also when not started. E_UNEXPECTED
 *     in two cases, with one answer: the worker is still inside a host call
 *     after 5000 ms, or the call overlaps another (C7). The module may still
 *     hold the host's objects; a later Stop that returns S_OK says it holds
 *     none (C1).
 *   Reserved(): does nothing.
 *   The final Release stops a started object as Stop does, then frees it.
 *
 * The lifecycle contract, numbered so that a host author can hold us to it:
 * C1 Quiet after Stop. When Stop returns S_OK on any thread other than the
 *    worker's, the module holds none of the host's objects and makes no
 *    further call on any of them (sink, device, register interface), AddRef
 *    and Release included. On the worker's thread Stop only asks for the stop
 *    and returns S_OK at once; the worker gives everything back as soon as the
 *    host call it is in returns, and a Stop, Start or final Release made
 *    meanwhile on another thread waits for that (within C3).
 * C2 Restart. Start on a thread other than the worker's, after any Stop that
 *    returned S_OK on either thread, succeeds unless it overlaps another call
 *    (C7): it first waits for a stop that the worker is still finishing, and
 *    only if that wait runs out does it return E_UNEXPECTED, taking nothing.
 * C3 Bounded. No call waits more than 5000 ms in all, and no thread waits for
 *    itself: on the worker's thread every call returns at once (the final
 *    Release returns 0, and the worker frees the object when the host call
 *    returns). A wait for the worker also ends when its thread has ended, as
 *    at process exit, where every other thread has ended before any DllMain
 *    runs. A final Release after a Stop that gave up does not wait again: the
 *    worker is known to be stuck, so unless it has left meanwhile the final
 *    Release returns at once and the worker frees the object when its host
 *    call returns. The same hand-over ends a final Release whose own wait runs
 *    out.
 * C4 Exactly once. Every reference the module takes on a host object is given
 *    back exactly once, in the order register interface, device, sink; the
 *    object is freed exactly once, after the last thread has left it; every
 *    event and thread handle is closed; the worker's hold on the library is
 *    dropped.
 * C5 No late calls. No OnKey and no register call begins after Stop has
 *    returned S_OK, or after a stop asked for on the worker's thread has been
 *    seen. The worker looks for a stop before each sleep and between the
 *    set-up steps: a read already made is still reported, and a stop asked for
 *    while it sleeps (up to 1000 ms) is followed by one more read and report.
 * C6 Unload. The library's code stays mapped while any thread still runs it:
 *    the host may unload the library as soon as its final Release has
 *    returned, on any thread, even right after one made inside OnKey.
 * C7 One call at a time. Start and Stop may come from any host thread, but one
 *    at a time. A Start or Stop that overlaps one under way on another thread
 *    (not the worker's) returns E_UNEXPECTED at once, takes nothing and
 *    changes nothing; the call under way is unaffected and keeps C1 to C6. On
 *    the thread of a call under way, from inside the module's own call to a
 *    host object there (the device's or the sink's Release while Stop gives
 *    them back, say), a Start is refused the same way and so is a Stop inside
 *    a Start; a Stop inside a Stop returns S_OK at once, and the Stop under
 *    way gives everything back before it returns. The calls the module
 *    accepts on its worker's thread (Stop, Release) never wait and are never
 *    refused for overlapping. AddRef, a Release that is not the last, and
 *    QueryInterface may come from any thread at any time; the final Release
 *    relies on COM's rule that a thread inside Start or Stop holds a
 *    reference.
 * The host's part: keep the sink and the device alive while the module holds
 * references on them; hold a reference on the module for the length of each
 * call, as COM asks, and make the final Release once; make one Start or Stop
 * at a time (several threads may take turns: an E_UNEXPECTED from an overlap
 * is answered like one from a stuck worker).
 * Calls into the host. The module calls the host's objects only as named
 * above. They must not throw C++ exceptions across the boundary (catch inside,
 * as every COM method must): an exception in OnKey ends the process. A failed
 * ReadRegister counts as "no key" and polling goes on; a device that refuses
 * IDeviceRegisters gets no register call, and the worker ends at once without
 * a word while the module keeps both objects until Stop. Inside OnKey a host
 * may call Stop or Release on the module without a reference of its own: the
 * object outlives the host call the worker is in. The final Release may be
 * made from a DllMain (C3: it waits at most 5000 ms, and under the loader lock
 * the worker can still leave). */
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
