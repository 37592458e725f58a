// SPDX-License-Identifier: MIT
// RemoteKey: one row of a key table. The host receives pointers to `name` and
// `alias`, so the layout is fixed: a 32-bit code, then two 32-byte NUL-terminated
// 8-bit strings (zero-filled after the terminator). Usable from C and C++.
#ifndef PELMAR4_KEYS_REMOTE_KEY_H
#define PELMAR4_KEYS_REMOTE_KEY_H

#include <assert.h>
#include <stddef.h>
#include <stdint.h>

typedef struct RemoteKey {
  uint32_t code;   // key code as the poller computes it; every code in use fits 16 bits
  char name[32];   // "Key_..." name, never empty
  char alias[32];  // shorter name, or the empty string
} RemoteKey;

static_assert(offsetof(RemoteKey, code) == 0, "code comes first");
static_assert(offsetof(RemoteKey, name) == 4, "name follows code");
static_assert(offsetof(RemoteKey, alias) == 36, "alias follows name");
static_assert(sizeof(RemoteKey) == 68, "a row is 4 + 32 + 32 bytes");

#endif
