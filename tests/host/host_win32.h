/* SPDX-License-Identifier: MIT */
/* What the C host test's Windows cases need besides tools/host/host_os.h:
 * running itself again, plug-in DLLs, copies of the DLL in folders of any
 * name, and the import table of a loaded DLL. */
#ifndef PELMAR4_TESTS_HOST_HOST_WIN32_H
#define PELMAR4_TESTS_HOST_HOST_WIN32_H

#include <wchar.h>

/* Runs this program again with `args` (null-terminated) and waits for it;
 * its exit code. */
int RunThisProgram(const char* const* args);
/* Loads a DLL and finds `symbol` in it; null when either fails. */
void* LoadPlugin(const char* path, const char* symbol, void (**function)(void));
void UnloadPlugin(void* plugin);

enum { kPathChars = 512 };
/* Copies the file at `path` to FOLDER\FILE below the current directory,
 * making the folder; the copy's full path goes to `copy`. 0 when it cannot. */
int CopyBelowHere(const char* path, const wchar_t* folder, const wchar_t* file,
                  wchar_t copy[kPathChars]);
/* Points the entry of a loaded DLL's import table for `function` (imported by
 * name from any DLL) at `replacement`, as a host may; 0 when the DLL does not
 * import it. */
int ReplaceImport(void* module, const char* function, void* replacement);

#endif
