/* A Linux host with a COM-compatibility header of its own, included before the
 * module's headers: the two must compile together, the host's types winning.
 * Compiling this file is the check. */
#if !defined(_WIN32)
#include <stdint.h>

#define _HRESULT_DEFINED
typedef int32_t HRESULT;
#define _ULONG_DEFINED
typedef uint32_t ULONG;
#define GUID_DEFINED
typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
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
