#include "UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

namespace {
constexpr size_t kMessageBufferSize = 2048;  // bytes, terminator included
}

UpdaterDisplayInterface::UpdaterDisplayInterface() : muted(false) {}

void UpdaterDisplayInterface::mute_messages(bool on) { muted = on; }

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
  if (muted) return;

  char text[kMessageBufferSize];
  va_list args;
  va_start(args, format);
  int written = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (written < 0) text[0] = '\0';

  if (level == ERROR)
    error_message(text);
  else
    info_message(text);
}
