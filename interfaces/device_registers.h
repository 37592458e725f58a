/* SPDX-License-Identifier: MIT */
/* IDeviceRegisters: access to the capture card's registers, provided by the host.
 *
 * The module obtains it by QueryInterface(IID_IDeviceRegisters) on the device
 * object passed to IRemoteModule::Start, on its worker thread, and releases it
 * once when the worker ends. A successful query must return an interface that
 * already carries the reference the module later releases.
 *
 * ReadRegister(offset, value): stores the 32-bit register at byte `offset`
 * through `value`. WriteRegister(offset, value): stores `value` at `offset`.
 * Both return synchronously; their results are ignored. Slot 3 is part of the
 * table but never called by the module. */
#ifndef PELMAR4_INTERFACES_DEVICE_REGISTERS_H
#define PELMAR4_INTERFACES_DEVICE_REGISTERS_H

#include <stdint.h>

#include "com_base.h"

/* {F4660006-7706-11D3-B64E-00105ACB7FD0} */
PELMAR_EXTERN_C const IID IID_IDeviceRegisters;

typedef struct IDeviceRegisters IDeviceRegisters;

#ifdef __cplusplus

struct IDeviceRegisters : public IUnknown {
  /* slot 3: never called by the module */
  virtual HRESULT PELMAR_CALL Reserved() = 0;
  /* slot 4 */
  virtual HRESULT PELMAR_CALL ReadRegister(uint32_t offset, uint32_t* value) = 0;
  /* slot 5 */
  virtual HRESULT PELMAR_CALL WriteRegister(uint32_t offset, uint32_t value) = 0;
};

#else

typedef struct IDeviceRegistersVtbl {
  HRESULT(PELMAR_CALL* QueryInterface)(IDeviceRegisters* This, REFIID iid, void** out);
  ULONG(PELMAR_CALL* AddRef)(IDeviceRegisters* This);
  ULONG(PELMAR_CALL* Release)(IDeviceRegisters* This);
  HRESULT(PELMAR_CALL* Reserved)(IDeviceRegisters* This);
  HRESULT(PELMAR_CALL* ReadRegister)(IDeviceRegisters* This, uint32_t offset, uint32_t* value);
  HRESULT(PELMAR_CALL* WriteRegister)(IDeviceRegisters* This, uint32_t offset, uint32_t value);
} IDeviceRegistersVtbl;

struct IDeviceRegisters {
  const IDeviceRegistersVtbl* lpVtbl;
};

#endif

#endif
