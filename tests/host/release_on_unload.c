/* SPDX-License-Identifier: MIT */
/* A host plug-in DLL of the test's own. The host hands it a started module;
 * when the host unloads the plug-in, its DllMain makes the module's final
 * Release, under the loader lock, as plug-ins of real hosts do. A copy named
 * Pelmar4.dll is also the decoy that the module must never load: its DllMain
 * sets PELMAR4_PLUGIN_ATTACHED in the process's environment. */
#include <windows.h>

#include "interfaces/remote_module.h"

static IRemoteModule* held;

__declspec(dllexport) void HoldUntilUnloaded(IRemoteModule* module) {
  held = module;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) SetEnvironmentVariableA("PELMAR4_PLUGIN_ATTACHED", "1");
  if (reason == DLL_PROCESS_DETACH && held != NULL) {
    IRemoteModule_Release(held);
    held = NULL;
  }
  return TRUE;
}
