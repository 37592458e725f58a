// SPDX-License-Identifier: MIT
#include "log_message.h"

#include <stdarg.h>
#include <stdio.h>

void LogMessage(const char* format, ...) {
  FILE* file = fopen("MXDRemote.log", "a+t");
  if (file == nullptr) return;
  va_list args;
  va_start(args, format);
  vfprintf(file, format, args);
  va_end(args);
  fclose(file);
}
