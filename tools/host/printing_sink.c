/* SPDX-License-Identifier: MIT */
#include "printing_sink.h"

#include <stdio.h>
#include <string.h>

#include "host_os.h"
#include "simulated_card.h"

static PrintingSink* AsSink(IRemoteKeySink* This) {
  return (PrintingSink*)This;
}

static HRESULT PELMAR_CALL SinkQueryInterface(IRemoteKeySink* This, REFIID iid, void** out) {
  (void)This, (void)iid;
  if (out != NULL) *out = NULL;
  return E_NOINTERFACE;
}
static ULONG PELMAR_CALL SinkAddRef(IRemoteKeySink* This) {
  return (ULONG)(atomic_fetch_add(&AsSink(This)->refCount, 1) + 1);
}
static ULONG PELMAR_CALL SinkRelease(IRemoteKeySink* This) {
  return (ULONG)(atomic_fetch_sub(&AsSink(This)->refCount, 1) - 1);
}

static int RowOf(const char* name) {
  int row = 0;
  while (row < kCardKeyCount && strcmp(CardKeyTable[row].name, name) != 0) ++row;
  return row;
}

static HRESULT PELMAR_CALL SinkOnKey(IRemoteKeySink* This, const char* name, const char* alias) {
  PrintingSink* sink = AsSink(This);
  int row = RowOf(name);
  LockOutput();
  printf("%7ld ms  %-16s %s\n", (long)(NowMs() - *sink->start), name, alias);
  fflush(stdout);
  UnlockOutput();
  ++sink->counts[row];
  int runs = (int)(sizeof sink->order / sizeof sink->order[0]);
  if ((sink->runs == 0 || sink->order[sink->runs - 1] != row) && sink->runs < runs) {
    sink->order[sink->runs++] = row;
  }
  ++sink->total;
  return S_OK;
}

static const IRemoteKeySinkVtbl sinkVtbl = {SinkQueryInterface, SinkAddRef, SinkRelease, SinkOnKey};

void InitPrintingSink(PrintingSink* sink, const int64_t* start) {
  memset(sink, 0, sizeof *sink);
  sink->iface.lpVtbl = &sinkVtbl;
  sink->start = start;
  atomic_init(&sink->refCount, 1);
}

int SinkAllReleased(PrintingSink* sink) {
  return atomic_load(&sink->refCount) == 1;
}

void PrintSummary(const PrintingSink* sink) {
  for (int i = 0; i < sink->runs; ++i) {
    int row = sink->order[i];
    printf("%s%s x%d", i == 0 ? "" : ", ", row < kCardKeyCount ? CardKeyTable[row].name : "?",
           sink->counts[row]);
  }
}
