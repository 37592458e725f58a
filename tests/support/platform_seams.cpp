// SPDX-License-Identifier: MIT
// The test build's side of platform/seams.h.
#include <atomic>
#include <mutex>

#include "platform/seams.h"
#include "platform_control.h"

namespace {
std::atomic<bool> failEvent{false};
std::atomic<bool> failThread{false};
std::atomic<int> liveEvents{0};
std::atomic<int> liveThreads{0};
std::mutex sleepLock;
std::function<void(uint32_t)> sleepHandler;
}  // namespace

namespace platform::seams {
bool EventCreationFails() {
  return failEvent.exchange(false);
}
bool ThreadCreationFails() {
  return failThread.exchange(false);
}
bool SleepTakenOver(uint32_t ms) {
  std::function<void(uint32_t)> handler;
  {
    std::lock_guard<std::mutex> guard(sleepLock);
    handler = sleepHandler;
  }
  if (!handler) return false;
  handler(ms);
  return true;
}
void OnEventCreated() {
  ++liveEvents;
}
void OnEventClosed() {
  --liveEvents;
}
void OnThreadCreated() {
  ++liveThreads;
}
void OnThreadClosed() {
  --liveThreads;
}
}  // namespace platform::seams

namespace platform_control {
void FailNextEventCreation() {
  failEvent = true;
}
void FailNextThreadCreation() {
  failThread = true;
}
void TakeOverSleeps(std::function<void(uint32_t)> handler) {
  std::lock_guard<std::mutex> guard(sleepLock);
  sleepHandler = std::move(handler);
}
int LiveEvents() {
  return liveEvents.load();
}
int LiveThreads() {
  return liveThreads.load();
}
void Reset() {
  failEvent = false;
  failThread = false;
  TakeOverSleeps(nullptr);
}
}  // namespace platform_control
