/* SPDX-License-Identifier: MIT */
/* A Linux host with a COM-compatibility header of its own, included before the
 * module's headers: the two must compile together, the host's types winning.
 * Compiling this file is the check. */
#if !defined(_WIN32)
/* Spelt with the language's own types, as such headers often are; the layout
 * is the one every COM header shares. */
#define _HRESULT_DEFINED
typedef int HRESULT;
#define _ULONG_DEFINED
typedef unsigned int ULONG;
#define GUID_DEFINED
typedef struct _GUID {
  unsigned int Data1;
  unsigned short Data2, Data3;
  unsigned char Data4[8];
} GUID;
#define __IID_DEFINED__
typedef GUID IID;
#define _REFIID_DEFINED
#define REFIID const IID*
#define S_OK ((HRESULT)0L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#endif

#include "interfaces/device_registers.h"
#include "interfaces/remote_module.h"

int ForeignComHeaderCompiles(void) {
  return S_OK;
}
