/* SPDX-License-Identifier: MIT */
/* What the demo host and the host cases need from the operating system
 * besides loading the module: time, threads and their identity, a lock,
 * sleeping and directories. Usable from C. */
#ifndef PELMAR4_TOOLS_HOST_HOST_OS_H
#define PELMAR4_TOOLS_HOST_HOST_OS_H

#include <stdint.h>

int64_t NowMs(void);
uint64_t CurrentThreadId(void);
void SleepFor(uint32_t ms);

/* A thread of the host's own, and waiting for its end. A thread or a lock
 * that cannot be made ends the program (abort): the host kit needs both. */
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
/* Removes each directory entered, with the log it may hold; one that holds
 * anything else stays. */
void RemoveFreshDirectories(void);
void MakeDirectory(const char* name);
void RemoveEmptyDirectory(const char* name);
/* 1 when `path` is the current directory now. */
int ChangeDirectory(const char* path);
unsigned long ThisProcessId(void);

#endif
