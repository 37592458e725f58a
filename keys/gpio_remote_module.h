// SPDX-License-Identifier: MIT
// GpioRemoteModule: the card's module. Its worker prepares three GPIO registers
// of the card's Bt848/Bt878-family chip, then polls GPIO_DATA, where the remote's
// key code shows in bits 8 to 23, and dispatches every code it reads:
//   first read 20 ms after start; 1000 ms after a read that changed the code;
//   100 ms after a read that did not.
// So a held key is reported at once, again after 1000 ms, then every 100 ms.
#ifndef PELMAR4_KEYS_GPIO_REMOTE_MODULE_H
#define PELMAR4_KEYS_GPIO_REMOTE_MODULE_H

#include <stdint.h>

#include "interfaces/device_registers.h"
#include "module/remote_module_base.h"

namespace gpio {
constexpr uint32_t kDmaCtl = 0x10C;
constexpr uint32_t kDmaCtlSetUp = 0xC004;
constexpr uint32_t kOutEn = 0x118;
constexpr uint32_t kOutEnSetUp = 0x78FF;
constexpr uint32_t kData = 0x200;
constexpr uint32_t kDataSetUp = 0x7FC2;
constexpr uint32_t kCodeShift = 8;
constexpr uint32_t kCodeMask = 0xFFFF;
constexpr uint32_t kFirstDelayMs = 20;
constexpr uint32_t kDelayAfterChangeMs = 1000;
constexpr uint32_t kDelayWhileSteadyMs = 100;
// No 16-bit code equals it, so the first read always counts as a change.
constexpr uint32_t kNoCode = 0xFFFFFFFFu;
}  // namespace gpio

class GpioRemoteModule : public RemoteModuleBase {
 public:
  GpioRemoteModule();
  ~GpioRemoteModule() override;
  void Run() override;

 private:
  void SetUp(IDeviceRegisters* registers);
  void Poll(IDeviceRegisters* registers);
};

#endif
