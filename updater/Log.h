#pragma once

#include <cstdint>
#include <cstdio>

// Package bits of the diagnostic log (the -X mask). Package 0 is always written.
enum LogPackage : uint32_t {
  DEBUG_Updater = 0x00000001,
  DEBUG_History = 0x00000002,
  DEBUG_Attributes = 0x00000004,
  DEBUG_BirdFile = 0x00000008,
  DEBUG_Network = 0x00000010,
  DEBUG_ServerComm = 0x00000020,
  DEBUG_Network_Link = 0x00000100,  // listed as "DEBUG_Network" in the usage text
  DEBUG_Network_SR = 0x00000200,
  DEBUG_Network_FIRM = 0x00000400,
  DEBUG_NXPSerial = 0x00001000,
  DEBUG_NXPSerial_E = 0x00002000,
  DEBUG_NXPSerial_SR = 0x00004000,
  DEBUG_APP = 0x00010000,
  DEBUG_iMXSerial = 0x10000000,
};

// Package-masked diagnostic log. The mask, stream and flags are set during start-up,
// before other threads exist; log() itself may be called from any thread.
class Log {
 public:
  Log() {}
  ~Log() {}

  static uint32_t package_bitmask;      // packages switched on
  static FILE* fh;                      // output stream; nothing is written while null
  static bool timestamped;              // kept for a time-stamp switch; lines carry no stamp
  static const char* TIMESTAMP_FORMAT;  // format a time stamp would use
  static const char* SEPARATOR;         // text between a time stamp and its line

  // Writes the formatted text (cut to 2047 characters, no newline added) when the
  // package is 0 or shares a bit with the mask, in one write so that lines from
  // different threads never interleave.
  static void log(uint32_t package, const char* format, ...) __attribute__((format(printf, 2, 3)));

  static void SetOutput(FILE* out);
  static void ActivatePackage(uint32_t bits);
  static void DeactivatePackage(uint32_t bits);
};
