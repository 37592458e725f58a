// SPDX-License-Identifier: MIT
// A RemoteModuleBase whose worker body the test chooses.
#ifndef PELMAR4_TESTS_SUPPORT_TEST_MODULE_H
#define PELMAR4_TESTS_SUPPORT_TEST_MODULE_H

#include <atomic>
#include <functional>
#include <thread>

#include "keys/card_key_table.h"
#include "module/remote_module_base.h"
#include "platform/platform.h"

class TestModule : public RemoteModuleBase {
 public:
  using Body = std::function<void(TestModule&)>;

  // The default body waits for the stop signal, as a poller does.
  static void WaitForStop(TestModule& module) {
    while (!module.StopRequested()) platform::SleepMs(1);
  }

  explicit TestModule(Body body = WaitForStop, const RemoteKey* keys = CardKeyTable,
                      int32_t keyCount = kCardKeyCount)
      : RemoteModuleBase(keys, keyCount), body(std::move(body)) {}
  ~TestModule() override {
    if (destroyed != nullptr) *destroyed = true;
  }

  void Run() override {
    workerThread = std::this_thread::get_id();
    ++runs;
    body(*this);
    runEnded = true;
  }

  using RemoteModuleBase::StopRequested;

  Body body;
  std::atomic<int> runs{0};
  std::atomic<bool> runEnded{false};
  std::thread::id workerThread;
  std::atomic<bool>* destroyed = nullptr;
};

#endif
