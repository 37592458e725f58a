// SPDX-License-Identifier: MIT
// Host objects for the tests: a key sink, a device object and its register
// interface. All of them write every call the module makes into one shared
// Journal, with the thread it came on and the time, so tests can check the
// order of calls across objects.
#ifndef PELMAR4_TESTS_SUPPORT_HOST_FAKES_H
#define PELMAR4_TESTS_SUPPORT_HOST_FAKES_H

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/device_registers.h"
#include "interfaces/remote_module.h"

struct Call {
  Call(std::string what, uint32_t offset = 0, uint32_t value = 0)
      : what(std::move(what)), offset(offset), value(value) {}
  std::string what;  // "sink.AddRef", "device.Release", "regs.Read", "key", ...
  uint32_t offset = 0;
  uint32_t value = 0;
  std::string name;
  std::string alias;
  std::thread::id thread;
  int64_t ms = 0;  // on the journal's clock
};

class Journal {
 public:
  Journal();
  void Record(Call call);
  std::vector<Call> Calls() const;
  std::vector<Call> Only(const std::string& what) const;
  std::vector<std::string> Names() const;  // the `what` of every call, in order
  // The clock stamped on calls: real milliseconds since construction by default.
  void UseClock(std::function<int64_t()> clock);

 private:
  mutable std::mutex lock;
  std::vector<Call> calls;
  std::function<int64_t()> clock;
};

// Blocks callers until opened.
class Gate {
 public:
  void Open();
  void Pass();
  bool Reached() const { return reached.load(); }

 private:
  std::mutex lock;
  std::condition_variable opened;
  bool isOpen = false;
  std::atomic<bool> reached{false};
};

class FakeSink : public IRemoteKeySink {
 public:
  explicit FakeSink(Journal& journal) : journal(journal) {}
  HRESULT PELMAR_CALL QueryInterface(REFIID iid, void** out) override;
  ULONG PELMAR_CALL AddRef() override;
  ULONG PELMAR_CALL Release() override;
  HRESULT PELMAR_CALL OnKey(const char* name, const char* alias) override;
  int32_t Count() const { return refCount.load(); }
  // When set, OnKey waits at the gate before it records.
  Gate* gate = nullptr;
  // When set, OnKey calls it after it has recorded: a host that calls back in.
  std::function<void()> onKey;

 private:
  Journal& journal;
  std::atomic<int32_t> refCount{1};
};

class FakeRegisters : public IDeviceRegisters {
 public:
  explicit FakeRegisters(Journal& journal) : journal(journal) {}
  HRESULT PELMAR_CALL QueryInterface(REFIID iid, void** out) override;
  ULONG PELMAR_CALL AddRef() override;
  ULONG PELMAR_CALL Release() override;
  HRESULT PELMAR_CALL Reserved() override;
  HRESULT PELMAR_CALL ReadRegister(uint32_t offset, uint32_t* value) override;
  HRESULT PELMAR_CALL WriteRegister(uint32_t offset, uint32_t value) override;
  int32_t Count() const { return refCount.load(); }
  // What a read of `offset` stores; false stores nothing. Default: 0 everywhere.
  std::function<bool(uint32_t offset, uint32_t* value)> contents;

 private:
  Journal& journal;
  std::atomic<int32_t> refCount{1};
};

class FakeDevice : public IUnknown {
 public:
  enum class Answer { Give, Refuse, SucceedWithNull };
  explicit FakeDevice(Journal& journal) : registers(journal), journal(journal) {}
  HRESULT PELMAR_CALL QueryInterface(REFIID iid, void** out) override;
  ULONG PELMAR_CALL AddRef() override;
  ULONG PELMAR_CALL Release() override;
  int32_t Count() const { return refCount.load(); }
  Answer answer = Answer::Give;
  FakeRegisters registers;
  // When set, Release calls it after counting down.
  std::function<void()> onRelease;

 private:
  Journal& journal;
  std::atomic<int32_t> refCount{1};
};

// Waits, at most 10 s, until `condition` holds; true when it does.
bool Eventually(const std::function<bool()>& condition);

// Every reference the module took on these objects was given back, and every
// event and thread it made is closed.
void ExpectAllGivenBack(const FakeSink& sink, const FakeDevice& device);

#endif
