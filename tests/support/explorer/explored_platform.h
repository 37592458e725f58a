// SPDX-License-Identifier: MIT
// What the explorer's build of the platform layer hands out, and its controls.
// Every operation of that layer is a scheduling point; waits and sleeps block
// on the explorer's virtual clock.
#ifndef PELMAR4_TESTS_SUPPORT_EXPLORER_EXPLORED_PLATFORM_H
#define PELMAR4_TESTS_SUPPORT_EXPLORER_EXPLORED_PLATFORM_H

#include <stdint.h>

#include <functional>

namespace explored_platform {

struct Ledger {
  int liveEvents = 0;
  int liveThreads = 0;   // thread handles not yet closed
  int libraryHolds = 0;  // held by threads that have not ended
};

// A new schedule: forgets the last one's objects; the first event or thread
// creation fails when asked.
void Reset(bool failFirstEvent, bool failFirstThread);
const Ledger& Handed();
// A new host thread's identity; the module's threads get theirs when made.
void GiveIdentity(int model);
// A model thread's time in waits for a thread, all told.
int64_t WaitedMs(int model);
// Whether a model thread is one the module made.
bool IsWorker(int model);
// Called on the waiting thread when a wait for a thread runs out.
void OnWaitRanOut(std::function<void()> hook);
// Called each time a thread is made, and each time a thread's routine returns.
void OnThreadMade(std::function<void()> hook);
void OnRoutineReturned(std::function<void()> hook);

}  // namespace explored_platform

#endif
