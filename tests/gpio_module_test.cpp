// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "keys/gpio_remote_module.h"
#include "support/host_fakes.h"
#include "support/platform_control.h"
#include "support/scratch_directory.h"

namespace {

using namespace std::chrono_literals;

// Register contents as a function of time since the worker started.
using Script = std::function<uint32_t(int64_t ms)>;

uint32_t Shows(uint32_t code) {
  return code << 8;
}

// Runs a GpioRemoteModule with sleeps on a virtual clock until `endMs`, then
// stops it. Reads and reports are stamped with virtual time.
class CardModule : public ::testing::Test {
 protected:
  void TearDown() override {
    ExpectAllGivenBack(sink, device);
    platform_control::Reset();
  }

  void RunUntil(int64_t endMs, Script script) {
    journal.UseClock([this] { return now.load(); });
    platform_control::TakeOverSleeps([this, endMs](uint32_t ms) {
      bool over = now.load() >= endMs;
      now += ms;
      if (over) std::this_thread::sleep_for(1ms);  // the run is over; wait for Stop
    });
    device.registers.contents = [this, script](uint32_t offset, uint32_t* value) {
      *value = offset == gpio::kData ? script(now.load()) : 0;
      return true;
    };
    IRemoteModule* module = new GpioRemoteModule();
    ASSERT_EQ(module->Start(&sink, &device), S_OK);
    // Until the clock reaches endMs, and at least until the first sleep, after set-up.
    while (now.load() < endMs || now.load() == 0) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(module->Stop(), S_OK);
    EXPECT_EQ(module->Release(), 0u);
    poll = journal.Only("regs.Read");
    poll.erase(poll.begin(), poll.begin() + 3);  // the set-up reads
    poll.erase(
        std::remove_if(poll.begin(), poll.end(), [endMs](const Call& c) { return c.ms > endMs; }),
        poll.end());
    for (const Call& key : journal.Only("key")) {
      if (key.ms <= endMs) reports.push_back({key.ms, key.name});
    }
  }

  std::vector<int64_t> ReadTimes() const {
    std::vector<int64_t> times;
    for (const Call& read : poll) times.push_back(read.ms);
    return times;
  }

  ScratchDirectory scratch{::testing::UnitTest::GetInstance()->current_test_info()->name()};
  Journal journal;
  FakeSink sink{journal};
  FakeDevice device{journal};
  std::atomic<int64_t> now{0};
  std::vector<Call> poll;
  std::vector<std::pair<int64_t, std::string>> reports;
};

using Times = std::vector<int64_t>;
using Reports = std::vector<std::pair<int64_t, std::string>>;

TEST_F(CardModule, HeldKeyIsReportedAtOnceAfterASecondThenEveryTenthOfASecond) {
  RunUntil(1450, [](int64_t) { return Shows(0x27BF); });
  EXPECT_EQ(ReadTimes(), (Times{20, 1020, 1120, 1220, 1320, 1420}));
  EXPECT_EQ(reports, (Reports{{20, "Key_Power"},
                              {1020, "Key_Power"},
                              {1120, "Key_Power"},
                              {1220, "Key_Power"},
                              {1320, "Key_Power"},
                              {1420, "Key_Power"}}));
  EXPECT_EQ(journal.Only("key")[0].alias, "Power");
}

TEST_F(CardModule, BitsOutsideTheCodeAreIgnored) {
  RunUntil(20, [](int64_t) { return 0xA5000000 | Shows(0x25BF) | 0x5A; });
  EXPECT_EQ(reports, (Reports{{20, "Key_TV/FM"}}));
}

TEST_F(CardModule, ANewKeyIsReportedAtOnceAndNotAgainForASecond) {
  RunUntil(2150, [](int64_t t) { return Shows(t < 500 ? 0x1C3F : 0x143F); });
  EXPECT_EQ(ReadTimes(), (Times{20, 1020, 2020, 2120}));
  EXPECT_EQ(reports, (Reports{{20, "Key_1"}, {1020, "Key_2"}, {2020, "Key_2"}, {2120, "Key_2"}}));
}

TEST_F(CardModule, ACodeOutsideTheTableIsNotReportedAndDelaysTheNextRead) {
  RunUntil(2600, [](int64_t t) { return Shows(t < 1500 ? 0x1C3F : 0x1234); });
  EXPECT_EQ(ReadTimes(), (Times{20, 1020, 1120, 1220, 1320, 1420, 1520, 2520}));
  EXPECT_EQ(reports.size(), 6u);
  EXPECT_EQ(reports.back(), (std::pair<int64_t, std::string>{1420, "Key_1"}));
}

TEST_F(CardModule, APressBetweenTheTwoReadsAfterAShortPressIsNotSeen) {
  RunUntil(2150, [](int64_t t) {
    bool pressed = t < 500 || (t >= 1200 && t < 1900);
    return pressed ? Shows(0x27BF) : 0;
  });
  EXPECT_EQ(ReadTimes(), (Times{20, 1020, 2020, 2120}));
  EXPECT_EQ(reports, (Reports{{20, "Key_Power"}}));
}

TEST_F(CardModule, SetUpSetsBitsInTheThreeRegistersAndKeepsTheRest) {
  RunUntil(0, [](int64_t) { return 0x12345678u; });
  device.registers.contents = nullptr;
  std::vector<Call> calls = journal.Calls();
  std::vector<std::tuple<std::string, uint32_t, uint32_t>> setUp;
  for (const Call& call : calls) {
    if (call.what == "regs.Read" || call.what == "regs.Write") {
      setUp.emplace_back(call.what, call.offset, call.value);
    }
  }
  setUp.resize(6);
  // The fake reads 0 from the first two registers and 0x12345678 from GPIO_DATA.
  EXPECT_EQ(setUp, (decltype(setUp){{"regs.Read", 0x10C, 0},
                                    {"regs.Write", 0x10C, 0xC004},
                                    {"regs.Read", 0x118, 0},
                                    {"regs.Write", 0x118, 0x78FF},
                                    {"regs.Read", 0x200, 0x12345678},
                                    {"regs.Write", 0x200, 0x12347FFA}}));
}

TEST_F(CardModule, SetUpKeepsUpperBitsAndWritesTheMaskAloneWhenAReadStoresNothing) {
  struct Case {
    uint32_t offset;
    bool stores;
    uint32_t read;
    uint32_t written;
  } cases[] = {{0x118, true, 0x00AB0000, 0x00AB78FF},
               {0x10C, true, 0xFFFF0000, 0xFFFFC004},
               {0x10C, false, 0, 0xC004},
               {0x200, false, 0, 0x7FC2}};
  for (const Case& c : cases) {
    Journal caseJournal;
    FakeDevice caseDevice(caseJournal);
    caseDevice.registers.contents = [c](uint32_t offset, uint32_t* value) {
      if (offset != c.offset) return *value = 0, true;
      if (c.stores) *value = c.read;
      return c.stores;
    };
    platform_control::TakeOverSleeps([](uint32_t) { std::this_thread::sleep_for(1ms); });
    IRemoteModule* module = new GpioRemoteModule();
    ASSERT_EQ(module->Start(nullptr, &caseDevice), S_OK);
    while (caseJournal.Only("regs.Write").size() < 3) std::this_thread::sleep_for(1ms);
    module->Release();
    bool found = false;
    for (const Call& write : caseJournal.Only("regs.Write")) {
      if (write.offset == c.offset) {
        EXPECT_EQ(write.value, c.written) << std::hex << c.offset;
        found = true;
      }
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(caseDevice.Count(), 1);
    EXPECT_EQ(caseDevice.registers.Count(), 1);
  }
}

TEST_F(CardModule, TheWorkerLogsItsEndAndReleasesTheRegistersBeforeTheDeviceAndSink) {
  RunUntil(20, [](int64_t) { return Shows(0x27BF); });
  std::vector<std::string> ends;
  std::thread::id regsReleaseThread;
  for (const Call& call : journal.Calls()) {
    if (call.what.find("Release") != std::string::npos) ends.push_back(call.what);
    if (call.what == "regs.Release") regsReleaseThread = call.thread;
  }
  EXPECT_EQ(ends, (std::vector<std::string>{"regs.Release", "device.Release", "sink.Release"}));
  EXPECT_NE(regsReleaseThread, std::this_thread::get_id());
  std::string log = scratch.Read();
  const std::string bye = "Pelmar4: Break event received. Bye!";
  ASSERT_GE(log.size(), bye.size());
  EXPECT_NE(log.find(bye), std::string::npos);
  EXPECT_EQ(log.find(bye), log.rfind(bye));
}

TEST_F(CardModule, ADeviceWithoutRegistersEndsTheWorkerQuietly) {
  for (FakeDevice::Answer answer :
       {FakeDevice::Answer::Refuse, FakeDevice::Answer::SucceedWithNull}) {
    device.answer = answer;
    IRemoteModule* module = new GpioRemoteModule();
    ASSERT_EQ(module->Start(&sink, &device), S_OK);
    while (journal.Only("device.QueryInterface").empty()) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(module->Stop(), S_OK);
    EXPECT_EQ(module->Release(), 0u);
  }
  EXPECT_TRUE(journal.Only("regs.Read").empty());
  EXPECT_TRUE(journal.Only("regs.Write").empty());
  EXPECT_TRUE(journal.Only("regs.Release").empty());
  EXPECT_EQ(scratch.Read().find("Bye"), std::string::npos);
}

TEST_F(CardModule, ARestartedObjectPollsAndReportsAgain) {
  platform_control::TakeOverSleeps([](uint32_t) { std::this_thread::sleep_for(1ms); });
  device.registers.contents = [](uint32_t, uint32_t* value) {
    *value = Shows(0x27BF);
    return true;
  };
  IRemoteModule* module = new GpioRemoteModule();
  for (int run = 0; run < 3; ++run) {
    size_t before = journal.Only("key").size();
    ASSERT_EQ(module->Start(&sink, &device), S_OK);
    EXPECT_TRUE(Eventually([&] { return journal.Only("key").size() > before; })) << run;
    EXPECT_EQ(module->Stop(), S_OK);
  }
  EXPECT_EQ(journal.Only("regs.Release").size(), 3u);
  EXPECT_EQ(module->Release(), 0u);
}

}  // namespace
