// Figures about the running process, for the stress tests and the benchmark.
#ifndef PELMAR4_TOOLS_PROCESS_PROCESS_STATS_H
#define PELMAR4_TOOLS_PROCESS_PROCESS_STATS_H

#include <stdint.h>

namespace process_stats {

// Threads of this process.
int ThreadCount();
// Open handles (Windows) or file descriptors (Linux) of this process.
int HandleCount();
// CPU time this process has used, user and kernel, in microseconds.
int64_t CpuMicroseconds();
// Memory the process has committed for itself, in bytes (private bytes on
// Windows, resident set on Linux).
int64_t MemoryBytes();

}  // namespace process_stats

#endif
