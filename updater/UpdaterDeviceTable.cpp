// The device table of -D: one line per discovered module, in the form of its link type.

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Updater.h"
#include "aDefs.h"

namespace {

constexpr size_t DEVICE_NAME_SHOWN = 32;  // bytes of a device name the table shows at most
constexpr char UNPRINTABLE = '?';         // stands in for each byte a terminal must not get

const char* _link_type_label(linkType type) {
  switch (type) {
    case aLINK_TYPE_USB:
      return "USB";
    case aLINK_TYPE_TCPIP:
      return "TCPIP";
    default:
      return "Unknown";
  }
}

// Length of the well-formed UTF-8 sequence at text[at] that names a printable character,
// or 0 when the byte there starts none (a control character, a stray continuation byte,
// an overlong or cut-off sequence, a surrogate, a C1 control).
size_t _printable_sequence(const std::string& text, size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x20 || lead == 0x7F) return 0;
  if (lead < 0x80) return 1;

  size_t length = 0;
  uint32_t code = 0;
  uint32_t least = 0;  // smallest code point this length may carry
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1Fu, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0Fu, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07u, least = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3Fu);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  if (code >= 0x80 && code <= 0x9F) return 0;
  return length;
}

// The name as the table shows it: up to its first NUL, at most 32 bytes, every byte that
// could steer the terminal (control characters, broken UTF-8) replaced.
std::string _printable_name(const std::string& name) {
  std::string shown = name.substr(0, name.find('\0'));
  if (shown.size() > DEVICE_NAME_SHOWN) shown.resize(DEVICE_NAME_SHOWN);
  std::string out;
  out.reserve(shown.size());
  for (size_t at = 0; at < shown.size();) {
    size_t length = _printable_sequence(shown, at);
    if (length == 0) {
      out += UNPRINTABLE;
      ++at;
    } else {
      out.append(shown, at, length);
      at += length;
    }
  }
  return out;
}

}  // namespace

void _display_device_list(CLI_Display& display, std::vector<DeviceInfo>& list, linkType type) {
  display.message(UpdaterDisplayInterface::INFO, "Discovered Devices: (%s)",
                  _link_type_label(type));
  if (list.empty()) {
    display.message(UpdaterDisplayInterface::INFO, "    No devices found.");
    return;
  }

  if (type == aLINK_TYPE_USB)
    display.message(
        UpdaterDisplayInterface::INFO,
        "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
  else
    display.message(UpdaterDisplayInterface::INFO,
                    "    Device    Module   Router  Model          Firmware "
                    "Version (Build)   [IP address]       Device Name");

  for (const DeviceInfo& info : list) {
    const linkSpec& spec = info.spec;
    const std::string name = _printable_name(info.deviceName);
    if (spec.type == aLINK_TYPE_TCPIP) {
      // The address is in network order: its first byte is the first octet.
      const uint8_t* octet = reinterpret_cast<const uint8_t*>(&spec.address);
      char address[sizeof "[255.255.255.255]"];
      snprintf(address, sizeof address, "[%u.%u.%u.%u]", octet[0], octet[1], octet[2], octet[3]);
      display.message(UpdaterDisplayInterface::INFO,
                      "    %08" PRIX32 "  %02" PRIX32 "       %02" PRIX32
                      "      %-12s %3u.%u.%" PRIu32 " (%10" PRIu32 ")        %-17s  %s",
                      spec.serialNumber, spec.module, spec.router, aDefs_GetModelName(spec.model),
                      unsigned{info.major}, unsigned{info.minor}, info.patch, info.build, address,
                      name.c_str());
    } else if (info.error != 0) {
      display.message(UpdaterDisplayInterface::INFO,
                      "    %08" PRIX32 "  [Error (%" PRId32
                      "): Device in use. Close all other Zentrova associated applications.]",
                      spec.serialNumber, info.error);
    } else {
      display.message(UpdaterDisplayInterface::INFO,
                      "    %08" PRIX32 "  %02" PRIX32 "       %02" PRIX32
                      "      %-12s %3u.%u.%" PRIu32 " (%10" PRIu32 ")         %s",
                      spec.serialNumber, spec.module, spec.router, aDefs_GetModelName(spec.model),
                      unsigned{info.major}, unsigned{info.minor}, info.patch, info.build,
                      name.c_str());
    }
  }
}
