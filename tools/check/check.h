/* SPDX-License-Identifier: MIT */
/* pelmar4-host --check: the contract's end-to-end cases against the library,
 * run on the system's own threads, timers and loader, then what a report
 * needs: the system and its version, the processor, the library's version,
 * and what to send back if anything failed. */
#ifndef PELMAR4_TOOLS_CHECK_CHECK_H
#define PELMAR4_TOOLS_CHECK_CHECK_H

/* 0 when every case passed, else 1. A null `library` is the one beside this
 * program. */
int RunCheck(const char* library);

#endif
