// Hosts that call back into the module from inside the calls its worker makes,
// that re-enter it while it gives their objects back, and that start it again.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "keys/gpio_remote_module.h"
#include "support/host_fakes.h"
#include "support/platform_control.h"
#include "support/scratch_directory.h"
#include "support/test_module.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

class HostCallsBack : public ::testing::Test {
 protected:
  void SetUp() override {
    device.registers.contents = [](uint32_t, uint32_t* value) {
      *value = 0x27BF << 8;  // Key_Power held
      return true;
    };
  }
  void TearDown() override { ExpectAllGivenBack(sink, device); }

  ScratchDirectory scratch{::testing::UnitTest::GetInstance()->current_test_info()->name()};
  Journal journal;
  FakeSink sink{journal};
  FakeDevice device{journal};
};

// Key_Power closing the host from OnKey, and a host's read handler doing the
// same: the call returns at once, the worker reads and reports nothing more,
// and it gives everything back in order; after a Release it frees the object.
TEST_F(HostCallsBack, StopOrReleaseFromInsideTheWorkersCalls) {
  enum Where { kOnKey, kPollRead };
  enum What { kStop, kStopThenRelease, kRelease };
  for (Where where : {kOnKey, kPollRead}) {
    for (What what : {kStop, kStopThenRelease, kRelease}) {
      SCOPED_TRACE(testing::Message() << "where " << where << ", what " << what);
      Journal journal;
      FakeSink sink(journal);
      FakeDevice device(journal);
      IRemoteModule* module = new GpioRemoteModule();
      std::atomic<bool> called{false};
      std::atomic<size_t> journalAtReturn{0};
      std::atomic<int64_t> tookMs{-1};
      auto callBack = [&] {
        if (called.exchange(true)) return;
        Clock::time_point before = Clock::now();
        HRESULT stopped = what == kRelease ? S_OK : module->Stop();
        ULONG left = what == kStop ? 0 : module->Release();
        tookMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before).count();
        journalAtReturn = journal.Calls().size();
        EXPECT_EQ(stopped, S_OK);
        EXPECT_EQ(left, 0u);
      };
      int dataReads = 0;  // the worker's alone
      device.registers.contents = [&](uint32_t offset, uint32_t* value) {
        *value = 0x27BF << 8;
        if (where == kPollRead && offset == gpio::kData && ++dataReads == 2) callBack();
        return true;
      };
      if (where == kOnKey) sink.onKey = callBack;
      ASSERT_EQ(module->Start(&sink, &device), S_OK);
      ASSERT_TRUE(Eventually([&] { return called && sink.Count() == 1 && device.Count() == 1; }));
      EXPECT_GE(tookMs, 0);
      EXPECT_LT(tookMs, 1000);
      // After the call: the read it was made in, with its report, then the ends.
      Strings after;
      std::vector<Call> calls = journal.Calls();
      for (size_t i = journalAtReturn; i < calls.size(); ++i) after.push_back(calls[i].what);
      Strings ends{"regs.Release", "device.Release", "sink.Release"};
      if (where == kPollRead) ends.insert(ends.begin(), {"regs.Read", "key"});
      EXPECT_EQ(after, ends);
      EXPECT_NE(calls.back().thread, std::this_thread::get_id());
      if (what == kStop) {
        EXPECT_EQ(module->Stop(), S_OK);  // nothing left to give back
        EXPECT_EQ(module->Release(), 0u);
        EXPECT_EQ(journal.Calls().size(), calls.size());
      }
      ASSERT_TRUE(Eventually([] { return platform_control::LiveEvents() == 0; }));
      ExpectAllGivenBack(sink, device);
    }
  }
}

// The device's Release takes and drops a reference on the module, as a smart
// pointer copy does: destruction still happens once.
TEST_F(HostCallsBack, ADeviceReleaseThatReentersTheModule) {
  std::atomic<bool> destroyed{false};
  auto* module = new TestModule();
  module->destroyed = &destroyed;
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  int reentered = 0;
  device.onRelease = [&] {
    ++reentered;
    module->AddRef();
    EXPECT_EQ(module->Stop(), S_OK);
    module->Release();
  };
  EXPECT_EQ(module->Release(), 0u);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(reentered, 1);
  EXPECT_EQ(journal.Names(),
            (Strings{"device.AddRef", "sink.AddRef", "device.Release", "sink.Release"}));
}

TEST_F(HostCallsBack, ARestartedObjectPollsAndReportsAgain) {
  platform_control::TakeOverSleeps([](uint32_t) { std::this_thread::sleep_for(1ms); });
  IRemoteModule* module = new GpioRemoteModule();
  for (int run = 0; run < 3; ++run) {
    size_t before = journal.Only("key").size();
    ASSERT_EQ(module->Start(&sink, &device), S_OK);
    EXPECT_TRUE(Eventually([&] { return journal.Only("key").size() > before; })) << run;
    EXPECT_EQ(module->Stop(), S_OK);
  }
  EXPECT_EQ(journal.Only("regs.Release").size(), 3u);
  EXPECT_EQ(module->Release(), 0u);
  platform_control::Reset();
}

}  // namespace
