// The stand-in LPC17xx ISP ROM boot loader, over bytes only: a front end feeds it what the
// host sends, one byte at a time, and sends what it hands back.
//
// What the chip does (the published ISP protocol of the LPC17xx parts):
//   - autobaud: a "?" is answered with "Synchronized\r\n"; the host's "Synchronized\r\n" with
//     "OK\r\n"; then the crystal frequency line (kHz, decimal) with "OK\r\n". Other bytes
//     before the "?" are ignored; a wrong line goes back to waiting for a "?".
//   - echo: from the synchronisation line on, every byte received is sent back while echo is
//     on (on after reset; the A command changes it).
//   - commands: one line each, ended by "\r\n" (a lone "\n" also ends it), answered with a
//     decimal return code and "\r\n" (0 CMD_SUCCESS ... 19 CODE_READ_PROTECTION_ENABLED):
//       U 23130             unlock the flash commands (E, C, G)
//       A 0|1               echo off or on
//       B baud stop         accepted for the usual rates; the line speed is not changed
//       J                   part identifier, one decimal line
//       K                   boot code version, two decimal lines (major, minor)
//       N                   device serial number, four decimal lines
//       P first last        prepare sectors for E or C (0 to 29)
//       E first last        erase prepared sectors; each sector takes eraseMsPerSector
//       W addr count        count bytes (multiple of 4) into RAM at addr (word aligned):
//                           uuencoded lines, a decimal checksum of the bytes of up to 20
//                           lines, answered "OK\r\n" (stored) or "RESEND\r\n" (dropped)
//       R addr count        count bytes of flash or RAM as uuencoded lines of 45 bytes, a
//                           checksum after each 20 lines; the host answers OK or RESEND
//       C flash ram count   copy RAM into the flash: flash address on 256 bytes, count 256,
//                           512, 1024 or 4096, the sectors prepared; flash bits only go from
//                           1 to 0 (new = old AND data)
//       G addr T            start the code at addr: answered, then the chip is "running" and
//                           ignores everything
//     A successful E or C leaves every sector unprepared again.
//   - memory: flash 512 KiB (30 sectors: 16 of 4 KiB, 14 of 32 KiB), erased (0xFF) at the
//     start unless flashFill says otherwise (old firmware); RAM 0x10000000-0x10007FFF and
//     0x2007C000-0x20083FFF, zeros at the start.
//
// Fault knobs (LpcConfig):
//   silent               nothing is ever sent: no answers, no echo
//   noise N              N bytes of 0x00, "\r" and "\n" go out before every answer line
//   resend N             the next N checksums of W data are answered "RESEND\r\n"
//   refuse PREFIX=CODE   a command line beginning with PREFIX is answered with CODE and
//                        not carried out
//   ignore PREFIX        a command line beginning with PREFIX gets no answer at all
//   eraseMsPerSector     the E answer is held back that long per sector; the chip takes no
//                        input meanwhile
// Endless garbage ("babble") and pacing at a baud rate are the front end's (LpcIspServer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kvsim {

using LpcBytes = std::vector<uint8_t>;

constexpr uint32_t kLpcFlashSize = 0x80000;  // bytes
constexpr int kLpcSectorCount = 30;
constexpr uint32_t kLpcUnlockCode = 23130;
constexpr uint32_t kLpcDefaultPartId = 0x26013F37;  // a 512 KiB LPC17xx part
constexpr size_t kLpcMaxLine = 1024;                // longer lines are cut (and then refused)
constexpr int kLpcLinesPerChecksum = 20;
constexpr uint32_t kLpcBytesPerLine = 45;

// ISP return codes the stand-in gives.
enum LpcReturnCode : int {
  kLpcSuccess = 0,
  kLpcInvalidCommand = 1,
  kLpcSrcAddrError = 2,
  kLpcDstAddrError = 3,
  kLpcSrcAddrNotMapped = 4,
  kLpcDstAddrNotMapped = 5,
  kLpcCountError = 6,
  kLpcInvalidSector = 7,
  kLpcSectorNotPrepared = 9,
  kLpcParamError = 12,
  kLpcAddrError = 13,
  kLpcAddrNotMapped = 14,
  kLpcCmdLocked = 15,
  kLpcInvalidCode = 16,
  kLpcInvalidBaudRate = 17,
  kLpcInvalidStopBit = 18,
};

struct LpcConfig {
  bool echo = true;                                                       // echo after reset
  uint32_t partId = kLpcDefaultPartId;                                    // J
  uint32_t serial[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};  // N
  uint32_t bootMajor = 4, bootMinor = 1;                                  // K
  uint32_t eraseMsPerSector = 0;                                          // ms
  uint8_t flashFill = 0xFF;  // every flash byte at the start
  bool silent = false;
  size_t noise = 0;
  int resend = 0;
  std::vector<std::pair<std::string, int>> refuse;
  std::vector<std::string> ignore;
};

// Bytes to send, after the chip worked delayMs on them (counted from when they were made).
struct LpcOutput {
  uint32_t delayMs = 0;
  LpcBytes bytes;
};

class LpcIspRom {
 public:
  explicit LpcIspRom(const LpcConfig& config = LpcConfig());

  // One byte from the host; what the chip sends in return is appended to out, in order.
  void receive(uint8_t byte, std::vector<LpcOutput>& out);

  LpcConfig& config() { return config_; }
  const LpcBytes& flash() const { return flash_; }
  bool echo() const { return echo_; }
  bool synchronized() const {
    return state_ != State::Autobaud && state_ != State::SyncLine && state_ != State::Crystal;
  }
  bool running() const { return state_ == State::Running; }
  uint32_t startAddress() const { return startAddress_; }
  // Every command line received in command mode, without its line end.
  const std::vector<std::string>& commands() const { return commands_; }
  // Checksum lines of W data answered RESEND so far.
  int resendsSent() const { return resendsSent_; }

 private:
  enum class State { Autobaud, SyncLine, Crystal, Command, WriteData, ReadAck, Running };

  void line(std::vector<LpcOutput>& out);
  void command(const std::string& text, std::vector<LpcOutput>& out);
  void writeDataLine(const std::string& text, std::vector<LpcOutput>& out);
  void readAck(const std::string& text, std::vector<LpcOutput>& out);
  void sendReadBlock(std::vector<LpcOutput>& out);
  // Appends the answer line (noise first), to go out after delayMs.
  void answer(std::vector<LpcOutput>& out, const std::string& text, uint32_t delayMs = 0);
  void returnCode(std::vector<LpcOutput>& out, int code, uint32_t delayMs = 0);

  int unlock(const std::vector<std::string>& args);
  int prepare(const std::vector<std::string>& args);
  int erase(const std::vector<std::string>& args, uint32_t* delayMs);
  int copy(const std::vector<std::string>& args);
  // The byte at a mapped address (flash or RAM), or null.
  uint8_t* memoryAt(uint32_t address, uint32_t count, bool flashAllowed, bool ramAllowed);

  LpcConfig config_;
  State state_ = State::Autobaud;
  bool echo_;
  bool unlocked_ = false;
  bool prepared_[kLpcSectorCount] = {};
  std::string line_;
  LpcBytes flash_;
  LpcBytes localRam_;
  LpcBytes ahbRam_;
  std::vector<std::string> commands_;
  uint32_t startAddress_ = 0;
  int resendsSent_ = 0;

  // W in progress.
  uint32_t writeAddress_ = 0;
  uint32_t writeCount_ = 0;
  uint32_t writeDone_ = 0;  // bytes stored after accepted checksums
  LpcBytes writePending_;   // bytes since the last accepted checksum
  int writeLines_ = 0;      // data lines since the last checksum
  // R in progress.
  uint32_t readAddress_ = 0;
  uint32_t readCount_ = 0;
  uint32_t readDone_ = 0;   // bytes the host accepted
  uint32_t readBlock_ = 0;  // bytes in the block last sent
};

// uuencoding as the ISP data lines use it: a length character, then four characters per three
// bytes, each (six bits) + 0x20 with the grave accent for 0.
std::string LpcUuencode(const uint8_t* data, size_t count);
// Decodes one line (without its line end); the bytes the line holds, at most as many as its
// length character announces.
LpcBytes LpcUudecode(const std::string& line);

}  // namespace kvsim
