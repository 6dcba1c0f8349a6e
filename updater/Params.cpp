#include "Params.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "Log.h"
#include "aDirectory.h"

const char* const APP_NAME = "Updater";
const char* const APP_NOTICE = "(Copyright Zentrova. All rights reserved.)";

#define KV_UPDATE_SERVER_HOST "update.zentrova.com"
#define KV_UPDATE_SERVER_PATH "/cgi/u"

const char* const UPDATE_SERVER_HOST = KV_UPDATE_SERVER_HOST;
const char* const UPDATE_SERVER_HTTP_URL = "http://" KV_UPDATE_SERVER_HOST KV_UPDATE_SERVER_PATH;
const char* const UPDATE_SERVER_HTTPS_URL = "https://" KV_UPDATE_SERVER_HOST KV_UPDATE_SERVER_PATH;

namespace {

constexpr const char* kProgramVersion = "2.12.4";
constexpr const char* kDefaultLogFile = "Updater.log";

constexpr int kNoValue = CSimpleOptTempl<char>::ARG_NONE;
constexpr int kValue = CSimpleOptTempl<char>::ARG_REQUIRED;

}  // namespace

const CSimpleOptTempl<char>::SOption g_rgOptions[] = {
    {OPT_COMMAND, "-B", kNoValue},
    {OPT_COMMAND, "-L", kNoValue},
    {OPT_COMMAND, "-D", kNoValue},
    {OPT_COMMAND, "-G", kNoValue},
    {OPT_COMMAND, "-I", kNoValue},
    {OPT_COMMAND, "-U", kNoValue},
    {OPT_COMMAND, "-OVERRIDE", kNoValue},
    {OPT_COMMAND, "-N", kNoValue},
    {OPT_COMMAND, "-Y", kNoValue},
    {OPT_COMMAND, "-C", kNoValue},
    {OPT_COMMAND, "-J", kNoValue},
    {OPT_HELP, "-h", kNoValue},
    {OPT_HELP, "-H", kNoValue},
    {OPT_PARAMETER, "-n", kNoValue},
    {OPT_PARAMETER, "-X", kValue},
    {OPT_PARAMETER, "-Z", kValue},
    {OPT_PARAMETER, "-m", kValue},
    {OPT_PARAMETER, "-i", kValue},
    {OPT_PARAMETER, "-b", kValue},
    {OPT_PARAMETER, "-d", kValue},
    {OPT_PARAMETER, "-t", kValue},
    {OPT_PARAMETER, "-f", kValue},
    {OPT_PARAMETER, "-r", kValue},
    {OPT_PARAMETER, "-s", kValue},
    {OPT_PARAMETER, "-o", kValue},
    {OPT_PARAMETER, "-e", kNoValue},
    {OPT_PARAMETER, "-l", kValue},
    {OPT_PARAMETER, "-k", kValue},
    {OPT_PARAMETER, "-u", kValue},
    {OPT_HELP, "--help", kNoValue},
    {OPT_HTTP, "--http", kNoValue},
    {OPT_HTTPS, "--https", kNoValue},
    {-1, nullptr, kNoValue},
};

// ---------------------------------------------------------------------------
// Digit readers

namespace {

int _digit_value(char c, uint32_t base) {
  int value = -1;
  if (c >= '0' && c <= '9')
    value = c - '0';
  else if (c >= 'a' && c <= 'f')
    value = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    value = c - 'A' + 10;
  return value >= 0 && static_cast<uint32_t>(value) < base ? value : -1;
}

uint32_t _get_digits(const char* text, char** rest, uint32_t base) {
  if (!rest) return 0;
  static char empty[] = "";
  if (!text) {
    *rest = empty;
    return 0;
  }

  // Every character must be a digit of the base; the value must fit in 32 bits.
  uint64_t value = 0;
  bool fits = true;
  const char* p = text;
  for (; *p; ++p) {
    int digit = _digit_value(*p, base);
    if (digit < 0) {
      *rest = const_cast<char*>(p);
      return 0;
    }
    if (fits) {
      value = value * base + static_cast<uint64_t>(digit);
      fits = value <= UINT32_MAX;
    }
  }
  if (!fits) {
    *rest = const_cast<char*>(text);
    return 0;
  }
  *rest = const_cast<char*>(p);
  return static_cast<uint32_t>(value);
}

}  // namespace

uint32_t _get_int_arg(const char* text, char** rest) { return _get_digits(text, rest, 10); }

uint32_t _get_hex_arg(const char* text, char** rest) { return _get_digits(text, rest, 16); }

// ---------------------------------------------------------------------------
// Parsing

namespace {

const char* const kUnprocessedFormat =
    "Invalid format for \"%s\" parameter, unprocessed characters [%s]";

void _reset_params(Parameters* params) {
  _release_params(params);
  *params = Parameters{};
  params->linkType = aLINK_TYPE_USB;
  params->baudRate = DEFAULT_BAUD_RATE;
  params->serverUrl = UPDATE_SERVER_HTTP_URL;
  params->logFile = kDefaultLogFile;
  params->ueiBytes = true;
}

std::string _program_name(int argc, char** argv) {
  if (argc < 1 || !argv || !argv[0]) return std::string();
  const char* name = argv[0];
  for (const char* p = argv[0]; *p; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  return name;
}

bool _starts_with(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

// A -d or -r value: an optional "0x" prefix, then hexadecimal digits, not 0.
bool _serial_arg(CLI_Display& display, const char* option, const char* value, const char* prefixLog,
                 const char* invalidFormat, uint32_t* serial) {
  if (value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
    Log::log(DEBUG_Updater, "%s", prefixLog);
    value += 2;
  }
  char* rest = nullptr;
  uint32_t number = _get_hex_arg(value, &rest);
  if (*rest) display.message(UpdaterDisplayInterface::ERROR, kUnprocessedFormat, option, rest);
  if (number == 0) {
    display.message(UpdaterDisplayInterface::ERROR, invalidFormat, value);
    return false;
  }
  *serial = number;
  return true;
}

// A -b or -o value: decimal digits only.
bool _decimal_arg(CLI_Display& display, const char* option, const char* value, uint32_t* number) {
  char* rest = nullptr;
  uint32_t read = _get_int_arg(value, &rest);
  if (*rest) {
    display.message(UpdaterDisplayInterface::ERROR, kUnprocessedFormat, option, rest);
    return false;
  }
  *number = read;
  return true;
}

void _debug_mask_arg(CLI_Display& display, const char* option, const char* value,
                     Parameters* params) {
  params->debugMaskGiven = true;
  bool hex = value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
  char* rest = nullptr;
  params->debugMask = static_cast<uint32_t>(strtoul(value, &rest, hex ? 16 : 10));
  if (*rest) {
    display.message(UpdaterDisplayInterface::ERROR, kUnprocessedFormat, option, rest);
    return;
  }
  Log::ActivatePackage(params->debugMask);
}

// Applies one recognised command option; false when it fails the parse.
bool _command_option(CLI_Display& display, const char* option, Parameters* params) {
  static const struct {
    const char* text;
    uint32_t bit;
  } kCommandBits[] = {
      {"-B", CMD_BUILDS}, {"-L", CMD_LOCAL_BUILDS}, {"-D", CMD_DISCOVER},    {"-G", CMD_DOWNLOAD},
      {"-I", CMD_I},      {"-U", CMD_UPDATE},       {"-N", CMD_FINGERPRINT}, {"-C", CMD_C},
      {"-J", CMD_JWT},
  };
  for (const auto& command : kCommandBits) {
    if (strcmp(option, command.text) == 0) {
      params->commands.Set(command.bit);
      return true;
    }
  }
  if (strcmp(option, "-OVERRIDE") == 0) {
    params->override = true;
    return true;
  }
  // -Y is in the table but this program has no such command.
  display.message(UpdaterDisplayInterface::ERROR, "Unhandled command: [%s]", option);
  return false;
}

// Applies one recognised parameter option; false when it fails the parse.
bool _parameter_option(CLI_Display& display, const char* option, const char* value,
                       Parameters* params) {
  switch (option[1]) {
    case 'n':
      params->networkFlag = true;
      return true;
    case 'e':
      params->echo = true;
      return true;
    case 'X':
      _debug_mask_arg(display, option, value, params);
      return true;
    case 'Z':
      params->commands.Set(CMD_Z);
      return true;
    case 'm':
      params->ueiBytes = value[0] == '1' || _starts_with(value, "true");
      return true;
    case 'i':
      params->storeDirectory = value;
      return true;
    case 'b': {
      uint32_t build = 0;
      if (!_decimal_arg(display, option, value, &build)) return false;
      params->buildText = std::to_string(build);
      return true;
    }
    case 'd':
      return _serial_arg(display, option, value, "Discarding '0x' serial number prefix\n",
                         "Invalid serial number obtained from argument [%s]",
                         &params->serialNumber);
    case 'r':
      return _serial_arg(display, option, value, "Discarding '0x' router serial number prefix\n",
                         "Invalid router serial number obtained from argument [%s]",
                         &params->routerSerialNumber);
    case 't':
      params->linkTypeGiven = true;
      if (_starts_with(value, "USB")) {
        params->linkType = aLINK_TYPE_USB;
      } else if (_starts_with(value, "TCP")) {
        params->linkType = aLINK_TYPE_TCPIP;
      } else if (_starts_with(value, "RECOVER")) {
        params->linkType = LINK_TYPE_RECOVER;
      } else {
        display.message(
            UpdaterDisplayInterface::ERROR,
            "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
            value);
        params->linkType = LINK_TYPE_NONE;
        return false;
      }
      return true;
    case 'f':
      params->birdFilePath = value;
      return true;
    case 's':
      params->serialPort = value;
      return true;
    case 'o':
      return _decimal_arg(display, option, value, &params->baudRate);
    case 'l':
      params->logMessage = value;
      return true;
    case 'k':
      params->logFile = value;
      return true;
    case 'u':
      params->serverUrl = value;
      return true;
    default:
      return true;
  }
}

}  // namespace

int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params) {
  _reset_params(params);
  params->programName = _program_name(argc, argv);
  char home[HOME_DIRECTORY_SIZE] = "";
  aDirectory_GetHomeDirectory(home, sizeof home);
  params->homeDirectory = home;

  int result = 0;
  int urlCount = 0;
  CSimpleOptTempl<char> parser(argc, argv, g_rgOptions, 0);
  while (parser.Next()) {
    // Unknown, ambiguous and value-less options are passed over without a word.
    if (parser.LastError() != CSimpleOptTempl<char>::ERR_NONE) continue;

    const char* option = parser.OptionText();
    const char* value = parser.OptionArg() ? parser.OptionArg() : "";
    bool accepted = true;
    switch (parser.OptionId()) {
      case OPT_HELP:
        params->commands.Set(CMD_HELP);
        params->help = true;
        return 0;
      case OPT_COMMAND:
        accepted = _command_option(display, option, params);
        break;
      case OPT_PARAMETER:
        if (strcmp(option, "-u") == 0) ++urlCount;
        accepted = _parameter_option(display, option, value, params);
        break;
      case OPT_HTTP:
        params->serverUrl = UPDATE_SERVER_HTTP_URL;
        ++urlCount;
        break;
      case OPT_HTTPS:
        params->serverUrl = UPDATE_SERVER_HTTPS_URL;
        ++urlCount;
        break;
      default:
        break;
    }
    if (!accepted) result = 1;
  }

  if (urlCount > 1) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "Multiple update server URLs specified. Choose one of: --https, --http, or -U "
                    "<host:port>.");
    result = 1;
  }

  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->programName.c_str());
  for (int i = 0; i < argc; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i]);

  if (result == 0) result = _validate_params(params);
  return result;
}

int _validate_params(Parameters*) { return 0; }

void _release_params(Parameters* params) {
  if (params && params->ownedBuffer) {
    free(params->ownedBuffer);
    params->ownedBuffer = nullptr;
  }
}

// ---------------------------------------------------------------------------
// Version, notice and usage

std::string _normalise_build_date(const char* compilerDate) {
  // "May  6 2026": month, day padded to two columns, year.
  char month[4] = "";
  int day = 0;
  int year = 0;
  if (!compilerDate || sscanf(compilerDate, "%3s %d %d", month, &day, &year) != 3)
    return compilerDate ? compilerDate : "";
  char text[32];
  snprintf(text, sizeof text, "%s %d %d", month, day, year);
  return text;
}

std::string _app_version_text() {
  return std::string("Version: ") + kProgramVersion + " " + _normalise_build_date(__DATE__);
}

void _display_app_version(CLI_Display& display) {
  display.message(UpdaterDisplayInterface::INFO, "%s (%s)", APP_NAME, _app_version_text().c_str());
}

void _display_notice(CLI_Display& display) {
  display.message(UpdaterDisplayInterface::INFO, "%s", APP_NOTICE);
}

namespace {

constexpr int kOptionIndent = 5;    // columns before an option's text
constexpr int kOptionColumns = 25;  // columns of an option's text
constexpr int kSampleColumns = 31;  // columns of a sample command line

std::string _spaces(size_t count) { return std::string(count, ' '); }

std::string _padded(const std::string& text, size_t columns) {
  return text.size() >= columns ? text : text + _spaces(columns - text.size());
}

// One option entry: its text, "- " and the first line, further lines under it.
void _option(std::string& out, const char* text, std::initializer_list<const char*> lines,
             bool blankAfter = false) {
  const size_t indent = kOptionIndent + kOptionColumns + 2;
  bool first = true;
  for (const char* line : lines) {
    if (first)
      out += _spaces(kOptionIndent) + _padded(text, kOptionColumns) + "- " + line + "\n";
    else
      out += _spaces(indent) + line + "\n";
    first = false;
  }
  if (blankAfter) out += "\n";
}

// One sample: the command line and its description, then a blank line. A command line
// that fills its columns stands alone, the description on the lines after it.
void _sample(std::string& out, const char* command, std::initializer_list<const char*> lines) {
  std::string text = std::string("  ") + command;
  bool first = true;
  if (text.size() >= kSampleColumns) {
    out += text + "\n";
    first = false;
  }
  for (const char* line : lines) {
    out += (first ? _padded(text, kSampleColumns) : _spaces(kSampleColumns)) + line + "\n";
    first = false;
  }
  out += "\n";
}

void _log_package_lines(std::string& out) {
  static const struct {
    const char* name;
    uint32_t bit;
  } kPackages[] = {
      {"DEBUG_Updater", DEBUG_Updater},
      {"DEBUG_History", DEBUG_History},
      {"DEBUG_Attributes", DEBUG_Attributes},
      {"DEBUG_BirdFile", DEBUG_BirdFile},
      {nullptr, 0},
      {"DEBUG_Network", DEBUG_Network},
      {"DEBUG_ServerComm", DEBUG_ServerComm},
      {nullptr, 0},
      {"DEBUG_Network", DEBUG_Network_Link},
      {"DEBUG_Network_SR", DEBUG_Network_SR},
      {"DEBUG_Network_FIRM", DEBUG_Network_FIRM},
      {nullptr, 0},
      {"DEBUG_NXPSerial", DEBUG_NXPSerial},
      {"DEBUG_NXPSerial_E", DEBUG_NXPSerial_E},
      {"DEBUG_NXPSerial_SR", DEBUG_NXPSerial_SR},
      {nullptr, 0},
      {"DEBUG_APP", DEBUG_APP},
      {nullptr, 0},
      {"DEBUG_iMXSerial", DEBUG_iMXSerial},
  };
  const size_t indent = kOptionIndent + kOptionColumns + 2;
  for (const auto& package : kPackages) {
    if (!package.name) {
      out += "\n";
      continue;
    }
    char line[64];
    snprintf(line, sizeof line, "%-20s0x%08X", package.name, package.bit);
    out += _spaces(indent) + line + "\n";
  }
}

void _full_block(std::string& out) {
  out += "  Parameters to commands:\n";
  _option(out, "-i <zentrova_directory>",
          {"Base directory of the firmware store", "[Default: ~/.zentrova ]."});
  _option(out, "-b <build number>",
          {"Firmware build number", "[Default: latest version available]."});
  _option(out, "-d <device>", {"Serial number of the device, in hexadecimal."});
  _option(out, "-t <transport type>", {"communications method [USB,TCP,RECOVER]."});
  _option(out, "-f <bird file>", {"BIRD firmware file to install."});
  _option(out, "-r <router serial>",
          {"Serial number of the router module through which",
           "the device is reached, in hexadecimal."});
  _option(out, "-s <serial port>",
          {"Serial port of a device in its bootloader,",
           "or USB for the bootloader's USB HID device."});
  _option(out, "-o <baud rate>",
          {"Serial port baud rate [Default: 115200]:",
           "2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400."},
          true);

  out += "  Commands:\n";
  _option(out, "-B", {"List the builds the Zentrova server offers for a device;", "requires -d."});
  _option(out, "-L", {"List the builds stored locally for a device; requires -d."});
  _option(out, "-D", {"Discover and list the connected devices."});
  _option(out, "-G",
          {"Gets a build file from the Zentrova server; requires -d.",
           "The latest build unless -b is given."});
  _option(out, "-U",
          {"Updates a device; requires -d. Installs the latest build",
           "unless -b is given, or the file given with -f."});
  _option(out, "-J", {"Get the feature token of a device; requires -d."});
  _option(out, "-H or -h", {"This usage information."});
  std::string http = std::string("Use the update server at ") + UPDATE_SERVER_HTTP_URL + ".";
  std::string https = std::string("Use the update server at ") + UPDATE_SERVER_HTTPS_URL + ".";
  _option(out, "--http", {http.c_str()});
  _option(out, "--https",
          {https.c_str(), "Recommended; HTTPS will be the default in the next major version."},
          true);
}

void _extended_block(std::string& out) {
  out += "  Extended Parameters:\n";
  _option(out, "-e", {"Echo; accepted, no effect."});
  _option(out, "-m",
          {"Send firmware data as UEI byte strings when the device",
           "takes them [1 or 0, Default: 1]."});
  _option(out, "-l 'log message'", {"Log message; accepted, no effect."});
  _option(out, "-k <filename>", {"Log file. Default:[APP.log]"});
  std::string server = std::string("[Default: ") + UPDATE_SERVER_HOST + ":80].";
  _option(out, "-u <host:port>", {"Host name and port of the update server", server.c_str()}, true);

  out += "  Extended Commands:\n";
  _option(out, "-I", {"Accepted, no operation."});
  _option(out, "-OVERRIDE", {"Overrides the model checks for BIRD firmware files."});
  _option(out, "-N", {"Get fingerprint from a device, requires -s"});
  _option(out, "-X <BIT_MASK>", {"Bitmask for Logging"});
  _log_package_lines(out);
  _option(out, "-C", {"Accepted, no operation."}, true);
}

void _sample_block(std::string& out) {
  out += " Sample usage:\n";
  _sample(out, "-D", {"Discover the devices connected over USB."});
  _sample(out, "-D -t USB", {"Discover the devices connected over USB."});
  _sample(out, "-D -t USB -d 0F5849A",
          {"Discover the devices connected over USB", "(discovery lists every device)."});
  _sample(out, "-G -d 40F5849A", {"Download the latest build for device 40F5849A."});
  _sample(out, "-U -d 40F5849A",
          {"Update device 40F5849A with the latest build", "stored locally."});
  _sample(out, "-G -d 40F5849A -b 99528558", {"Download build 99528558 for device 40F5849A."});
  _sample(out, "-G -U -d 40F5849A",
          {"Download the latest build for device 40F5849A", "and install it."});
  _sample(out, "-U -t RECOVER -s /dev/serial",
          {"Recover a device through its bootloader", "on the serial port /dev/serial."});

  out += " Sample usage for network discovery and updates:\n";
  _sample(out, "-D -r D272031D", {"Discover the devices on the network of router D272031D."});
  _sample(
      out, "-G -U -d 2181F0EE -r D272031D",
      {"Download the latest build for device 2181F0EE and install it", "through router D272031D."});
}

}  // namespace

std::string _usage_text(bool extended, bool full) {
  char header[512];
  snprintf(header, sizeof header,
           "\nApplication Usage:\n%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n    [-d "
           "serial_num]\n"
           "    [-t transport] [-r router_serial]\n    [-s serial_port] [-o baud_rate]\n\n"
           "  Kolvantis Update and Maintenance Application\n    -H -h or --help for full usage "
           "information.\n\n",
           APP_NAME);
  std::string out = header;
  if (full) {
    _full_block(out);
    if (extended) _extended_block(out);
    _sample_block(out);
  }
  return out;
}

void _display_usage(bool extended, bool full) {
  std::string text = _usage_text(extended, full);
  fwrite(text.data(), 1, text.size(), stderr);
}
