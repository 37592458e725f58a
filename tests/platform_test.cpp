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

struct ThreadArgument {
  Gate gate;
  std::atomic<bool> done{false};
  std::thread::id thread;
};

unsigned long PLATFORM_THREAD_CALL GatedRoutine(void* raw) {
  auto* argument = static_cast<ThreadArgument*>(raw);
  argument->thread = std::this_thread::get_id();
  argument->gate.Pass();
  argument->done = true;
  return 0;
}

TEST(Platform, ThreadStartsAtOnceAndItsEndCanBeAwaitedWithABound) {
  ThreadArgument argument;
  platform::Thread* thread = platform::CreateWorkerThread(32768, GatedRoutine, &argument);
  ASSERT_NE(thread, nullptr);
  while (!argument.gate.Reached()) std::this_thread::sleep_for(1ms);
  auto before = Clock::now();
  EXPECT_FALSE(platform::WaitForThreadEnd(thread, 100));
  EXPECT_GE(Clock::now() - before, 90ms);
  argument.gate.Open();
  EXPECT_TRUE(platform::WaitForThreadEnd(thread, platform::kInfinite));
  EXPECT_TRUE(platform::WaitForThreadEnd(thread, 0));
  EXPECT_TRUE(argument.done);
  EXPECT_NE(argument.thread, std::this_thread::get_id());
  platform::CloseThread(thread);
  EXPECT_EQ(platform_control::LiveThreads(), 0);
}

TEST(Platform, ClosingTheHandleOfARunningThreadLetsItFinish) {
  ThreadArgument argument;
  platform::Thread* thread = platform::CreateWorkerThread(32768, GatedRoutine, &argument);
  ASSERT_NE(thread, nullptr);
  platform::CloseThread(thread);
  argument.gate.Open();
  auto deadline = Clock::now() + 10s;
  while (!argument.done && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(argument.done);
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

  ThreadArgument argument;
  argument.gate.Open();
  platform_control::FailNextThreadCreation();
  EXPECT_EQ(platform::CreateWorkerThread(32768, GatedRoutine, &argument), nullptr);
  platform::Thread* thread = platform::CreateWorkerThread(32768, GatedRoutine, &argument);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(platform::WaitForThreadEnd(thread, 5000));
  platform::CloseThread(thread);
  EXPECT_EQ(platform_control::LiveThreads(), 0);
  platform_control::Reset();
}

}  // namespace
