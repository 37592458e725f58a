/* SPDX-License-Identifier: MIT */
/* The interface identifiers, defined once. Hosts written in C or C++ may compile
 * this file into their own program to get the same definitions. */
#include "device_registers.h"
#include "remote_module.h"

#ifdef __cplusplus
#define PELMAR_IID_DEFINITION extern "C" const IID
#else
#define PELMAR_IID_DEFINITION const IID
#endif

PELMAR_IID_DEFINITION IID_IRemoteModule = {
    0xF4660300, 0x7706, 0x11D3, {0xB6, 0x4E, 0x00, 0x10, 0x5A, 0xCB, 0x7F, 0xD0}};

PELMAR_IID_DEFINITION IID_IDeviceRegisters = {
    0xF4660006, 0x7706, 0x11D3, {0xB6, 0x4E, 0x00, 0x10, 0x5A, 0xCB, 0x7F, 0xD0}};

#if defined(PELMAR4_OWN_IUNKNOWN) || defined(PELMAR4_DEFINE_IID_IUNKNOWN)
/* With com_base.h's own IUnknown, or when asked for. On Windows IID_IUnknown
 * comes with the SDK's uuid library, and a host with a COM header of its own
 * has it too; Pelmar4.dll defines its own rather than link a library of
 * GUIDs for this one. */
PELMAR_IID_DEFINITION IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
#endif
