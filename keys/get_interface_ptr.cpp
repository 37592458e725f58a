// SPDX-License-Identifier: MIT
// The library's one export. RemoteModuleBase allocates from the C heap without
// throwing, so a lack of memory gives null here and nothing is logged.
#include "gpio_remote_module.h"

#if defined(_WIN32)
// Exported as "_GetInterfacePtr@0", ordinal 1, by Pelmar4.def.
#define PELMAR4_EXPORT
#else
#define PELMAR4_EXPORT __attribute__((visibility("default")))
#endif

extern "C" PELMAR4_EXPORT IRemoteModule* PELMAR_CALL GetInterfacePtr() {
  return new GpioRemoteModule();
}
