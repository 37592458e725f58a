// SPDX-License-Identifier: MIT
// Controls of the test build of the platform layer.
#ifndef PELMAR4_TESTS_SUPPORT_PLATFORM_CONTROL_H
#define PELMAR4_TESTS_SUPPORT_PLATFORM_CONTROL_H

#include <stdint.h>

#include <functional>

namespace platform_control {

void FailNextEventCreation();
void FailNextThreadCreation();
// Sleeps call `handler` instead of sleeping; an empty handler restores real sleeps.
void TakeOverSleeps(std::function<void(uint32_t ms)> handler);
int LiveEvents();
int LiveThreads();
// Back to normal behaviour.
void Reset();

}  // namespace platform_control

#endif
