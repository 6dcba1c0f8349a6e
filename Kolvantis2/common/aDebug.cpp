#include "aDebug.h"

#include <cstdarg>
#include <cstdio>

bool aKolvantisDebuggingEnable = false;
uint32_t aKolvantisDebuggingLevel = 0;

bool aDebug_IsOn(uint32_t bits) {
  return aKolvantisDebuggingEnable && (aKolvantisDebuggingLevel & bits) != 0;
}

void aDebug_Trace(uint32_t bits, const char* format, ...) {
  if (!aDebug_IsOn(bits) || format == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}
