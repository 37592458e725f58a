/* SPDX-License-Identifier: MIT */
/* A capture card for the demo: a device object whose IDeviceRegisters keeps
 * the registers written and shows the press script's key code in bits 8 to 23
 * of GPIO_DATA. Optionally prints every register access. */
#ifndef PELMAR4_TOOLS_HOST_SIMULATED_CARD_H
#define PELMAR4_TOOLS_HOST_SIMULATED_CARD_H

#include <stdatomic.h>

#include "host_os.h"
#include "interfaces/device_registers.h"
#include "press_script.h"

/* The device object and its register interface are one object. */
typedef struct SimulatedCard {
  IDeviceRegisters iface;
  const PressScript* script;
  const int64_t* start; /* NowMs() when the demo started the module */
  int trace;
  atomic_int refCount;
  atomic_int reads;
  /* The registers written, as last written; any other reads 0. The module
   * writes three. */
  uint32_t offsets[16], values[16];
  int written;
} SimulatedCard;

void InitSimulatedCard(SimulatedCard* card, const PressScript* script, const int64_t* start,
                       int trace);
/* True when every reference handed out has come back. */
int CardAllReleased(SimulatedCard* card);

/* Serialises the demo's output lines between the host and the worker thread. */
void LockOutput(void);
void UnlockOutput(void);

#endif
