/* SPDX-License-Identifier: MIT */
/* The demo's key sink: prints each key the module reports with the
 * milliseconds since the start, and counts them for the summary. */
#ifndef PELMAR4_TOOLS_HOST_PRINTING_SINK_H
#define PELMAR4_TOOLS_HOST_PRINTING_SINK_H

#include <stdatomic.h>
#include <stdint.h>

#include "interfaces/remote_key_sink.h"
#include "keys/card_key_table.h"

typedef struct PrintingSink {
  IRemoteKeySink iface;
  const int64_t* start; /* NowMs() when the demo started the module */
  atomic_int refCount;
  int total;
  int counts[kCardKeyCount + 1]; /* by row of the key table; last: any other name */
  /* Rows in the order reported, one entry per run of the same key. */
  int order[1024];
  int runs;
} PrintingSink;

void InitPrintingSink(PrintingSink* sink, const int64_t* start);
int SinkAllReleased(PrintingSink* sink);
/* ", "-separated "Key_1 x1" items: each run of a key, with that key's count. */
void PrintSummary(const PrintingSink* sink);

#endif
