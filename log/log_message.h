// SPDX-License-Identifier: MIT
// The module's diagnostics log: "MXDRemote.log" in the process's current
// directory, appended in text mode. Each call opens, writes and closes the file;
// a file that cannot be opened makes the call do nothing.
#ifndef PELMAR4_LOG_LOG_MESSAGE_H
#define PELMAR4_LOG_LOG_MESSAGE_H

#if defined(__GNUC__)
#define PELMAR4_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define PELMAR4_PRINTF_FORMAT
#endif

// Writes the text formatted by the printf rules, and nothing else.
void LogMessage(const char* format, ...) PELMAR4_PRINTF_FORMAT;

#endif
