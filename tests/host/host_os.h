/* SPDX-License-Identifier: MIT */
/* What the C host test needs from the operating system besides loading the
 * module: time, threads and their identity, a lock, sleeping and directories. */
#ifndef PELMAR4_TESTS_HOST_HOST_OS_H
#define PELMAR4_TESTS_HOST_HOST_OS_H

#include <stdint.h>

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
/* The same for a copy of the DLL at `path`, in a new folder of the current
 * directory whose Cyrillic name a Western ANSI code page cannot spell. */
void* LoadCopyInUnicodeFolder(const char* path, const char* symbol, void (**function)(void));
void UnloadPlugin(void* plugin);
#endif

#endif
