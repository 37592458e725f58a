// SPDX-License-Identifier: MIT
// A capture card for the demo: a device object whose IDeviceRegisters keeps
// every register written and shows the press script's key code in bits 8 to 23
// of GPIO_DATA. Optionally prints every register access.
#ifndef PELMAR4_TOOLS_HOST_SIMULATED_CARD_H
#define PELMAR4_TOOLS_HOST_SIMULATED_CARD_H

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>

#include "interfaces/device_registers.h"
#include "press_script.h"

// Milliseconds since the demo started the module; shared by card and sink.
class DemoClock {
 public:
  void Restart() { start = std::chrono::steady_clock::now(); }
  int64_t Ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
  }

 private:
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

// Serialises the demo's output lines between the host and the worker thread.
std::mutex& OutputLock();

// The device object and its register interface are one object.
class SimulatedCard : public IDeviceRegisters {
 public:
  SimulatedCard(const PressScript& script, const DemoClock& clock, bool trace);

  HRESULT PELMAR_CALL QueryInterface(REFIID iid, void** out) override;
  ULONG PELMAR_CALL AddRef() override;
  ULONG PELMAR_CALL Release() override;
  // True when every reference handed out has come back.
  bool AllReleased() const { return refCount.load() == 1; }
  int Reads() const { return reads.load(); }

  HRESULT PELMAR_CALL Reserved() override;
  HRESULT PELMAR_CALL ReadRegister(uint32_t offset, uint32_t* value) override;
  HRESULT PELMAR_CALL WriteRegister(uint32_t offset, uint32_t value) override;

 private:
  const PressScript& script;
  const DemoClock& clock;
  bool trace;
  std::atomic<int> refCount{1};
  std::atomic<int> reads{0};
  std::mutex lock;
  std::map<uint32_t, uint32_t> registers;  // as last written
};

#endif
