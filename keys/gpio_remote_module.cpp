// SPDX-License-Identifier: MIT
#include "gpio_remote_module.h"

#include "card_key_table.h"
#include "log/log_message.h"
#include "platform/platform.h"

namespace {

// A read that stores nothing leaves 0: for set-up, the mask alone is written.
void SetBits(IDeviceRegisters* registers, uint32_t offset, uint32_t mask) {
  uint32_t value = 0;
  registers->ReadRegister(offset, &value);
  registers->WriteRegister(offset, value | mask);
}

}  // namespace

GpioRemoteModule::GpioRemoteModule() : RemoteModuleBase(CardKeyTable, kCardKeyCount) {
  LogMessage("Pelmar4: Initializing Aver TVCapture98 remote module.        \n");
  LogMessage("Pelmar4: Polls GPIO_DATA bits 8-23 for the remote's 35 keys.\n");
}

GpioRemoteModule::~GpioRemoteModule() = default;

void GpioRemoteModule::Run() {
  IDeviceRegisters* registers = nullptr;
  HRESULT result =
      Device()->QueryInterface(IID_IDeviceRegisters, reinterpret_cast<void**>(&registers));
  // A success without an interface is a refusal too.
  if (FAILED(result) || registers == nullptr) return;

  SetUp(registers);
  Poll(registers);

  LogMessage("Pelmar4: Break event received. Bye!\n");
  registers->Release();
}

// A stop asked for during set-up (from inside a register call, say) lets the
// step under way finish its write but starts no other.
void GpioRemoteModule::SetUp(IDeviceRegisters* registers) {
  const uint32_t steps[][2] = {{gpio::kDmaCtl, gpio::kDmaCtlSetUp},
                               {gpio::kOutEn, gpio::kOutEnSetUp},
                               {gpio::kData, gpio::kDataSetUp}};
  for (const auto& step : steps) {
    if (StopRequested()) return;
    SetBits(registers, step[0], step[1]);
  }
}

void GpioRemoteModule::Poll(IDeviceRegisters* registers) {
  uint32_t lastCode = gpio::kNoCode;
  uint32_t pollDelay = gpio::kFirstDelayMs;
  while (!StopRequested()) {
    platform::SleepMs(pollDelay);
    uint32_t value = 0;
    registers->ReadRegister(gpio::kData, &value);
    uint32_t code = (value >> gpio::kCodeShift) & gpio::kCodeMask;
    if (code == lastCode) {
      pollDelay = gpio::kDelayWhileSteadyMs;
    } else {
      lastCode = code;
      pollDelay = gpio::kDelayAfterChangeMs;
    }
    DispatchKey(code);
  }
}
