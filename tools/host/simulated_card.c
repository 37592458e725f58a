/* SPDX-License-Identifier: MIT */
#include "simulated_card.h"

#include <stdio.h>
#include <string.h>

enum {
  kGpioData = 0x200,
  /* The pins of GPIO_DATA that carry the remote's code: bits 8 to 23. */
  kCodePins = 0x00FFFF00
};

static HostLock* outputLock;
/* Guards every card's registers: the worker writes them, trace lines read. */
static HostLock* registerLock;

void LockOutput(void) {
  Lock(outputLock);
}
void UnlockOutput(void) {
  Unlock(outputLock);
}

static SimulatedCard* AsCard(IDeviceRegisters* This) {
  return (SimulatedCard*)This;
}

static ULONG PELMAR_CALL CardAddRef(IDeviceRegisters* This) {
  return (ULONG)(atomic_fetch_add(&AsCard(This)->refCount, 1) + 1);
}
static ULONG PELMAR_CALL CardRelease(IDeviceRegisters* This) {
  return (ULONG)(atomic_fetch_sub(&AsCard(This)->refCount, 1) - 1);
}

static HRESULT PELMAR_CALL CardQueryInterface(IDeviceRegisters* This, REFIID iid, void** out) {
  if (out == NULL) return E_POINTER;
  *out = NULL;
  if (memcmp(iid, &IID_IDeviceRegisters, sizeof(IID)) != 0 &&
      memcmp(iid, &IID_IUnknown, sizeof(IID)) != 0) {
    return E_NOINTERFACE;
  }
  *out = This;
  CardAddRef(This);
  return S_OK;
}

static HRESULT PELMAR_CALL CardReserved(IDeviceRegisters* This) {
  (void)This;
  return S_OK;
}

static uint32_t* Register(SimulatedCard* card, uint32_t offset, int make) {
  for (int i = 0; i < card->written; ++i) {
    if (card->offsets[i] == offset) return &card->values[i];
  }
  if (!make || card->written == (int)(sizeof card->offsets / sizeof card->offsets[0])) return NULL;
  card->offsets[card->written] = offset;
  card->values[card->written] = 0;
  return &card->values[card->written++];
}

static HRESULT PELMAR_CALL CardRead(IDeviceRegisters* This, uint32_t offset, uint32_t* value) {
  SimulatedCard* card = AsCard(This);
  if (value == NULL) return E_POINTER;
  int64_t now = NowMs() - *card->start;
  Lock(registerLock);
  uint32_t* held = Register(card, offset, 0);
  *value = held == NULL ? 0 : *held;
  Unlock(registerLock);
  if (offset == kGpioData) {
    atomic_fetch_add(&card->reads, 1);
    /* The other pins read back as last written. */
    *value = (*value & ~(uint32_t)kCodePins) | (CodeAt(card->script, now) << 8);
  }
  if (card->trace) {
    LockOutput();
    printf("%7ld ms  read  0x%03X -> 0x%08X\n", (long)now, (unsigned)offset, (unsigned)*value);
    fflush(stdout);
    UnlockOutput();
  }
  return S_OK;
}

static HRESULT PELMAR_CALL CardWrite(IDeviceRegisters* This, uint32_t offset, uint32_t value) {
  SimulatedCard* card = AsCard(This);
  Lock(registerLock);
  uint32_t* held = Register(card, offset, 1);
  if (held != NULL) *held = value;
  Unlock(registerLock);
  if (card->trace) {
    LockOutput();
    printf("%7ld ms  write 0x%03X <- 0x%08X\n", (long)(NowMs() - *card->start), (unsigned)offset,
           (unsigned)value);
    fflush(stdout);
    UnlockOutput();
  }
  return S_OK;
}

static const IDeviceRegistersVtbl cardVtbl = {CardQueryInterface, CardAddRef, CardRelease,
                                              CardReserved,       CardRead,   CardWrite};

void InitSimulatedCard(SimulatedCard* card, const PressScript* script, const int64_t* start,
                       int trace) {
  memset(card, 0, sizeof *card);
  card->iface.lpVtbl = &cardVtbl;
  card->script = script;
  card->start = start;
  card->trace = trace;
  atomic_init(&card->refCount, 1);
  atomic_init(&card->reads, 0);
  if (outputLock == NULL) {
    outputLock = NewLock();
    registerLock = NewLock();
  }
}

int CardAllReleased(SimulatedCard* card) {
  return atomic_load(&card->refCount) == 1;
}
