/* SPDX-License-Identifier: MIT */
/* A host plug-in DLL of the test's own. The host hands it a started module;
 * when the host unloads the plug-in, its DllMain makes the module's final
 * Release, under the loader lock, as plug-ins of real hosts do. */
#include <windows.h>

#include "interfaces/remote_module.h"

static IRemoteModule* held;

__declspec(dllexport) void HoldUntilUnloaded(IRemoteModule* module) {
  held = module;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_DETACH && held != NULL) {
    IRemoteModule_Release(held);
    held = NULL;
  }
  return TRUE;
}
