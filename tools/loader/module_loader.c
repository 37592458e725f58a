/* SPDX-License-Identifier: MIT */
#include "module_loader.h"

#include <stdio.h>
#include <string.h>

#if defined(_WIN32)

#include <windows.h>

int LoadModuleLibrary(const char* path, LoadedModule* loaded) {
  memset(loaded, 0, sizeof *loaded);
  HMODULE library = LoadLibraryA(path);
  if (library == NULL) {
    snprintf(loaded->error, sizeof loaded->error, "cannot load %s (error %lu)", path,
             (unsigned long)GetLastError());
    return 0;
  }
  loaded->byName =
      (GetInterfacePtrFunction)(void (*)(void))GetProcAddress(library, "_GetInterfacePtr@0");
  loaded->byOrdinal =
      (GetInterfacePtrFunction)(void (*)(void))GetProcAddress(library, MAKEINTRESOURCEA(1));
  if (loaded->byName == NULL) {
    snprintf(loaded->error, sizeof loaded->error, "%s has no export _GetInterfacePtr@0", path);
    FreeLibrary(library);
    return 0;
  }
  loaded->handle = library;
  return 1;
}

void UnloadModuleLibrary(LoadedModule* loaded) {
  if (loaded->handle != NULL) FreeLibrary((HMODULE)loaded->handle);
  loaded->handle = NULL;
}

#else

#include <dlfcn.h>

int LoadModuleLibrary(const char* path, LoadedModule* loaded) {
  memset(loaded, 0, sizeof *loaded);
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    snprintf(loaded->error, sizeof loaded->error, "cannot load %s: %s", path, dlerror());
    return 0;
  }
  void* symbol = dlsym(library, "GetInterfacePtr");
  if (symbol == NULL) {
    snprintf(loaded->error, sizeof loaded->error, "%s has no export GetInterfacePtr", path);
    dlclose(library);
    return 0;
  }
  memcpy(&loaded->byName, &symbol, sizeof symbol);
  loaded->handle = library;
  return 1;
}

void UnloadModuleLibrary(LoadedModule* loaded) {
  if (loaded->handle != NULL) dlclose(loaded->handle);
  loaded->handle = NULL;
}

#endif
