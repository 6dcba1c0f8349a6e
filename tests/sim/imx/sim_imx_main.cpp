// kv_sim_imx: the stand-in i.MX ROM serial downloader as a program, on a pseudo-terminal of its
// own, for end-to-end tests and for trying a host program by hand.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_imx_serial.h"

namespace {

using kvsim::ParseNumber;
using kvsim::ParseWord;

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

const char kHelp[] =
    "usage: kv_sim_imx [options]\n"
    "\n"
    "A stand-in i.MX ROM serial downloader (Serial Download Protocol, serial framing) on a\n"
    "pseudo-terminal. Prints \"PTY <slave path>\" once it listens and \"JUMPED 0x<address>\"\n"
    "the moment the host's JUMP_ADDRESS is taken; runs until SIGTERM or SIGINT, then prints\n"
    "\"LOADED 0x<address> <bytes>\" for every WRITE_FILE and, with --dump, writes the bytes of\n"
    "the last one to that file. A partial command followed by 200 ms of silence is dropped\n"
    "(a probe byte of another boot protocol on the same port does not upset the ROM), unless\n"
    "--keep-partial.\n"
    "\n"
    "  --dump PATH            where the last loaded image goes at the end\n"
    "  --baud-pace BAUD       take and send bytes at BAUD (10 bits per byte) instead of at once\n"
    "  --hab-closed           answer the HAB mode 0x12343412 (closed) instead of 0x56787856\n"
    "  --error-status WORD    answer to ERROR_STATUS (default 0xF0F0F0F0)\n"
    "  --register ADDR=WORD   a word that READ_REGISTER gives at ADDR (repeatable)\n"
    "\n"
    "Fault knobs:\n"
    "  --silent               send nothing at all\n"
    "  --silent-after N       answer only the first N commands, then nothing\n"
    "  --complete-status WORD the status after WRITE_FILE data (default 0x88888888)\n"
    "  --delay-ms MS          send every answer MS milliseconds late\n"
    "  --stray-after N        after N data bytes of a WRITE_FILE, send an unsolicited\n"
    "                         error answer in the middle of the transfer\n"
    "  --stray HEX            send these bytes (hexadecimal pairs) before every answer\n"
    "  --accept-limit N       stop taking bytes from the host after N bytes\n"
    "  --keep-partial         never drop a partial command: a stray byte before a command is\n"
    "                         counted into it, and every later command is off by that byte\n"
    "  --silent-unknown       answer nothing to a command of an unknown type (instead of the\n"
    "                         status 0xBAD0C0DE)\n";

bool parseHex(const char* text, kvsim::SdpBytes* bytes) {
  const size_t length = strlen(text);
  if (length == 0 || length % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < length; i += 2) {
    const std::string pair(text + i, 2);
    char* end = nullptr;
    const unsigned long value = strtoul(pair.c_str(), &end, 16);
    if (*end != 0) return false;
    bytes->push_back(static_cast<uint8_t>(value));
  }
  return true;
}

int usage(const char* problem) {
  fprintf(stderr, "kv_sim_imx: %s\n\n%s", problem, kHelp);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  kvsim::ImxSdpConfig config;
  std::string dumpPath;
  uint32_t paceBaud = 0;

  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    uint64_t number = 0;
    uint32_t word = 0;
    auto needs = [&](bool ok) {
      if (!ok) return false;
      ++i;
      return true;
    };
    if (option == "--help" || option == "-h") {
      fputs(kHelp, stdout);
      return 0;
    } else if (option == "--dump" && needs(value != nullptr)) {
      dumpPath = value;
    } else if (option == "--baud-pace" &&
               needs(value && ParseWord(value, &paceBaud) && paceBaud > 0)) {
    } else if (option == "--hab-closed") {
      config.habMode = kvsim::kSdpHabClosed;
    } else if (option == "--error-status" &&
               needs(value && ParseWord(value, &config.errorStatus))) {
    } else if (option == "--register" &&
               needs(value && strchr(value, '=') && ParseWord(strchr(value, '=') + 1, &word))) {
      uint32_t address = 0;
      if (!ParseWord(std::string(value, strchr(value, '=')).c_str(), &address))
        return usage(("bad register address in " + std::string(value)).c_str());
      config.registers[address] = word;
    } else if (option == "--keep-partial") {
      config.keepsPartialCommand = true;
    } else if (option == "--silent-unknown") {
      config.silentOnUnknown = true;
    } else if (option == "--silent") {
      config.silent = true;
    } else if (option == "--silent-after" &&
               needs(value && ParseNumber(value, &number) && number <= INT64_MAX)) {
      config.silentAfter = static_cast<int64_t>(number);
    } else if (option == "--complete-status" &&
               needs(value && ParseWord(value, &config.completeStatus))) {
    } else if (option == "--delay-ms" && needs(value && ParseWord(value, &config.answerDelayMs))) {
    } else if (option == "--stray-after" &&
               needs(value && ParseNumber(value, &number) && number <= INT64_MAX)) {
      config.strayAfterData = static_cast<int64_t>(number);
    } else if (option == "--stray" && needs(value && parseHex(value, &config.stray))) {
    } else if (option == "--accept-limit" &&
               needs(value && ParseNumber(value, &number) && number <= INT64_MAX)) {
      config.acceptLimit = static_cast<int64_t>(number);
    } else {
      return usage(("bad or incomplete option " + option).c_str());
    }
  }

  kvsim::ProgramPty pty;
  if (!kvsim::OpenProgramPty("kv_sim_imx", pty)) return kExitFailure;

  kvsim::ImxSdpSerialServer server(pty.master, config, paceBaud);
  server.setJumpHook([](uint32_t address) {
    printf("JUMPED 0x%08X\n", address);
    fflush(stdout);
  });
  if (!kvsim::ServeUntilStopped("kv_sim_imx", server, pty)) return kExitFailure;

  int status = 0;
  const std::vector<kvsim::SdpLoad> loads = server.loads();
  for (const kvsim::SdpLoad& load : loads)
    printf("LOADED 0x%08X %zu\n", load.address, load.bytes.size());
  if (!dumpPath.empty()) {
    const kvsim::SdpBytes image = loads.empty() ? kvsim::SdpBytes() : loads.back().bytes;
    if (!kvsim::WriteDump("kv_sim_imx", dumpPath, image.data(), image.size(), "the loaded image"))
      status = kExitFailure;
  }
  kvsim::CloseProgramPty(pty);
  return status;
}
