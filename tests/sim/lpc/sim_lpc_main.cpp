// kv_sim_lpc: the stand-in LPC17xx ISP ROM as a program, on a pseudo-terminal of its own, for
// benchmarks and for trying a host program by hand.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_lpc_server.h"

namespace {

using kvsim::ParseNumber;
using kvsim::ParseWord;

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

const char kHelp[] =
    "usage: kv_sim_lpc [options]\n"
    "\n"
    "A stand-in LPC17xx ISP ROM boot loader on a pseudo-terminal. Prints \"PTY <slave path>\"\n"
    "once it listens; runs until SIGTERM or SIGINT, then writes its flash (512 KiB) to the\n"
    "--dump file and prints \"DUMPED <path>\".\n"
    "\n"
    "  --dump PATH          where the flash goes at the end\n"
    "  --baud-pace BAUD     send at BAUD (10 bits per byte) instead of at once\n"
    "  --erase-ms MS        time one sector erase takes (default 0)\n"
    "  --part-id N          answer to J (default 0x26013F37, a 512 KiB part)\n"
    "  --serial A,B,C,D     the four words of N, hexadecimal\n"
    "  --boot-version M.N   answer to K (default 4.1)\n"
    "  --echo-off           start with echo off (the parts start with echo on)\n"
    "  --flash-fill BYTE    every flash byte at the start (default 0xFF, erased)\n"
    "\n"
    "Fault knobs:\n"
    "  --silent             send nothing at all, not even echo\n"
    "  --noise N            N bytes of 0x00, CR and LF before every answer line\n"
    "  --resend N           answer the next N checksums of W data with RESEND\n"
    "  --refuse PREFIX=CODE answer command lines beginning with PREFIX with CODE (repeatable)\n"
    "  --ignore PREFIX      give command lines beginning with PREFIX no answer (repeatable)\n"
    "  --babble             send garbage bytes without end, 1 ms apart\n";

bool parseSerial(const char* text, uint32_t words[4]) {
  std::string rest = text;
  for (int k = 0; k < 4; ++k) {
    const size_t comma = rest.find(',');
    if ((k < 3) != (comma != std::string::npos)) return false;
    const std::string word = "0x" + rest.substr(0, comma);
    if (!ParseWord(word.c_str(), &words[k])) return false;
    rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
  }
  return true;
}

int usage(const char* problem) {
  fprintf(stderr, "kv_sim_lpc: %s\n\n%s", problem, kHelp);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  kvsim::LpcConfig config;
  std::string dumpPath;
  uint32_t paceBaud = 0;
  bool babble = false;

  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    uint32_t number = 0;
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
    } else if (option == "--erase-ms" &&
               needs(value && ParseWord(value, &config.eraseMsPerSector))) {
    } else if (option == "--part-id" && needs(value && ParseWord(value, &config.partId))) {
    } else if (option == "--serial" && needs(value && parseSerial(value, config.serial))) {
    } else if (option == "--boot-version" &&
               needs(value && sscanf(value, "%u.%u", &config.bootMajor, &config.bootMinor) == 2)) {
    } else if (option == "--flash-fill" &&
               needs(value && ParseWord(value, &number) && number <= 0xFF)) {
      config.flashFill = static_cast<uint8_t>(number);
    } else if (option == "--echo-off") {
      config.echo = false;
    } else if (option == "--silent") {
      config.silent = true;
    } else if (option == "--noise" && needs(value && ParseWord(value, &number))) {
      config.noise = number;
    } else if (option == "--resend" && needs(value && ParseWord(value, &number))) {
      config.resend = static_cast<int>(number);
    } else if (option == "--refuse" &&
               needs(value && strchr(value, '=') && ParseWord(strchr(value, '=') + 1, &number))) {
      config.refuse.emplace_back(std::string(value, strchr(value, '=')), static_cast<int>(number));
    } else if (option == "--ignore" && needs(value != nullptr)) {
      config.ignore.push_back(value);
    } else if (option == "--babble") {
      babble = true;
    } else {
      return usage(("bad or incomplete option " + option).c_str());
    }
  }

  kvsim::ProgramPty pty;
  if (!kvsim::OpenProgramPty("kv_sim_lpc", pty)) return kExitFailure;

  kvsim::LpcIspServer server(pty.master, config, paceBaud);
  server.setBabble(babble);
  if (!kvsim::ServeUntilStopped("kv_sim_lpc", server, pty)) return kExitFailure;

  int status = 0;
  if (!dumpPath.empty()) {
    const kvsim::LpcBytes flash = server.flash();
    if (!kvsim::WriteDump("kv_sim_lpc", dumpPath, flash.data(), flash.size(), "the flash"))
      status = kExitFailure;
  }
  kvsim::CloseProgramPty(pty);
  return status;
}
