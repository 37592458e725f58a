// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/host_fakes.h"
#include "support/platform_control.h"
#include "support/test_module.h"

namespace {

using Strings = std::vector<std::string>;

class ModuleObject : public ::testing::Test {
 protected:
  void TearDown() override {
    ExpectAllGivenBack(sink, device);
    platform_control::Reset();
  }

  // Calls on the host's objects, leaving out the worker's key reports.
  Strings HostObjectCalls() const {
    Strings result;
    for (const std::string& what : journal.Names()) {
      if (what != "key") result.push_back(what);
    }
    return result;
  }

  Journal journal;
  FakeSink sink{journal};
  FakeDevice device{journal};
};

TEST_F(ModuleObject, CountsReferencesAndIsDestroyedByTheLastRelease) {
  std::atomic<bool> destroyed{false};
  auto* module = new TestModule();
  module->destroyed = &destroyed;
  EXPECT_EQ(module->AddRef(), 2u);
  EXPECT_EQ(module->Release(), 1u);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(module->Release(), 0u);
  EXPECT_TRUE(destroyed);
}

TEST_F(ModuleObject, QueryInterfaceAnswersForItsTwoInterfacesOnly) {
  const IID other = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
  IID nearlyModule = IID_IRemoteModule;
  nearlyModule.Data4[7] ^= 1;  // differs in the last byte only
  struct Case {
    const char* what;
    const IID* iid;
    HRESULT result;
  } cases[] = {{"IUnknown", &IID_IUnknown, S_OK},
               {"IRemoteModule", &IID_IRemoteModule, S_OK},
               {"IDeviceRegisters", &IID_IDeviceRegisters, E_NOINTERFACE},
               {"unrelated IID", &other, E_NOINTERFACE},
               {"one byte off", &nearlyModule, E_NOINTERFACE}};
  auto* module = new TestModule();
  ULONG expectedCount = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(module->QueryInterface(*c.iid, &out), c.result);
    if (c.result == S_OK) {
      EXPECT_EQ(out, static_cast<IRemoteModule*>(module));
      ++expectedCount;
    } else {
      EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(module->AddRef(), expectedCount + 1);
    module->Release();
  }
  while (expectedCount-- > 0) module->Release();
}

// A null IID pointer can only come from C; the C host test covers it.
TEST_F(ModuleObject, QueryInterfaceWithANullOutPointerIsRefusedWithoutEffect) {
  auto* module = new TestModule();
  EXPECT_EQ(module->QueryInterface(IID_IRemoteModule, nullptr), E_POINTER);
  EXPECT_EQ(module->Release(), 0u);
}

TEST_F(ModuleObject, StartAndStopTakeAndReturnTheHostObjectsInOrder) {
  auto* module = new TestModule();
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  EXPECT_EQ(sink.Count(), 2);
  EXPECT_EQ(device.Count(), 2);
  while (module->runs == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_NE(module->workerThread, std::this_thread::get_id());
  EXPECT_EQ(module->Stop(), S_OK);
  EXPECT_TRUE(module->runEnded);
  EXPECT_EQ(HostObjectCalls(),
            (Strings{"device.AddRef", "sink.AddRef", "device.Release", "sink.Release"}));
  for (const Call& call : journal.Calls()) EXPECT_EQ(call.thread, std::this_thread::get_id());
  EXPECT_EQ(module->Stop(), S_OK);  // a second Stop does nothing
  EXPECT_EQ(HostObjectCalls().size(), 4u);
  module->Release();
}

TEST_F(ModuleObject, StartWithoutADeviceTakesNothing) {
  auto* module = new TestModule();
  EXPECT_EQ(module->Start(&sink, nullptr), E_UNEXPECTED);
  EXPECT_EQ(module->runs, 0);
  EXPECT_EQ(platform_control::LiveEvents(), 0);
  EXPECT_EQ(module->Stop(), S_OK);
  EXPECT_TRUE(journal.Names().empty());
  module->Release();
}

TEST_F(ModuleObject, StartWithoutASinkRunsTheWorkerAndReportsToNobody) {
  auto* module = new TestModule([](TestModule& m) {
    m.DispatchKey(0x27BF);
    TestModule::WaitForStop(m);
  });
  ASSERT_EQ(module->Start(nullptr, &device), S_OK);
  while (!module->runs) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(module->Stop(), S_OK);
  EXPECT_EQ(HostObjectCalls(), (Strings{"device.AddRef", "device.Release"}));
  module->Release();
}

TEST_F(ModuleObject, SecondStartIsRefusedAndChangesNothing) {
  FakeSink otherSink(journal);
  auto* module = new TestModule();
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  EXPECT_EQ(module->Start(&otherSink, &device), E_UNEXPECTED);
  EXPECT_EQ(otherSink.Count(), 1);
  EXPECT_EQ(device.Count(), 2);
  EXPECT_EQ(platform_control::LiveThreads(), 1);
  EXPECT_EQ(module->Stop(), S_OK);
  EXPECT_EQ(module->runs, 1);
  // Stopped objects can be started again.
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  EXPECT_EQ(module->Stop(), S_OK);
  EXPECT_EQ(module->runs, 2);
  module->Release();
}

TEST_F(ModuleObject, FailedThreadCreationIsReportedAndUndoneByStop) {
  auto* module = new TestModule();
  platform_control::FailNextThreadCreation();
  EXPECT_EQ(module->Start(&sink, &device), E_UNEXPECTED);
  EXPECT_EQ(module->runs, 0);
  EXPECT_EQ(sink.Count(), 2);  // held until Stop
  EXPECT_EQ(platform_control::LiveEvents(), 1);
  EXPECT_EQ(module->Start(&sink, &device), E_UNEXPECTED);  // still counts as started
  EXPECT_EQ(module->Stop(), S_OK);
  EXPECT_EQ(HostObjectCalls(),
            (Strings{"device.AddRef", "sink.AddRef", "device.Release", "sink.Release"}));
  module->Release();
}

}  // namespace
