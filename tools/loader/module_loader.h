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
  char path[512];                    /* what was loaded, for messages */
  char error[512];                   /* why loading failed */
} LoadedModule;

/* 1 when the library is loaded and its export found; else 0 with `error` set
 * (and nothing left loaded). A null `path` is the library beside this
 * program (Pelmar4.dll, libPelmar4.so): on Windows by its UTF-16 path where
 * the system has the W calls, since an ANSI path on NT is converted with best
 * fit and may name another file, else (Windows 9x) by its ANSI path. */
int LoadModuleLibrary(const char* path, LoadedModule* loaded);
void UnloadModuleLibrary(LoadedModule* loaded);

#ifdef __cplusplus
}
#endif

#endif
