/* SPDX-License-Identifier: MIT */
/* Loads the module library by path and finds its export, as a host does:
 * LoadLibrary and GetProcAddress (by name "_GetInterfacePtr@0" and by ordinal 1)
 * on Windows, dlopen and dlsym ("GetInterfacePtr") elsewhere. Usable from C. */
#ifndef PELMAR4_TOOLS_LOADER_MODULE_LOADER_H
#define PELMAR4_TOOLS_LOADER_MODULE_LOADER_H

#include "interfaces/remote_module.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct LoadedModule {
  void* handle;
  GetInterfacePtrFunction byName;
  GetInterfacePtrFunction byOrdinal; /* Windows only; null elsewhere */
  char error[512];                   /* why loading failed */
} LoadedModule;

/* 1 when the library is loaded and its export found; else 0 with `error` set
 * (and nothing left loaded). */
int LoadModuleLibrary(const char* path, LoadedModule* loaded);
void UnloadModuleLibrary(LoadedModule* loaded);

#ifdef __cplusplus
}
#endif

#endif
