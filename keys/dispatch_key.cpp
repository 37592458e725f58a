// SPDX-License-Identifier: MIT
#include "module/remote_module_base.h"
#include "remote_key.h"

void RemoteModuleBase::DispatchKey(uint32_t code) {
  IRemoteKeySink* to = sink.Get();
  if (to == nullptr || keyCount <= 0) return;
  for (int32_t i = 0; i < keyCount; ++i) {
    const RemoteKey& row = keys[i];
    if (row.code == code) {
      to->OnKey(row.name, row.alias);
      return;
    }
  }
}
