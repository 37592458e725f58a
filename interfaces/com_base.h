/* SPDX-License-Identifier: MIT */
/* The COM base types the module's interfaces are built on.
 *
 * On Windows these are the SDK's own (IUnknown, GUID, IID, HRESULT, ULONG and the
 * HRESULT constants). Elsewhere this header declares a minimal compatible set with
 * the same layout and the same values, so the module and its hosts compile
 * unchanged on both. Usable from C and C++. */
#ifndef PELMAR4_INTERFACES_COM_BASE_H
#define PELMAR4_INTERFACES_COM_BASE_H

#if defined(_WIN32)

#include <unknwn.h>

/* Calling convention of every interface method and of the export. */
#define PELMAR_CALL __stdcall

#else /* not Windows */

/* Each definition is guarded by the macro the Windows SDK uses for it, so a
 * host that includes another COM-compatibility header first keeps its own,
 * and one included after this one sees these. */
#include <stdint.h>

#define PELMAR_CALL

#ifndef _HRESULT_DEFINED
#define _HRESULT_DEFINED
typedef int32_t HRESULT;
#endif

#ifndef _ULONG_DEFINED
#define _ULONG_DEFINED
typedef uint32_t ULONG;
#endif

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
#endif

#ifndef __IID_DEFINED__
#define __IID_DEFINED__
typedef GUID IID;
#endif

#ifndef _REFIID_DEFINED
#define _REFIID_DEFINED
#ifdef __cplusplus
#define REFIID const IID&
#else
#define REFIID const IID*
#endif
#endif

#ifndef S_OK
#define S_OK ((HRESULT)0)
#endif
#ifndef E_NOINTERFACE
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#endif
#ifndef E_POINTER
#define E_POINTER ((HRESULT)0x80004003L)
#endif
#ifndef E_UNEXPECTED
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#endif
#ifndef SUCCEEDED
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#endif
#ifndef FAILED
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#endif

#ifndef __IUnknown_INTERFACE_DEFINED__
#define __IUnknown_INTERFACE_DEFINED__
/* This header's own IUnknown; interfaces/iids.c then defines IID_IUnknown. */
#define PELMAR4_OWN_IUNKNOWN
#ifdef __cplusplus
extern "C" const IID IID_IUnknown;

struct IUnknown {
  virtual HRESULT PELMAR_CALL QueryInterface(REFIID iid, void** out) = 0;
  virtual ULONG PELMAR_CALL AddRef() = 0;
  virtual ULONG PELMAR_CALL Release() = 0;
};
#else
extern const IID IID_IUnknown;

typedef struct IUnknown IUnknown;
typedef struct IUnknownVtbl {
  HRESULT(PELMAR_CALL* QueryInterface)(IUnknown* This, REFIID iid, void** out);
  ULONG(PELMAR_CALL* AddRef)(IUnknown* This);
  ULONG(PELMAR_CALL* Release)(IUnknown* This);
} IUnknownVtbl;
struct IUnknown {
  const IUnknownVtbl* lpVtbl;
};
#endif
#endif

#endif /* not Windows */

#ifdef __cplusplus
#define PELMAR_EXTERN_C extern "C"
static_assert(sizeof(GUID) == 16, "a GUID is 16 bytes");
static_assert(sizeof(HRESULT) == 4 && sizeof(ULONG) == 4, "HRESULT and ULONG are 32-bit");
#else
#define PELMAR_EXTERN_C extern
#endif

#endif
