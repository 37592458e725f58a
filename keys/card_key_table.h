// SPDX-License-Identifier: MIT
// The card's remote: 35 keys, static and never written at run time.
#ifndef PELMAR4_KEYS_CARD_KEY_TABLE_H
#define PELMAR4_KEYS_CARD_KEY_TABLE_H

#include <stdint.h>

#include "remote_key.h"

constexpr int32_t kCardKeyCount = 35;
extern const RemoteKey CardKeyTable[kCardKeyCount];

#endif
