/* SPDX-License-Identifier: MIT */
/* Figures about the running process, for the tests, the check and the
 * benchmark; -1 where the system cannot tell. Usable from C and C++. */
#ifndef PELMAR4_TOOLS_PROCESS_PROCESS_STATS_H
#define PELMAR4_TOOLS_PROCESS_PROCESS_STATS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Threads of this process. */
int ProcessThreadCount(void);
/* Open handles (Windows) or file descriptors (Linux) of this process. */
int ProcessHandleCount(void);
/* CPU time this process has used, user and kernel, in microseconds. */
int64_t ProcessCpuMicroseconds(void);
/* Memory the process has committed for itself, in bytes (private bytes on
 * Windows, resident set on Linux). */
int64_t ProcessMemoryBytes(void);

#ifdef __cplusplus
}
#endif

#endif
