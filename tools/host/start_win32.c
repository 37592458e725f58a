/* SPDX-License-Identifier: MIT */
/* The entry point of the Windows programs that run wherever the DLL runs:
 * the demo host, and a host built with -nostartfiles and this file.
 * mingw-w64's start-up code, as Debian builds it, holds an instruction a
 * Pentium lacks (cmov); a program needs none of it: msvcrt.dll sets itself
 * up when it is loaded, and this gives main its arguments and ends the
 * process with its result, through exit, which flushes the C library's
 * streams. It does nothing else: no static constructors run, and C++
 * exceptions find no handler. C, or C++ (g++ compiles it as such) without
 * either. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct StartupInfo {
  int newMode;
} StartupInfo;

/* msvcrt.dll's own, on every Windows that has msvcrt.dll. */
int __cdecl __getmainargs(int* argc, char*** argv, char*** environment, int expandWildcards,
                          StartupInfo* info);
void __cdecl __set_app_type(int type);

int main(int argc, char** argv);

/* GCC calls this at the start of main to run static constructors; here
 * there are none to run. */
void __main(void) {}

/* mingw-w64's snprintf, with msvcrt.dll's own printf, calls this, which
 * libmingwex would give. msvcrt.dll's _vsnprintf leaves a string that fills
 * the buffer unterminated and returns -1 for one that does not fit; here the
 * string is always terminated, and one that does not fit returns `size`, as
 * C99's snprintf returns a length of `size` or more. */
int __cdecl __ms_vsnprintf(char* buffer, size_t size, const char* format, va_list arguments) {
  int length = _vsnprintf(buffer, size, format, arguments);
  if (size == 0) return length < 0 ? 0 : length;
  if (length < 0 || (size_t)length >= size) {
    buffer[size - 1] = 0;
    return (int)size;
  }
  return length;
}

void mainCRTStartup(void) {
  int argc = 0;
  char** argv = NULL;
  char** environment = NULL;
  StartupInfo info = {0};
  __set_app_type(1); /* a console program */
  __getmainargs(&argc, &argv, &environment, 0, &info);
  exit(main(argc, argv));
}

#ifdef __cplusplus
}
#endif
