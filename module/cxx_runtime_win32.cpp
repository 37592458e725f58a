// SPDX-License-Identifier: MIT
// The DLL is built without the C++ runtime so that it imports only KERNEL32.dll
// and msvcrt.dll. The one runtime entry the compiler still refers to is the
// handler placed in the vtable slot of a pure virtual function; it is reached
// only through a broken object, so it ends the process.
#include <stdlib.h>

extern "C" void __cxa_pure_virtual() {
  abort();
}
