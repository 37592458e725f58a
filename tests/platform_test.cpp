// SPDX-License-Identifier: MIT
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/host_fakes.h"
#include "support/platform_control.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(Platform, EventIsManualResetAndStartsUnsignalled) {
  platform::Event* event = platform::CreateManualResetEvent();
  ASSERT_NE(event, nullptr);
  EXPECT_FALSE(platform::IsEventSignalled(event));
  platform::SignalEvent(event);
  EXPECT_TRUE(platform::IsEventSignalled(event));
  EXPECT_TRUE(platform::IsEventSignalled(event));  // testing does not reset it
  platform::SignalEvent(event);
  EXPECT_TRUE(platform::IsEventSignalled(event));
  platform::CloseEvent(event);
  EXPECT_FALSE(platform::IsEventSignalled(nullptr));
  EXPECT_EQ(platform_control::LiveEvents(), 0);
}

// What a worker routine sees and does; the test opens the gate to let it end.
struct Worker {
  platform::Thread* handle = nullptr;
  platform::Thread* handleSeen = nullptr;
  platform::ThreadId id = 0;
  Gate gate;
  bool closesItsOwnHandle = false;
  std::atomic<bool> done{false};
};

void Routine(void* raw) {
  auto* worker = static_cast<Worker*>(raw);
  worker->handleSeen = worker->handle;
  worker->id = platform::CurrentThreadId();
  worker->gate.Pass();
  if (worker->closesItsOwnHandle) platform::CloseThread(worker->handle);
  worker->done = true;
}

TEST(Platform, ThreadFindsItsHandleInPlaceAndIsWaitedForWithABound) {
  Worker worker;
  ASSERT_TRUE(platform::StartWorkerThread(&worker.handle, Routine, &worker));
  ASSERT_NE(worker.handle, nullptr);
  EXPECT_TRUE(Eventually([&] { return worker.gate.Reached(); }));
  EXPECT_EQ(worker.handleSeen, worker.handle);
  EXPECT_NE(worker.id, 0u);
  EXPECT_NE(worker.id, ~platform::ThreadId{0});  // neither is ever an identity
  EXPECT_NE(worker.id, platform::CurrentThreadId());
  EXPECT_EQ(platform::CurrentThreadId(), platform::CurrentThreadId());
  auto before = Clock::now();
  EXPECT_FALSE(platform::WaitForThread(worker.handle, 100));  // held at the gate
  EXPECT_GE(Clock::now() - before, 90ms);
  worker.gate.Open();
  EXPECT_TRUE(platform::WaitForThread(worker.handle, 5000));
  EXPECT_TRUE(worker.done);
  EXPECT_TRUE(platform::WaitForThread(worker.handle, 0));  // and stays so
  platform::CloseThread(worker.handle);
  EXPECT_TRUE(platform::WaitForThread(nullptr, 0));
  EXPECT_EQ(platform_control::LiveThreads(), 0);
}

// Closing a handle never waits and never stops the thread, whoever closes it.
TEST(Platform, ThreadGoesOnAfterItsHandleIsClosedByAnyone) {
  for (bool byItself : {false, true}) {
    SCOPED_TRACE(byItself ? "closed by the thread itself" : "closed while it runs");
    Worker worker;
    worker.closesItsOwnHandle = byItself;
    ASSERT_TRUE(platform::StartWorkerThread(&worker.handle, Routine, &worker));
    if (!byItself) platform::CloseThread(worker.handle);
    worker.gate.Open();
    EXPECT_TRUE(Eventually([&] { return worker.done.load(); }));
    EXPECT_EQ(platform_control::LiveThreads(), 0);
  }
}

TEST(Platform, SleepLastsAtLeastTheTimeAsked) {
  for (uint32_t ms : {0u, 1u, 30u}) {
    auto before = Clock::now();
    platform::SleepMs(ms);
    auto slept = Clock::now() - before;
    EXPECT_GE(slept, std::chrono::milliseconds(ms) - 1ms) << ms;
    EXPECT_LT(slept, std::chrono::milliseconds(ms) + 2s) << ms;
  }
}

TEST(PlatformTestBuild, InjectedFailuresHitOnlyTheNextCreation) {
  platform_control::FailNextEventCreation();
  EXPECT_EQ(platform::CreateManualResetEvent(), nullptr);
  platform::Event* event = platform::CreateManualResetEvent();
  EXPECT_NE(event, nullptr);
  platform::CloseEvent(event);

  Worker worker;
  worker.gate.Open();
  worker.handle = reinterpret_cast<platform::Thread*>(&worker);
  platform_control::FailNextThreadCreation();
  EXPECT_FALSE(platform::StartWorkerThread(&worker.handle, Routine, &worker));
  EXPECT_EQ(worker.handle, nullptr);
  ASSERT_TRUE(platform::StartWorkerThread(&worker.handle, Routine, &worker));
  EXPECT_TRUE(platform::WaitForThread(worker.handle, 5000));
  platform::CloseThread(worker.handle);
  EXPECT_EQ(platform_control::LiveThreads(), 0);
  platform_control::Reset();
}

}  // namespace
