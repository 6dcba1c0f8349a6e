// Writes a BIRD firmware file for tests; blocks go into the file in the order of the options.
// Run with --help for the options and fault knobs.

#include "bird_gen.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kLyingLengthExtra = 1000;         // bytes a lying length claims beyond the truth
constexpr size_t kOversizeImageBytes = 1024 * 1024;  // zero bytes of the oversize-ratio file
constexpr size_t kNonZlibBodyBytes = 64;
constexpr size_t kShortBlockBytes = 2;  // data bytes of the short firmware block

const char kUsage[] =
    "usage: kv_bird_gen_tool [options] OUTPUT\n"
    "Writes a BIRD firmware file; blocks appear in the order of their options.\n"
    "\n"
    "blocks:\n"
    "  --loader ADDR:SIZE[:FLAGS]      loader block, SIZE filler bytes at ADDR\n"
    "  --loader ADDR:@FILE[:FLAGS]     loader block, image read from FILE\n"
    "  --firmware ADDR:SIZE[:FLAGS]    firmware block (same forms as --loader)\n"
    "  --offsets SERIAL_OFF:DESC_OFF   personalisation offsets (image addresses, 0 for none)\n"
    "  --descriptor BUILD,VERSION,SERIAL,MODEL\n"
    "                                  descriptor; SERIAL as 8 hexadecimal digits\n"
    "  --start-address ADDR            recovery loader start address\n"
    "  --raw TYPE:HEXBYTES             a block of any type (0-31) with these data bytes\n"
    "\n"
    "contents:\n"
    "  --fingerprint W0,W1,W2,W3       encode the firmware images that follow for this chip\n"
    "  --seed N                        seed of the filler bytes (default 1)\n"
    "  --count N                       reported block count (default: the true count)\n"
    "  --checksum WORD                 trailing checksum word (default: CRC-32 of the data)\n"
    "  --format WORD                   format word (default 0x0101)\n"
    "\n"
    "fault knobs (--fault NAME, repeatable):\n"
    "  truncated       cut the file to half its length\n"
    "  non-zlib        replace the body with bytes that are no zlib stream\n"
    "  lying-length    the last block's length claims 1000 bytes more than it has\n"
    "  short-firmware  append a firmware block of 2 data bytes\n"
    "  wrong-count     report one block more than the file holds\n"
    "  no-checksum     leave the checksum word out\n"
    "  oversize-ratio  write a file whose body inflates to more than 8 times its size\n"
    "\n"
    "Numbers take decimal or 0x-prefixed hexadecimal.\n";

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "kv_bird_gen_tool: %s\n", message.c_str());
  std::exit(2);
}

uint32_t Number(const std::string& text, const char* what) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0 || value > 0xFFFFFFFFull)
    Fail(std::string("bad ") + what + " '" + text + "'");
  return static_cast<uint32_t>(value);
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

birdgen::Bytes ReadImage(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot read image file '" + path + "'");
  return birdgen::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

birdgen::Bytes HexBytes(const std::string& text) {
  if (text.size() % 2 != 0) Fail("odd number of hexadecimal digits in '" + text + "'");
  birdgen::Bytes out;
  for (size_t i = 0; i < text.size(); i += 2)
    out.push_back(static_cast<uint8_t>(Number("0x" + text.substr(i, 2), "hexadecimal byte")));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  birdgen::Builder builder;
  std::vector<std::string> faults;
  std::string output;
  uint32_t seed = 1;
  bool encode = false;
  uint32_t fingerprint[4] = {};

  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (option.rfind("--", 0) != 0) {
      if (!output.empty()) Fail("more than one output file given");
      output = option;
      continue;
    }
    if (i + 1 >= argc) Fail("option " + option + " needs a value");
    const std::string value = argv[++i];

    if (option == "--loader" || option == "--firmware") {
      const std::vector<std::string> parts = Split(value, ':');
      if (parts.size() < 2 || parts.size() > 3) Fail(option + " takes ADDR:SIZE[:FLAGS]");
      const uint32_t address = Number(parts[0], "address");
      birdgen::Bytes image = parts[1].rfind("@", 0) == 0
                                 ? ReadImage(parts[1].substr(1))
                                 : birdgen::PatternBytes(Number(parts[1], "size"), seed++);
      const uint8_t flags = parts.size() == 3 ? static_cast<uint8_t>(Number(parts[2], "flags")) : 0;
      if (flags > 7) Fail("flags must be 0-7");
      if (option == "--loader")
        builder.loader(address, image, flags);
      else if (encode)
        builder.encodedFirmware(address, image, fingerprint, flags);
      else
        builder.firmware(address, image, flags);
    } else if (option == "--offsets") {
      const std::vector<std::string> parts = Split(value, ':');
      if (parts.size() != 2) Fail("--offsets takes SERIAL_OFF:DESC_OFF");
      builder.offsets(Number(parts[0], "offset"), Number(parts[1], "offset"));
    } else if (option == "--descriptor") {
      const std::vector<std::string> parts = Split(value, ',');
      if (parts.size() != 4) Fail("--descriptor takes BUILD,VERSION,SERIAL,MODEL");
      builder.descriptor({parts[0], parts[1], parts[2], parts[3]});
    } else if (option == "--start-address") {
      builder.startAddress(Number(value, "address"));
    } else if (option == "--raw") {
      const std::vector<std::string> parts = Split(value, ':');
      if (parts.empty() || parts.size() > 2) Fail("--raw takes TYPE:HEXBYTES");
      const uint32_t type = Number(parts[0], "type");
      if (type > 31) Fail("block types are 0-31");
      builder.raw(static_cast<uint8_t>(type),
                  parts.size() == 2 ? HexBytes(parts[1]) : birdgen::Bytes());
    } else if (option == "--fingerprint") {
      const std::vector<std::string> parts = Split(value, ',');
      if (parts.size() != 4) Fail("--fingerprint takes four words");
      for (size_t w = 0; w < 4; ++w) fingerprint[w] = Number(parts[w], "fingerprint word");
      encode = true;
    } else if (option == "--seed") {
      seed = Number(value, "seed");
    } else if (option == "--count") {
      builder.reportedCount(Number(value, "count"));
    } else if (option == "--checksum") {
      builder.checksum(Number(value, "checksum"));
    } else if (option == "--format") {
      builder.formatWord(static_cast<uint16_t>(Number(value, "format word")));
    } else if (option == "--fault") {
      faults.push_back(value);
    } else {
      Fail("unknown option " + option + " (see --help)");
    }
  }
  if (output.empty()) Fail("no output file given (see --help)");

  bool truncate = false;
  bool nonZlib = false;
  bool oversize = false;
  for (const std::string& fault : faults) {
    if (fault == "truncated") {
      truncate = true;
    } else if (fault == "non-zlib") {
      nonZlib = true;
    } else if (fault == "lying-length") {
      if (builder.blocks().empty()) Fail("lying-length needs a block");
      const size_t last = builder.blocks().size() - 1;
      builder.lyingLength(
          last, static_cast<uint32_t>(builder.blocks()[last].data.size()) + kLyingLengthExtra);
    } else if (fault == "short-firmware") {
      builder.raw(birdgen::kFirmware, birdgen::Bytes(kShortBlockBytes, 0));
    } else if (fault == "wrong-count") {
      builder.reportedCount(static_cast<uint32_t>(builder.blocks().size()) + 1);
    } else if (fault == "no-checksum") {
      builder.withoutChecksum();
    } else if (fault == "oversize-ratio") {
      oversize = true;
    } else {
      Fail("unknown fault '" + fault + "' (see --help)");
    }
  }

  birdgen::Bytes file = oversize  ? birdgen::OversizeRatioFile(kOversizeImageBytes)
                        : nonZlib ? birdgen::NonZlibBody(kNonZlibBodyBytes, seed)
                                  : builder.file();
  if (truncate) file = birdgen::Truncated(file, file.size() / 2);
  if (!birdgen::WriteFile(output, file))
    Fail("cannot write '" + output + "': " + std::strerror(errno));
  return 0;
}
