// SPDX-License-Identifier: MIT
#include "module/remote_module_base.h"
#include "remote_key.h"

void RemoteModuleBase::DispatchKey(uint32_t code) {
  if (sink == nullptr || keyCount <= 0) return;
  for (int32_t i = 0; i < keyCount; ++i) {
    const RemoteKey& row = keys[i];
    if (row.code == code) {
      sink->OnKey(row.name, row.alias);
      return;
    }
  }
}
