// SPDX-License-Identifier: MIT
// Points where a test build of the platform layer can change its behaviour:
// make event or thread creation fail, take over sleeps (a virtual clock). In the shipped library,
// PELMAR4_TEST_SEAMS is not defined and every seam is an inline no-op that the compiler removes.
#ifndef PELMAR4_PLATFORM_SEAMS_H
#define PELMAR4_PLATFORM_SEAMS_H

#include <stdint.h>

namespace platform::seams {

#if defined(PELMAR4_TEST_SEAMS)
bool EventCreationFails();
bool ThreadCreationFails();
// True when the sleep was taken over and must not happen for real.
bool SleepTakenOver(uint32_t ms);
void OnEventCreated();
void OnEventClosed();
void OnThreadCreated();
void OnThreadClosed();
#else
inline bool EventCreationFails() {
  return false;
}
inline bool ThreadCreationFails() {
  return false;
}
inline bool SleepTakenOver(uint32_t) {
  return false;
}
inline void OnEventCreated() {}
inline void OnEventClosed() {}
inline void OnThreadCreated() {}
inline void OnThreadClosed() {}
#endif

}  // namespace platform::seams

#endif
