/* SPDX-License-Identifier: MIT */
/* IRemoteModule: the module object a host gets from the library's export.
 *
 * Exported function: "_GetInterfacePtr@0" at ordinal 1 on Windows (__stdcall,
 * no arguments), "GetInterfacePtr" elsewhere. Each call returns a new object
 * with one reference, owned by the caller, or null when memory is short. The
 * object appends two lines to "MXDRemote.log" in the current directory when it
 * is made, and its worker one more when it ends after a stop.
 *
 * The calls. "The worker" is the thread the module makes to poll the card; it
 * calls the host's objects (OnKey, the register calls, the device's
 * QueryInterface, and the device's and sink's Release when it gives them
 * back), and the host may call the module from inside those calls.
 *   Start(sink, device): takes a reference on `device` (required) and on `sink`
 *     (may be null: keys are then read but reported to nobody), on the
 *     caller's thread, and starts the worker (Windows: at normal priority;
 *     Linux: with the caller's scheduling and nice value). A key held already
 *     is reported at once: the first read counts as a change.
 *     E_UNEXPECTED, taking nothing: a null device, a call on the worker, an
 *     object already started (a Stop that gave up leaves it started), a stop
 *     still finishing when the wait of C2 runs out, or C7. E_UNEXPECTED with
 *     both references held until Stop: no worker could be made, because the
 *     system is out of threads or memory or (Windows) refused the worker its
 *     hold on this library's own module (NT 4.0 and 2000: a path of 260
 *     characters or more; Windows 9x: a path the ANSI code page cannot
 *     spell). Stop gives both back; a later Start may then work, but not
 *     while the library lies where its path is refused.
 *   Stop(): asks the worker to end, waits until it has left, then gives back
 *     the device and then the sink. S_OK, also when not started. E_UNEXPECTED
 *     when the worker is still inside a host call after 5000 ms, or by C7: the
 *     module may still hold the host's objects, and a later Stop that returns
 *     S_OK says it holds none (C1).
 *   Reserved(): does nothing.
 *   The final Release stops a started object as Stop does, then frees it.
 *
 * The lifecycle contract, numbered so that a host author can hold us to it:
 * C1 Quiet after Stop. When Stop returns S_OK on any thread other than the
 *    worker, the module holds none of the host's objects and makes no further
 *    call on any of them (sink, device, register interface), AddRef and
 *    Release included; except a Stop made inside another Stop on the same
 *    thread (from the device's or the sink's Release, say), which returns
 *    S_OK at once while the outer Stop, which gives everything back before it
 *    returns, is still under way. On the worker Stop only asks for the stop
 *    and returns S_OK at once; the worker gives everything back as soon as
 *    the host call it is in returns, and a Stop, Start or final Release made
 *    meanwhile on another thread waits for that (within C3). A Stop made
 *    inside ReadRegister is still followed by that read's report (C5).
 * C2 Restart. Start on a thread other than the worker, after any Stop that
 *    returned S_OK on either thread, succeeds unless C7 refuses it or no
 *    worker can be made (see Start): it first waits for a stop that the
 *    worker is still finishing, and only if that wait runs out does it return
 *    E_UNEXPECTED, taking nothing.
 * C3 Bounded. No call waits more than 5000 ms in all, and no thread waits for
 *    itself: on the worker every call returns at once. A wait for the worker
 *    also ends when its thread has ended (at process exit every other thread
 *    has ended before any DllMain runs). A final Release after a Stop that
 *    gave up returns at once, and one whose own wait runs out returns then:
 *    the worker frees the object when its host call returns. In a DllMain a
 *    running worker can still leave, but one whose thread was made under that
 *    loader lock cannot start: a final Release there waits 5000 ms.
 * C4 Exactly once. Every reference the module takes on a host object is given
 *    back exactly once, in the order register interface, device, sink; the
 *    object is freed exactly once, after the last thread has left it; every
 *    event and thread handle is closed; the worker's hold on the library is
 *    dropped. At process exit, the register interface a worker held when the
 *    system ended its thread stays held: only the worker knows it.
 * C5 No late calls. No OnKey and no register call begins after Stop has
 *    returned S_OK, or after a stop asked for on the worker has been seen.
 *    The worker looks for a stop before each sleep and between the set-up
 *    steps: a read already made is still reported, and a stop asked for while
 *    it sleeps (up to 1000 ms) is followed by one more read and report.
 * C6 Unload. The library's code stays mapped while any thread still runs it:
 *    the host may unload the library as soon as its final Release has
 *    returned, on any thread, even right after one made inside OnKey.
 * C7 One call at a time, from any host thread. A Start or Stop made while
 *    another is under way gets:
 *                   under way on another     under way on this thread, the
 *                   host thread              call made from inside it
 *                                            Start          Stop
 *      Start        refused                  refused        refused
 *      Stop         refused                  refused        S_OK at once
 *    Refused is E_UNEXPECTED at once, taking and changing nothing; the call
 *    under way keeps C1 to C6. A Stop inside a Stop leaves it to that Stop,
 *    which gives everything back before it returns. Calls on the worker are
 *    never refused for overlapping and never wait (C1, C3). AddRef,
 *    QueryInterface and a Release that is not the last may come from any
 *    thread at any time; the final Release relies on COM's rule that a thread
 *    inside Start or Stop holds a reference.
 * The host's part: keep the sink and the device alive while the module holds
 * references on them; hold a reference on the module for the length of each
 * call, as COM asks, and make the final Release once; make one Start or Stop
 * at a time (several threads may take turns: an E_UNEXPECTED from an overlap
 * is answered like one from a stuck worker).
 * Calls into the host. The module calls the host's objects only as named
 * above. They must not throw C++ exceptions across the boundary (catch inside,
 * as every COM method must): an exception in OnKey ends the process. The
 * results of ReadRegister and WriteRegister are not looked at: the module
 * uses whatever a read stored, whatever it returned (a read that stores
 * nothing gives 0, no key), and polling goes on. A device that refuses
 * IDeviceRegisters gets no register call, and the worker ends at once without
 * a word while the module keeps both objects until Stop. Inside OnKey a host
 * may call Stop or Release on the module without a reference of its own: the
 * object outlives the host call the worker is in. */
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
