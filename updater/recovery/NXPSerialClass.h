#pragma once

// Host side of the in-system-programming (ISP) dialogue of the LPC17xx ROM boot loader over a
// serial port: ASCII command lines ended by "\r\n", decimal return codes, data as uuencoded
// lines with decimal checksums, a "?" on which the chip measures the baud rate, and an echo
// mode in which the chip sends back every character it receives.
//
// Every read waits against a deadline in milliseconds sized for what is awaited: the transfer
// time of the answer at the port's baud rate plus a slack, plus the chip's own work for the
// slow commands (erasing, copying to flash). A silent chip therefore costs about one deadline
// per call, and a chip that keeps sending unexpected bytes ends a call at its deadline or
// after a bounded number of dropped bytes.
//
// One object per step (fingerprint or recovery), on the caller's stack, main thread only.
// Diagnostics go to Log::log under DEBUG_NXPSerial (errors and results), DEBUG_NXPSerial_E
// (echo and waits) and DEBUG_NXPSerial_SR (dumps of the lines sent and received).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "aError.h"
#include "aStream.h"

// One flash sector of the chip.
struct NXPSector {
  uint32_t start;  // first address
  uint32_t size;   // bytes
  int32_t number;  // sector number in the ISP commands
};

// The 512 KiB flash of the LPC17xx parts: sectors 0 to 15 of 4 KiB from 0x0, sectors 16 to 29
// of 32 KiB from 0x10000, then an end row (start 0xFFFFFFFF, size 0, number 30).
extern const NXPSector NXP_LPC17XX_sectors[31];

// One firmware block to program: size bytes for the flash from address on.
struct NXPFlashBlock {
  uint32_t address = 0;
  const uint8_t* data = nullptr;
  uint32_t size = 0;
};

// What the flash programming tells its caller while it runs (the caller's display).
class NXPFlashProgress {
 public:
  virtual ~NXPFlashProgress() {}
  // Block number (from 1) of count starts: size bytes to address.
  virtual void blockStarted(int number, int count, uint32_t size, uint32_t address) = 0;
  // Part of the current block written so far, 0 to 1.
  virtual void blockProgress(double fraction) = 0;
  virtual void blockFinished() = 0;
};

class NXPSerialClass {
 public:
  NXPSerialClass();
  ~NXPSerialClass();
  NXPSerialClass(const NXPSerialClass&) = delete;
  NXPSerialClass& operator=(const NXPSerialClass&) = delete;

  static constexpr uint8_t MAX_ERROR = 20;            // last row of ERROR_TEXT
  static const char* const ERROR_TEXT[21];            // ISP return-code names, then "Unknown error"
  static constexpr float CRYSTAL_DEFAULT = 14.7456f;  // MHz announced by Sync (as whole kHz)
  static constexpr int32_t MAX_BYTES_PER_LINE = 45;   // data bytes per uuencoded line
  static constexpr int32_t LINES_PER_CHECKSUM = 20;   // uuencoded lines between two checksums
  static constexpr int32_t MAX_READ_RETRY = 3;  // checksum failures one Read or Write may have
  static constexpr uint32_t WRITE_ADDRESS =
      0x10001000;  // chip RAM where chunks are staged for the flash

  // Opens the port raw at 8N1 at the first rate of 2400, 4800, 9600, 19200, 38400, 57600,
  // 115200, 230400 that is not below baud (9600 for a request above 230400); an open port is
  // closed first. The serial stream's error when the port cannot be opened.
  aErr Connect(const char* port, uint32_t baud);
  // Closes the port when open; always aErrNone.
  aErr Disconnect();

  // Synchronisation: "?", "Synchronized", the crystal frequency in kHz. aErrNone when the
  // chip answered each step with OK; the read's failure (aErrNotReady for silence) when
  // nothing answers the "?"; aErrIO when the synchronisation line or the crystal line is
  // not answered with OK.
  aErr Sync();

  // Writes text and, with consumeEcho, takes the chip's echo of all but its last character.
  // The write's result.
  aErr Send(const char* text, bool consumeEcho);
  // Writes a command line and, while echo is on, takes its echo up to the carriage return;
  // waitMs > 0 sleeps that long after the write. The write's result.
  aErr SendCommand(const char* text, int waitMs);
  // Takes the chip's echo of the first length characters of text, dropping bytes that do
  // not match (a leftover line feed first of all); count gets the characters matched.
  // aErrNone when all came; aErrNotReady when the deadline passed first; aErrIO when the
  // port failed or too many bytes had to be dropped.
  aErr GetEcho(const char* text, size_t length, size_t* count);
  // Reads one answer: up to expectedLength bytes when expected is given (a differing byte is
  // logged and kept), else up to size - 1 bytes, ending early at "\r\n". Leading line feeds
  // and carriage returns and zero bytes among the first three are dropped. Waits up to the
  // answer's transfer time plus a slack. count gets the bytes stored (not terminated).
  // aErrNone when the last read delivered a byte; aErrNotReady when the deadline passed;
  // aErrIO when the port failed or too many bytes had to be dropped.
  aErr Response(char* buffer, size_t size, size_t* count, const char* expected,
                size_t expectedLength);
  // Reads one line up to and including "\r\n" within deadlineMs milliseconds, dropping
  // leading line feeds, carriage returns and zero bytes. The line is always terminated,
  // at most size - 1 characters. aErrNone for a line with its "\r\n"; aErrNotReady when the
  // deadline passed first; aErrOverrun when the buffer filled before the line end; aErrIO
  // when the port failed or too many bytes had to be dropped.
  aErr GetLine(char* buffer, size_t size, size_t* count, uint32_t deadlineMs);
  // Position of the return code in a reply line of count characters: 0.
  uint8_t GetErrorIndex(size_t count);
  // Name of the return code at the start of line; "Unknown error" for codes outside 0 to 19.
  static const char* GetErrorText(const char* line);

  // Boot code version (K): the two numbers the chip sends after CMD_SUCCESS.
  aErr GetBootLoaderVersion(uint8_t* first, uint8_t* second);
  // Part identifier (J).
  aErr GetPartNumber(long* part);
  // Device serial number (N) into deviceId. aErrNone only with CMD_SUCCESS followed by four
  // decimal numbers of 32 bits; deviceId is all zeros otherwise.
  aErr GetDeviceID();
  // Runs the code at address in Thumb mode (G); no reply is read. The write's result.
  aErr ExecuteFrom(uint32_t address);
  // Echo on or off (A); echo follows only when the chip accepted it.
  aErr SetEcho(bool on);
  // The chip's baud rate (B) with 1 stop bit; the port's own rate is not changed.
  aErr SetBaudRate(uint32_t baud);
  // Unlocks the flash commands (U 23130).
  aErr Unlock();
  // Prepares sectors start to end for erasing or copying (P).
  aErr Prepare(uint32_t start, uint32_t end);
  // Erases sectors start to end (E); the chip's time per sector is allowed for.
  aErr Erase(uint32_t start, uint32_t end);
  // Reads count bytes (a multiple of 4) from address (R) into out.
  aErr Read(uint32_t address, uint32_t count, uint8_t* out);
  // Writes count bytes (a multiple of 4) to chip RAM at ramAddress (W).
  aErr Write(uint32_t ramAddress, uint32_t count, const uint8_t* data);
  // Copies count bytes (256, 512, 1024 or 4096) from RAM to a 256-byte aligned flash
  // address (C); the chip's time for the copy is allowed for.
  aErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);

  // Programs the blocks into an erased flash and starts the chip from address 0. Every
  // block is checked first (not empty, 256-byte aligned, its copies inside the flash and
  // clear of the other blocks' copies), so a refused set leaves the chip untouched. Then:
  // unlock, erase of all sectors, echo off, per chunk of up to 4096 bytes a write to RAM (the
  // last chunk of a block padded with 0xFF to its copy length), prepare and copy; echo on
  // and go. progress (may be null) follows the blocks. aErrNone on success; otherwise the
  // failed step's code and a message naming the step and the port in *message (when
  // non-null). An empty set is refused: nothing would be written.
  aErr ProgramFlash(const std::vector<NXPFlashBlock>& blocks, NXPFlashProgress* progress,
                    std::string* message);

  // Smallest of 256, 512, 1024, 4096 not below length; a length above 4096 unchanged.
  static uint32_t CopyLength(uint32_t length);
  // Sector holding address; 30 for an address outside the flash.
  static uint32_t SectorFromAddress(uint32_t address);

  // Byte sum, modulo 2^32.
  static uint32_t sum(const uint8_t* data, uint32_t count);
  // One uuencoding character: (value & 0x3F) + 0x20, the grave accent for 0.
  static char uuchar(uint32_t value);
  // One uuencoded line of count bytes (at most 45) into out (1 + 4 * ceil(count / 3)
  // characters and a terminator); returns count.
  static long uuencode(char* out, const uint8_t* data, uint32_t count);
  // Decodes one uuencoded line (its text ends at a carriage return, line feed or zero) into
  // out; returns the bytes decoded: 0 when the line announces more than capacity, fewer
  // than announced when the line's text is too short.
  static int uudecode(uint8_t* out, uint32_t capacity, const char* line);

  // The open raw serial stream, still owned by the client; null while closed.
  aStream* serialStream() const { return stream; }

  bool echo;             // the chip echoes what it receives (on after its reset)
  uint32_t baudRate;     // rate chosen by Connect; the deadlines are sized with it
  uint32_t deviceId[4];  // the words of the last successful GetDeviceID

 private:
  // The command pattern: writes line, reads the return-code line within the deadline.
  // aErrNone for CMD_SUCCESS, aErrParam for any other code, the read's failure when no
  // line came, the write's failure when the line could not be sent.
  aErr Command(const char* line, uint32_t replyWorkMs, const char* errorPrefix = "");
  // One byte before the monotonic deadline: aErrNone, aErrNotReady when it passed, or the
  // port's failure.
  aErr ReadByte(uint8_t* byte, uint64_t deadline);
  // Milliseconds for an answer of bytes to arrive: its transfer time plus the slack.
  uint32_t AnswerMs(size_t bytes) const;
  // Reads a line that must be a decimal number of 32 bits.
  aErr ReadNumberLine(uint32_t* value);

  aStream* stream;    // the open raw serial stream, owned; null while closed
  std::string port_;  // path of the open port, for messages
};
