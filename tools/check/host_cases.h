/* SPDX-License-Identifier: MIT */
/* The end-to-end cases of the lifecycle contract, as a host sees them: a
 * host in C loads the built library by path, finds the export, calls only
 * through the vtables, and hands the module a key sink and a device of its
 * own that record every call with its time and thread. The same cases run in
 * the test suite (the C host test) and on a user's own PC (pelmar4-host
 * --check). What else the C host test checks builds on the helpers below. */
#ifndef PELMAR4_TOOLS_CHECK_HOST_CASES_H
#define PELMAR4_TOOLS_CHECK_HOST_CASES_H

#include <stdint.h>

#include "interfaces/remote_module.h"

/* Runs every case against the library at `path` (null: the one beside this
 * program), printing one line for each: "ok" or "FAIL", what it checks, and
 * what it measured. The number of cases that failed. */
int RunHostCases(const char* path);
int HostCaseCount(void);

/* Counts a check, printing the one that fails. */
#define CHECK(condition) Check((condition) != 0, #condition, __FILE__, __LINE__)
int Check(int ok, const char* what, const char* file, int line);
int ChecksPassed(void);
int ChecksFailed(void);

/* The host's key sink and device, whose every call goes to a journal. */
void PrepareHostCases(void);
IRemoteKeySink* HostSinkObject(void);
IUnknown* HostDeviceObject(void);
/* Fresh objects, each holding one reference of its own, and an empty
 * journal; the card shows no key. */
void ResetHostObjects(void);
/* What the card shows in GPIO_DATA from now on. */
void ShowCode(uint32_t value);
int AllReferencesReturned(void);
void CheckAllReferencesReturned(void);
/* Waits, at most `timeoutMs`, until the journal holds `count` calls named
 * `what` ("key", "regs.Read", ...), or until `condition` holds; 0 when the
 * time ran out. */
int WaitFor(const char* what, int count, int64_t timeoutMs);
int WaitUntil(int (*condition)(void), int64_t timeoutMs);
/* In a process about to end, where a thread ended by the system may hold the
 * journal's lock. */
void IgnoreJournalLock(void);

#endif
