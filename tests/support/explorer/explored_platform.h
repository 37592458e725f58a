// What the explorer's build of the platform layer hands out, and its controls.
// Every operation of that layer is a scheduling point; waits and sleeps block
// on the explorer's virtual clock.
#ifndef PELMAR4_TESTS_SUPPORT_EXPLORER_EXPLORED_PLATFORM_H
#define PELMAR4_TESTS_SUPPORT_EXPLORER_EXPLORED_PLATFORM_H

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
// What a scenario's checks are told: every signal (the module signals only to
// ask for a stop) and every thread made.
struct Hooks {
  std::function<void()> signalled;
  std::function<void()> threadMade;
};
void Watch(Hooks hooks);

}  // namespace explored_platform

#endif
