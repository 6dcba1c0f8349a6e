#include "Log.h"

#include <cstdarg>

namespace {
constexpr size_t kLineBufferSize = 2048;  // bytes, terminator included
}

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;
const char* Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* Log::SEPARATOR = " | ";

void Log::log(uint32_t package, const char* format, ...) {
  FILE* out = fh;
  if (!out) return;
  if (package != 0 && (package & package_bitmask) == 0) return;

  char line[kLineBufferSize];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length <= 0) return;
  if (static_cast<size_t>(length) >= sizeof line) length = sizeof line - 1;

  // One call per line: the stream's lock keeps lines from threads apart.
  fwrite(line, 1, static_cast<size_t>(length), out);
}

void Log::SetOutput(FILE* out) { fh = out; }

void Log::ActivatePackage(uint32_t bits) { package_bitmask |= bits; }

void Log::DeactivatePackage(uint32_t bits) { package_bitmask &= ~bits; }
