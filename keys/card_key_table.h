// SPDX-License-Identifier: MIT
// The card's remote: 35 keys, static and never written at run time. Usable
// from C (the demo host) and C++.
#ifndef PELMAR4_KEYS_CARD_KEY_TABLE_H
#define PELMAR4_KEYS_CARD_KEY_TABLE_H

#include "remote_key.h"

enum { kCardKeyCount = 35 };
#ifdef __cplusplus
extern "C" {
#endif
extern const RemoteKey CardKeyTable[kCardKeyCount];
#ifdef __cplusplus
}
#endif

#endif
