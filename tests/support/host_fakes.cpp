// SPDX-License-Identifier: MIT
#include "host_fakes.h"

#include <gtest/gtest.h>
#include <string.h>

#include <chrono>

#include "platform_control.h"

Journal::Journal() {
  auto start = std::chrono::steady_clock::now();
  clock = [start] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
  };
}

void Journal::Record(Call call) {
  std::lock_guard<std::mutex> guard(lock);
  call.thread = std::this_thread::get_id();
  call.ms = clock();
  calls.push_back(std::move(call));
}

std::vector<Call> Journal::Calls() const {
  std::lock_guard<std::mutex> guard(lock);
  return calls;
}

std::vector<Call> Journal::Only(const std::string& what) const {
  std::vector<Call> result;
  for (const Call& call : Calls()) {
    if (call.what == what) result.push_back(call);
  }
  return result;
}

std::vector<std::string> Journal::Names() const {
  std::vector<std::string> result;
  for (const Call& call : Calls()) result.push_back(call.what);
  return result;
}

void Journal::UseClock(std::function<int64_t()> newClock) {
  std::lock_guard<std::mutex> guard(lock);
  clock = std::move(newClock);
}

void Gate::Open() {
  std::lock_guard<std::mutex> guard(lock);
  isOpen = true;
  opened.notify_all();
}

void Gate::Pass() {
  reached = true;
  std::unique_lock<std::mutex> guard(lock);
  opened.wait(guard, [this] { return isOpen; });
}

namespace {
bool Is(REFIID a, const IID& b) {
  return memcmp(&a, &b, sizeof(IID)) == 0;
}
}  // namespace

HRESULT PELMAR_CALL FakeSink::QueryInterface(REFIID, void** out) {
  *out = nullptr;
  journal.Record({"sink.QueryInterface"});
  return E_NOINTERFACE;
}
ULONG PELMAR_CALL FakeSink::AddRef() {
  journal.Record({"sink.AddRef"});
  return static_cast<ULONG>(++refCount);
}
ULONG PELMAR_CALL FakeSink::Release() {
  journal.Record({"sink.Release"});
  return static_cast<ULONG>(--refCount);
}
HRESULT PELMAR_CALL FakeSink::OnKey(const char* name, const char* alias) {
  if (gate != nullptr) gate->Pass();
  Call call{"key"};
  call.name = name;
  call.alias = alias;
  journal.Record(call);
  if (onKey) onKey();
  return S_OK;
}

HRESULT PELMAR_CALL FakeRegisters::QueryInterface(REFIID, void** out) {
  *out = nullptr;
  return E_NOINTERFACE;
}
ULONG PELMAR_CALL FakeRegisters::AddRef() {
  journal.Record({"regs.AddRef"});
  return static_cast<ULONG>(++refCount);
}
ULONG PELMAR_CALL FakeRegisters::Release() {
  journal.Record({"regs.Release"});
  return static_cast<ULONG>(--refCount);
}
HRESULT PELMAR_CALL FakeRegisters::Reserved() {
  journal.Record({"regs.Reserved"});
  return S_OK;
}
HRESULT PELMAR_CALL FakeRegisters::ReadRegister(uint32_t offset, uint32_t* value) {
  bool stored = contents ? contents(offset, value) : (*value = 0, true);
  Call call{"regs.Read", offset};
  call.value = stored ? *value : 0xDEADBEEF;
  journal.Record(call);
  return S_OK;
}
HRESULT PELMAR_CALL FakeRegisters::WriteRegister(uint32_t offset, uint32_t value) {
  journal.Record({"regs.Write", offset, value});
  return S_OK;
}

HRESULT PELMAR_CALL FakeDevice::QueryInterface(REFIID iid, void** out) {
  journal.Record({"device.QueryInterface"});
  *out = nullptr;
  if (!Is(iid, IID_IDeviceRegisters) || answer == Answer::Refuse) return E_NOINTERFACE;
  if (answer == Answer::SucceedWithNull) return S_OK;
  registers.AddRef();
  *out = static_cast<IDeviceRegisters*>(&registers);
  return S_OK;
}
ULONG PELMAR_CALL FakeDevice::AddRef() {
  journal.Record({"device.AddRef"});
  return static_cast<ULONG>(++refCount);
}
ULONG PELMAR_CALL FakeDevice::Release() {
  journal.Record({"device.Release"});
  int32_t count = --refCount;
  if (onRelease) onRelease();
  return static_cast<ULONG>(count);
}

bool Eventually(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void ExpectAllGivenBack(const FakeSink& sink, const FakeDevice& device) {
  EXPECT_EQ(sink.Count(), 1);
  EXPECT_EQ(device.Count(), 1);
  EXPECT_EQ(device.registers.Count(), 1);
  EXPECT_EQ(platform_control::LiveThreads(), 0);
  EXPECT_EQ(platform_control::LiveEvents(), 0);
}
