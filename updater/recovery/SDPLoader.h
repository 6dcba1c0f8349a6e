#pragma once

// Host side of the Serial Download Protocol of the i.MX ROM boot loader: fixed 16-byte
// commands (sent as 17-byte reports, report ID first), image data in reports of up to 1024
// bytes after a write command, and answers made of a 4-byte HAB mode word and a 4-byte status
// word. Used to load the recovery loader into the chip's RAM and start it.
//
// SDPLoader builds the commands and judges the answers; the transport behind
// SDPLoader_Interface (HID_SDPLoader over USB HID, Serial_SDPLoader over a serial port) moves
// the bytes and knows where the status word sits in its own framing. Every wait is bounded:
// a silent, slow or babbling chip ends each call with a result code, never a hang.
//
// Main thread only. Diagnostics go to Log::log under DEBUG_iMXSerial.

#include <cstdint>
#include <vector>

// Shared by the client, its transports and the recovery step.
constexpr uint8_t MAX_COMMAND_BYTES = 17;   // a command report: report ID and the 16-byte command
constexpr uint16_t MAX_READ_BYTES = 65;     // one HID input report: report ID and 64 bytes
constexpr uint16_t MAX_WRITE_BYTES = 1024;  // image bytes per data report

namespace IMX1050 {
constexpr uint16_t VID = 0x1FC9;  // USB vendor id of the ROM's HID device
constexpr uint16_t PID = 0x0130;  // its product id
constexpr uint32_t DEFAULT_IMX_LOADER_IVT_ADDRESS =
    0x20000400;                                      // loader start when the file names none
constexpr uint32_t OCOTP_BASE_ADDRESS = 0x401F4000;  // the fuse block
constexpr uint32_t CFG0_OFFSET = 0x410;              // low word of the chip's unique id
constexpr uint32_t CFG1_OFFSET = 0x420;              // its high word
}  // namespace IMX1050

// Result codes of SDPLoader.
enum SDPResult : uint8_t {
  SDP_SUCCESS = 0,
  SDP_NO_TRANSPORT = 1,
  SDP_NO_ANSWER = 2,     // the chip did not answer the status command
  SDP_INTERRUPTED = 3,   // the chip sent data in the middle of a transfer
  SDP_BAD_STATUS = 4,    // the final status was missing or not the completion status
  SDP_WRITE_FAILED = 5,  // the transport could not send a report
  SDP_OPEN_FAILED = 6,
  SDP_BAD_ANSWER = 7,  // an answer that does not parse
};

// A transport of the protocol. Reports start with their report ID.
class SDPLoader_Interface {
 public:
  SDPLoader_Interface() {}
  virtual ~SDPLoader_Interface() {}

  // Opens the transport; true when it is ready.
  virtual bool init() = 0;
  // Sends one report; the count the transport reports, 0 or negative when it failed.
  virtual long writeData(const std::vector<uint8_t>& report) = 0;
  // Appends what the device sends, waiting up to timeoutMs as the transport defines it
  // (0: do not wait); the number of bytes appended.
  virtual long readData(std::vector<uint8_t>& out, unsigned int timeoutMs) = 0;
  // When the answer is complete in the transport's framing and offset is at most 15, ORs the
  // little-endian status word, shifted by offset bytes, into value and returns true;
  // otherwise false and value untouched.
  virtual bool getDataFromBuffer(const std::vector<uint8_t>& answer, unsigned int offset,
                                 unsigned int& value) = 0;
};

class SDPLoader {
 public:
  static constexpr uint32_t COMPLETE_STATUS = 0x88888888;  // a WRITE_FILE went through
  static constexpr uint32_t ACK_STATUS = 0xF0F0F0F0;

  SDPLoader();
  ~SDPLoader();
  SDPLoader(const SDPLoader&) = delete;
  SDPLoader& operator=(const SDPLoader&) = delete;

  // Takes ownership of the transport; false (not taken) for null or when one is set.
  bool setLoader(SDPLoader_Interface* transport);
  // Opens the transport: SDP_SUCCESS, SDP_NO_TRANSPORT or SDP_OPEN_FAILED.
  uint8_t init();
  // Writes the image into the chip's memory at address: SDP_SUCCESS, SDP_NO_TRANSPORT,
  // SDP_NO_ANSWER, SDP_INTERRUPTED, SDP_BAD_STATUS or SDP_WRITE_FAILED.
  uint8_t writeLoader(std::vector<uint8_t> image, uint32_t address);
  // Makes the chip jump to address. The chip leaves its ROM when that works; the caller
  // learns of it only by finding the started code.
  void startLoader(uint32_t address);
  // The chip's unique id from its fuses (high word CFG1, low word CFG0): SDP_SUCCESS,
  // SDP_NO_TRANSPORT, SDP_NO_ANSWER or SDP_BAD_ANSWER.
  uint8_t getFingerprint(uint64_t& value);

 private:
  bool _isConnectionAlive();
  static void _printBuffer(const std::vector<uint8_t>& buffer);
  static void _fillCommand(std::vector<uint8_t>& command);
  bool _expectAck(const std::vector<uint8_t>& answer);
  bool _expectResponse(const std::vector<uint8_t>& answer);
  bool _expectSuccess(const std::vector<uint8_t>& answer);
  static void _createStatusPacket(std::vector<uint8_t>& command);
  static void _createWriteFilePacket(std::vector<uint8_t>& command, uint32_t address,
                                     uint32_t count);
  static void _createJumpPacket(std::vector<uint8_t>& command, uint32_t address);
  static void _create4ByteReadRegisterPacket(std::vector<uint8_t>& command, uint32_t address);

  // Collects an answer until it parses or waitMs passed; true when it parses.
  bool _awaitAnswer(std::vector<uint8_t>& answer, uint64_t waitMs);
  // Drops what the chip still sends, e.g. answers to earlier status commands that came late.
  void _discardLateAnswers(int pending);
  // One READ_REGISTER exchange: the word, or false.
  bool _readRegister(uint32_t address, unsigned int& word);

  SDPLoader_Interface* loader;  // the transport, owned; null until setLoader
};
