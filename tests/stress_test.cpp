// SPDX-License-Identifier: MIT
// Long runs: many start/stop cycles on one object, and many objects polling at
// once. Every reference comes back and the process's threads and handles are
// back where they began.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "keys/gpio_remote_module.h"
#include "support/host_fakes.h"
#include "support/platform_control.h"
#include "support/scratch_directory.h"
#include "tools/process/process_stats.h"

namespace {

using namespace std::chrono_literals;

class Stress : public ::testing::Test {
 protected:
  void SetUp() override {
    // Runtimes that start a helper thread with the first thread (the thread
    // sanitizer does) have done so before the count is taken.
    std::thread([] {}).join();
    // A joined thread can stay listed for a moment after it has ended.
    std::this_thread::sleep_for(50ms);
    threadsBefore = ProcessThreadCount();
    handlesBefore = ProcessHandleCount();
  }
  // True once the process has `count` threads: ended threads take a moment to
  // leave.
  static bool ThreadCountReaches(int count) {
    return Eventually([count] { return ProcessThreadCount() == count; });
  }
  void ExpectProcessBackToStart() {
    EXPECT_TRUE(ThreadCountReaches(threadsBefore)) << ProcessThreadCount();
    EXPECT_EQ(ProcessHandleCount(), handlesBefore);
    EXPECT_EQ(platform_control::LiveThreads(), 0);
    EXPECT_EQ(platform_control::LiveEvents(), 0);
  }
  ScratchDirectory scratch{::testing::UnitTest::GetInstance()->current_test_info()->name()};
  int threadsBefore = 0;
  int handlesBefore = 0;
};

TEST_F(Stress, AThousandStartStopCyclesOnOneObject) {
  Journal journal;
  FakeSink sink(journal);
  FakeDevice device(journal);
  device.registers.contents = [](uint32_t, uint32_t* value) {
    *value = 0x27BF << 8;
    return true;
  };
  IRemoteModule* module = new GpioRemoteModule();
  for (int cycle = 0; cycle < 1000; ++cycle) {
    ASSERT_EQ(module->Start(&sink, &device), S_OK) << cycle;
    // Let the worker reach its first sleep now and then, so both orders occur.
    if (cycle % 10 == 0) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(module->Stop(), S_OK) << cycle;
    ASSERT_EQ(sink.Count(), 1);
    ASSERT_EQ(device.Count(), 1);
    ASSERT_EQ(device.registers.Count(), 1);
  }
  EXPECT_EQ(module->Release(), 0u);
  EXPECT_EQ(journal.Only("regs.Release").size(), 1000u);
  ExpectProcessBackToStart();
}

TEST_F(Stress, SixtyFourObjectsPollingAtOnce) {
  constexpr int kObjects = 64;
  struct Host {
    explicit Host(Journal& journal) : sink(journal), device(journal) {}
    FakeSink sink;
    FakeDevice device;
  };
  std::vector<Journal> journals(kObjects);
  std::vector<std::unique_ptr<Host>> hosts;
  std::vector<IRemoteModule*> modules;
  for (int i = 0; i < kObjects; ++i) {
    hosts.push_back(std::make_unique<Host>(journals[i]));
    hosts.back()->device.registers.contents = [](uint32_t, uint32_t* value) {
      *value = 0xCF3F << 8;  // Key_VolumeUp held
      return true;
    };
    modules.push_back(new GpioRemoteModule());
    ASSERT_EQ(modules.back()->Start(&hosts.back()->sink, &hosts.back()->device), S_OK);
  }
  EXPECT_TRUE(ThreadCountReaches(threadsBefore + kObjects)) << ProcessThreadCount();
  std::this_thread::sleep_for(2500ms);
  for (IRemoteModule* module : modules) EXPECT_EQ(module->Release(), 0u);  // stops it too
  for (int i = 0; i < kObjects; ++i) {
    // At once, after 1000 ms, then every 100 ms: 17 reports in 2.5 s, and more
    // for the objects that run on while the ones before them are stopped.
    EXPECT_GE(journals[i].Only("key").size(), 8u) << i;
    EXPECT_EQ(hosts[i]->sink.Count(), 1);
    EXPECT_EQ(hosts[i]->device.Count(), 1);
    EXPECT_EQ(hosts[i]->device.registers.Count(), 1);
  }
  ExpectProcessBackToStart();
}

}  // namespace
