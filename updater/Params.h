#pragma once

// The program's settings record, its option table and the parsing of the command line,
// with the version, notice and usage texts.

#include <cstdint>
#include <string>

#include "CLI_Display.h"
#include "aDiscovery.h"
#include "SimpleOpt.h"

// Command bits of a run.
enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x00000001,      // -D: discover and list modules
  CMD_UPDATE = 0x00000002,        // -U: update (or recover) a module
  CMD_BUILDS = 0x00000004,        // -B: the update server's builds for a module
  CMD_DOWNLOAD = 0x00000008,      // -G: download a build into the store
  CMD_I = 0x00000010,             // -I: no operation
  CMD_C = 0x00000020,             // -C: no operation
  CMD_FINGERPRINT = 0x00000040,   // -N: read a chip's fingerprint
  CMD_Z = 0x00000080,             // -Z: no operation
  CMD_JWT = 0x00000100,           // -J: a module's feature token
  CMD_LOCAL_BUILDS = 0x00000200,  // -L: the builds in a module's store directory
  CMD_HELP = 0x80000000,          // -h, -H, --help
  CMD_ANY = 0x000307FF,           // a run has a command when one of these is set
};

class CommandsClass {
 public:
  void Set(uint32_t bits) { bits_ |= bits; }
  // True when the set shares at least one bit with the argument.
  bool IsSet(uint32_t bits) const { return (bits_ & bits) != 0; }

 private:
  uint32_t bits_ = 0;
};

// Link types the -t option chooses: aLINK_TYPE_USB or aLINK_TYPE_TCPIP, or these.
constexpr uint32_t LINK_TYPE_NONE = 0;       // after a refused -t value
constexpr uint32_t LINK_TYPE_RECOVER = 255;  // recovery through the chip's ROM bootloader

constexpr uint32_t DEFAULT_BAUD_RATE = 115200;
constexpr size_t HOME_DIRECTORY_SIZE = 2048;  // bytes, terminator included

// Host of the update server and the URLs built on it.
extern const char* const UPDATE_SERVER_HOST;
extern const char* const UPDATE_SERVER_HTTP_URL;
extern const char* const UPDATE_SERVER_HTTPS_URL;

// Everything one run is told on its command line. Constructed empty; _get_params
// gives every field its default before it applies the options.
struct Parameters {
  CommandsClass commands;
  uint32_t serialNumber = 0;        // -d; 0 for none
  uint32_t routerSerialNumber = 0;  // -r; 0 for none
  uint32_t linkType = 0;            // -t: LINK_TYPE_*
  bool linkTypeGiven = false;
  std::string serialPort;       // -s: a device path, or "USB" for the i.MX HID transport
  uint32_t baudRate = 0;        // -o
  uint8_t moduleAddress = 0;    // no option; the update is given 0
  std::string birdFilePath;     // -f
  std::string logMessage;       // -l; kept, nothing uses it
  std::string buildText;        // -b as decimal text; replaced by a successful -G
  bool echo = false;            // -e; kept, nothing uses it
  std::string serverUrl;        // --http, --https, -u
  bool networkFlag = false;     // -n; kept, nothing uses it
  std::string storeDirectory;   // -i
  std::string programName;      // argv[0] after its last slash or backslash
  std::string homeDirectory;    // read when parsing starts; nothing uses it
  std::string logFile;          // -k; kept, nothing uses it
  char* ownedBuffer = nullptr;  // freed by _release_params when set
  bool override = false;        // -OVERRIDE
  bool ueiBytes = false;        // -m
  uint32_t debugMask = 0;       // -X
  bool debugMaskGiven = false;
  bool help = false;  // -h, -H, --help
};

// Option ids of the table.
enum OptionId {
  OPT_HELP = 0,
  OPT_COMMAND = 1,
  OPT_PARAMETER = 2,
  OPT_HTTPS = 3,
  OPT_HTTP = 4,
};

extern const CSimpleOptTempl<char>::SOption g_rgOptions[];

// Parses the command line into the record: 0 when it was accepted, 1 when not.
// Error messages are shown as they are found. The word list is reordered (options
// and their values first, plain words after them) and words are cut at their "=".
int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params);

// Final consistency check of a parsed record: 0.
int _validate_params(Parameters* params);

// Frees what the record owns.
void _release_params(Parameters* params);

// Digit readers: the value of text made only of decimal (hexadecimal) digits, with
// *rest set to the empty end of the text. Text holding any other character gives 0
// with *rest at its first character that is not a digit; a value that does not fit in
// 32 bits gives 0 with *rest at the start of the text. Without a rest pointer: 0.
uint32_t _get_int_arg(const char* text, char** rest);
uint32_t _get_hex_arg(const char* text, char** rest);

// "Mmm dd yyyy" as the compiler writes a date (day padded with a space) to
// "Mmm d yyyy".
std::string _normalise_build_date(const char* compilerDate);

// "Version: 2.12.4 " and the program's build date.
std::string _app_version_text();

extern const char* const APP_NAME;
extern const char* const APP_NOTICE;

// The version line, "Updater (Version: ...)", at information level.
void _display_app_version(CLI_Display& display);

// The notice line at information level.
void _display_notice(CLI_Display& display);

// The usage text: the header always, then with full the full block, the extended
// block when extended is set as well, and the sample block.
std::string _usage_text(bool extended, bool full);

// The usage text on standard error.
void _display_usage(bool extended, bool full);
