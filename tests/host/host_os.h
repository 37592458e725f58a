/* SPDX-License-Identifier: MIT */
/* What the C host test needs from the operating system besides loading the
 * module: time, threads and their identity, a lock, sleeping and directories. */
#ifndef PELMAR4_TESTS_HOST_HOST_OS_H
#define PELMAR4_TESTS_HOST_HOST_OS_H

#include <stdint.h>
#include <wchar.h>

int64_t NowMs(void);
uint64_t CurrentThreadId(void);
void SleepFor(uint32_t ms);

/* A thread of the host's own, and waiting for its end. */
typedef struct HostThread HostThread;
HostThread* StartHostThread(void (*body)(void*), void* argument);
void JoinHostThread(HostThread* thread);

typedef struct HostLock HostLock;
HostLock* NewLock(void);
void Lock(HostLock* lock);
void Unlock(HostLock* lock);

/* Makes `name` (below the starting directory) a new empty current directory. */
void EnterFreshDirectory(const char* name);
void LeaveDirectory(void);
void MakeDirectory(const char* name);

#if defined(_WIN32)
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

#endif
