/* SPDX-License-Identifier: MIT */
/* IRemoteKeySink: the host's receiver of key presses.
 *
 * Implemented by the host and handed to IRemoteModule::Start. The module holds
 * one reference while it is started and calls OnKey on its worker thread, one
 * call at a time, waiting for each to return. The sink is used as passed; the
 * module never queries it.
 *
 * OnKey(name, alias): NUL-terminated 8-bit strings of at most 31 characters.
 * `name` is never empty ("Key_Power"); `alias` is a shorter name or the empty
 * string, never null. Both point into the module's static key table and stay
 * valid while the library is loaded. The result is ignored. OnKey may call
 * Stop or Release on the module (no further key follows). It runs on a stack
 * with the room of a thread the host makes itself: on Windows it grows to the
 * process's default reserve, elsewhere it is the system's default, at least
 * 1 MiB. */
#ifndef PELMAR4_INTERFACES_REMOTE_KEY_SINK_H
#define PELMAR4_INTERFACES_REMOTE_KEY_SINK_H

#include "com_base.h"

typedef struct IRemoteKeySink IRemoteKeySink;

#ifdef __cplusplus

struct IRemoteKeySink : public IUnknown {
  /* slot 3 */
  virtual HRESULT PELMAR_CALL OnKey(const char* name, const char* alias) = 0;
};

#else

typedef struct IRemoteKeySinkVtbl {
  HRESULT(PELMAR_CALL* QueryInterface)(IRemoteKeySink* This, REFIID iid, void** out);
  ULONG(PELMAR_CALL* AddRef)(IRemoteKeySink* This);
  ULONG(PELMAR_CALL* Release)(IRemoteKeySink* This);
  HRESULT(PELMAR_CALL* OnKey)(IRemoteKeySink* This, const char* name, const char* alias);
} IRemoteKeySinkVtbl;

struct IRemoteKeySink {
  const IRemoteKeySinkVtbl* lpVtbl;
};

#endif

#endif
