// SPDX-License-Identifier: MIT
// The entry point of Pelmar4.dll, which is linked without the C runtime's
// start-up: nothing of the module's own runs when a host loads or unloads it.
// The module keeps no per-thread state, so the system need not call in for
// every thread the host starts and ends.
#include <windows.h>

extern "C" BOOL WINAPI DllEntry(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
