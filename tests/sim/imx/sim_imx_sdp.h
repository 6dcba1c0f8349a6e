// The stand-in i.MX ROM serial downloader (the published Serial Download Protocol), over
// commands and data only: a front end (the pty server or the hidapi stand-in) cuts what the
// host sends into commands and data and frames what the ROM hands back.
//
// What the ROM does:
//   - a command is 16 bytes, multi-byte fields big-endian: type twice (bytes 0-1), address
//     (2-5), format (6), count (7-10), data (11-14), reserved (15).
//   - every answer starts with the 4-byte HAB mode word, little-endian (0x56787856: open).
//       ERROR_STATUS   0x0505  HAB word, then the 4-byte error status
//       READ_REGISTER  0x0101  HAB word, then count bytes from address: loaded memory where
//                              something was written, else the register table, else zeros
//       WRITE_FILE     0x0404  takes count data bytes into memory at address, then the HAB
//                              word and the complete status 0x88888888
//       JUMP_ADDRESS   0x0B0B  HAB word, then the ROM is gone: the jump hook is called and
//                              nothing is answered any more
//     Any other command gets the HAB word and the status 0xBAD0C0DE (nothing when
//     silentOnUnknown).
//   - over a serial line the host may open with the association word 23 45 45 23, which the
//     ROM sends back.
//
// Fault knobs (ImxSdpConfig):
//   silent              nothing is ever sent
//   silentAfter         only the first that many commands are answered (and the data of the
//                       last of them); after that the ROM sends nothing
//   completeStatus      the word sent after WRITE_FILE data (a bad status when changed)
//   answerDelayMs       every answer leaves that late (counted from the end of its command)
//   strayAfterData      once that many WRITE_FILE data bytes came, the ROM sends an
//                       unsolicited HAB word and error status in the middle of the transfer
//   stray               bytes sent before every answer (garbage on the line)
//   acceptLimit         after that many bytes from the host the ROM takes nothing more: the
//                       pty server stops reading, the HID device refuses reports
//   keepsPartialCommand (serial) a partial command waits for its remaining bytes however long
//                       the line stays silent, so a stray byte before it is counted into it
//   silentOnUnknown     a command of an unknown type gets no answer at all
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kvsim {

using SdpBytes = std::vector<uint8_t>;

constexpr size_t kSdpCommandBytes = 16;
constexpr uint32_t kSdpHabOpen = 0x56787856;
constexpr uint32_t kSdpHabClosed = 0x12343412;
constexpr uint32_t kSdpComplete = 0x88888888;  // WRITE_FILE done
constexpr uint32_t kSdpAck = 0xF0F0F0F0;       // no error pending
constexpr uint32_t kSdpUnknownCommand = 0xBAD0C0DE;
constexpr uint32_t kSdpChipError = 0x33333333;  // status of the unsolicited mid-transfer answer
const std::array<uint8_t, 4> kSdpAssociation = {0x23, 0x45, 0x45, 0x23};

enum SdpCommandType : uint16_t {
  kSdpReadRegister = 0x0101,
  kSdpWriteFile = 0x0404,
  kSdpErrorStatus = 0x0505,
  kSdpJumpAddress = 0x0B0B,
};

constexpr int64_t kSdpNoLimit = -1;

struct ImxSdpConfig {
  uint32_t habMode = kSdpHabOpen;
  uint32_t errorStatus = kSdpAck;          // answer to ERROR_STATUS
  uint32_t completeStatus = kSdpComplete;  // answer after WRITE_FILE data
  std::map<uint32_t, uint32_t> registers;  // READ_REGISTER words by address
  bool silent = false;
  int64_t silentAfter = kSdpNoLimit;     // commands
  uint32_t answerDelayMs = 0;            // ms
  int64_t strayAfterData = kSdpNoLimit;  // data bytes
  SdpBytes stray;
  int64_t acceptLimit = kSdpNoLimit;  // bytes from the host
  bool keepsPartialCommand = false;
  bool silentOnUnknown = false;
};

// One part of an answer. The serial front end sends the bytes as they are; the HID front end
// sends a HAB word as input report 3 and the rest as input reports 4 of 64 data bytes.
struct SdpAnswer {
  enum class Kind { Hab, Payload, Stray };
  Kind kind = Kind::Payload;
  SdpBytes bytes;
  uint32_t delayMs = 0;  // ms after the host's last byte
};

// One WRITE_FILE as the ROM took it.
struct SdpLoad {
  uint32_t address = 0;
  SdpBytes bytes;
};

// One command as received.
struct SdpCommand {
  uint16_t type = 0;
  uint32_t address = 0;
  uint8_t format = 0;
  uint32_t count = 0;
  uint32_t data = 0;
  std::array<uint8_t, kSdpCommandBytes> raw{};
};

class ImxSdpRom {
 public:
  explicit ImxSdpRom(const ImxSdpConfig& config = ImxSdpConfig());

  // One 16-byte command; the answers are appended to out.
  void command(const uint8_t* bytes, std::vector<SdpAnswer>& out);
  // Data bytes that follow a WRITE_FILE; bytes beyond its count are dropped.
  void data(const uint8_t* bytes, size_t n, std::vector<SdpAnswer>& out);
  // The association word of a serial host.
  void associate(std::vector<SdpAnswer>& out);

  // Called from the front end once a jump was taken, with the address.
  void setJumpHook(std::function<void(uint32_t)> hook) { jumpHook_ = std::move(hook); }

  ImxSdpConfig& config() { return config_; }
  bool expectingData() const { return dataLeft_ > 0; }
  bool jumped() const { return jumped_; }
  uint32_t jumpAddress() const { return jumpAddress_; }
  const std::vector<SdpCommand>& commands() const { return commands_; }
  const std::vector<SdpLoad>& loads() const { return loads_; }
  int associations() const { return associations_; }
  // count bytes from address as the memory holds them now (zeros where nothing was loaded).
  SdpBytes memory(uint32_t address, uint32_t count) const;

 private:
  void answer(std::vector<SdpAnswer>& out, SdpAnswer::Kind kind, SdpBytes bytes);
  void status(std::vector<SdpAnswer>& out, uint32_t word);

  ImxSdpConfig config_;
  std::function<void(uint32_t)> jumpHook_;
  std::vector<SdpCommand> commands_;
  std::vector<SdpLoad> loads_;
  uint32_t dataLeft_ = 0;
  uint64_t dataSeen_ = 0;  // data bytes of the current WRITE_FILE
  bool strayed_ = false;   // the mid-transfer answer went out for this WRITE_FILE
  bool jumped_ = false;
  uint32_t jumpAddress_ = 0;
  int associations_ = 0;
};

// Little-endian bytes of a word.
SdpBytes SdpWord(uint32_t word);

}  // namespace kvsim
