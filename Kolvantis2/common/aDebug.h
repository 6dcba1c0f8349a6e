// Trace switches of the device library. Traces go to standard output only when
// aKolvantisDebuggingEnable is set and the trace's bit is set in aKolvantisDebuggingLevel.
// Both are off by default; the program itself never sets them.
#pragma once

#include <cstdint>

extern bool aKolvantisDebuggingEnable;
extern uint32_t aKolvantisDebuggingLevel;

// Bits of aKolvantisDebuggingLevel.
#define aDEBUG_LINK 0x1u           // link lifecycle and sync
#define aDEBUG_PACKET 0x2u         // packet traffic and heartbeat
#define aDEBUG_BROKER 0x4u         // sharing broker
#define aDEBUG_MULTICAST 0x8u      // multicast socket
#define aDEBUG_DISCOVERY 0x10u     // discovery
#define aDEBUG_CLIENTSTREAM 0x20u  // broker client stream
#define aDEBUG_MODULE 0x40u        // module
#define aDEBUG_BEACON 0x200u       // beacon interface
#define aDEBUG_USB 0x400u          // USB driver

// True when tracing is on and any of bits is selected.
bool aDebug_IsOn(uint32_t bits);

// Prints the formatted text to standard output and flushes it, when aDebug_IsOn(bits).
void aDebug_Trace(uint32_t bits, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Same as aDebug_Trace, but the arguments are not evaluated while the trace is off.
#define aTRACE(bits, ...)                                     \
  do {                                                        \
    if (aDebug_IsOn(bits)) aDebug_Trace((bits), __VA_ARGS__); \
  } while (0)
