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
  auto before = Clock::now();
  EXPECT_FALSE(platform::WaitForEvent(event, 100));
  EXPECT_GE(Clock::now() - before, 90ms);
  platform::SignalEvent(event);
  EXPECT_TRUE(platform::IsEventSignalled(event));
  EXPECT_TRUE(platform::IsEventSignalled(event));  // testing does not reset it
  EXPECT_TRUE(platform::WaitForEvent(event, 0));
  platform::SignalEvent(event);
  EXPECT_TRUE(platform::WaitForEvent(event, 5000));
  platform::CloseEvent(event);
  EXPECT_FALSE(platform::IsEventSignalled(nullptr));
  EXPECT_FALSE(platform::WaitForEvent(nullptr, 0));
  EXPECT_EQ(platform_control::LiveEvents(), 0);
}

// Signals from the new thread the moment it has recorded who it is.
struct ThreadArgument {
  platform::Event* ran = platform::CreateManualResetEvent();
  Gate gate;
  platform::ThreadId id = 0;
  std::atomic<bool> done{false};
  ~ThreadArgument() { platform::CloseEvent(ran); }
};

unsigned long PLATFORM_THREAD_CALL GatedRoutine(void* raw) {
  auto* argument = static_cast<ThreadArgument*>(raw);
  argument->id = platform::CurrentThreadId();
  platform::SignalEvent(argument->ran);
  argument->gate.Pass();
  argument->done = true;
  return 0;
}

TEST(Platform, ThreadRunsAtOnceOnItsOwnAndGoesOnAfterItsHandleIsClosed) {
  ThreadArgument argument;
  platform::Thread* thread = platform::CreateWorkerThread(32768, GatedRoutine, &argument);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(platform::WaitForEvent(argument.ran, 5000));
  EXPECT_NE(argument.id, 0u);
  EXPECT_NE(argument.id, platform::CurrentThreadId());
  EXPECT_EQ(platform::CurrentThreadId(), platform::CurrentThreadId());
  platform::CloseThread(thread);
  EXPECT_EQ(platform_control::LiveThreads(), 0);
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
  EXPECT_TRUE(platform::WaitForEvent(argument.ran, 5000));
  platform::CloseThread(thread);
  while (!argument.done) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(platform_control::LiveThreads(), 0);
  platform_control::Reset();
}

}  // namespace
