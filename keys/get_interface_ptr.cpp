// The library's one export. The object's memory comes from malloc and is built
// in place, so no allocation failure can throw across the boundary; Release
// gives it back through RemoteModuleBase::operator delete.
#include <stdlib.h>

#include <new>

#include "gpio_remote_module.h"

#if defined(_WIN32)
// Exported as "_GetInterfacePtr@0", ordinal 1, by Pelmar4.def.
#define PELMAR_EXPORT
#else
#define PELMAR_EXPORT __attribute__((visibility("default")))
#endif

extern "C" PELMAR_EXPORT IRemoteModule* PELMAR_CALL GetInterfacePtr() {
  void* memory = malloc(sizeof(GpioRemoteModule));
  if (memory == nullptr) return nullptr;
  return new (memory) GpioRemoteModule();
}
