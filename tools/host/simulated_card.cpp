// SPDX-License-Identifier: MIT
#include "simulated_card.h"

#include <stdio.h>
#include <string.h>

namespace {
constexpr uint32_t kGpioData = 0x200;
// The pins of GPIO_DATA that carry the remote's code: bits 8 to 23.
constexpr uint32_t kCodePins = 0x00FFFF00;
}  // namespace

std::mutex& OutputLock() {
  static std::mutex lock;
  return lock;
}

SimulatedCard::SimulatedCard(const PressScript& script, const DemoClock& clock, bool trace)
    : script(script), clock(clock), trace(trace) {}

HRESULT PELMAR_CALL SimulatedCard::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (memcmp(&iid, &IID_IDeviceRegisters, sizeof(IID)) != 0 &&
      memcmp(&iid, &IID_IUnknown, sizeof(IID)) != 0) {
    return E_NOINTERFACE;
  }
  *out = static_cast<IDeviceRegisters*>(this);
  AddRef();
  return S_OK;
}

ULONG PELMAR_CALL SimulatedCard::AddRef() {
  return static_cast<ULONG>(++refCount);
}
ULONG PELMAR_CALL SimulatedCard::Release() {
  return static_cast<ULONG>(--refCount);
}
HRESULT PELMAR_CALL SimulatedCard::Reserved() {
  return S_OK;
}

HRESULT PELMAR_CALL SimulatedCard::ReadRegister(uint32_t offset, uint32_t* value) {
  if (value == nullptr) return E_POINTER;
  int64_t now = clock.Ms();
  {
    std::lock_guard<std::mutex> guard(lock);
    *value = registers[offset];
  }
  if (offset == kGpioData) {
    ++reads;
    // The other pins read back as last written.
    *value = (*value & ~kCodePins) | (script.CodeAt(now) << 8);
  }
  if (trace) {
    std::lock_guard<std::mutex> guard(OutputLock());
    printf("%7lld ms  read  0x%03X -> 0x%08X\n", static_cast<long long>(now), offset, *value);
    fflush(stdout);
  }
  return S_OK;
}

HRESULT PELMAR_CALL SimulatedCard::WriteRegister(uint32_t offset, uint32_t value) {
  {
    std::lock_guard<std::mutex> guard(lock);
    registers[offset] = value;
  }
  if (trace) {
    std::lock_guard<std::mutex> guard(OutputLock());
    printf("%7lld ms  write 0x%03X <- 0x%08X\n", static_cast<long long>(clock.Ms()), offset, value);
    fflush(stdout);
  }
  return S_OK;
}
