#pragma once

// The SDP transport over a serial port (a POSIX terminal) at 115200 baud, 8N1, raw, without
// flow control. There are no report IDs on the line: a report goes out without its first
// byte, and an answer is the 8 bytes HAB mode word, status word. Main thread only.

#include <cstdint>
#include <vector>

#include "SDPLoader.h"

class PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
 public:
  // path: the device path; copied.
  explicit Serial_SDPLoader(const char* path);
  // Discards pending input and output and closes the port when open.
  ~Serial_SDPLoader() override;
  Serial_SDPLoader(const Serial_SDPLoader&) = delete;
  Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

  // Opens the port (non-blocking, no controlling terminal), applies the settings, lets the
  // line settle for a second and discards what came meanwhile. Then it sends 15 zero bytes,
  // which complete a command that a ROM started with the other boot protocol's one-byte
  // probe into no command, waits half a second and discards what came meanwhile again.
  // False for a path that cannot be opened or is not a terminal. A port opened before is
  // closed first.
  bool init() override;
  // Writes all bytes after the report ID and waits until they left the port's buffer, both
  // within the bytes' line time and a slack. The bytes written; -1 when the port failed or
  // did not take them all in time.
  long writeData(const std::vector<uint8_t>& report) override;
  // Sleeps timeoutMs, then appends what the port holds (a bounded amount per call); the
  // bytes appended.
  long readData(std::vector<uint8_t>& out, unsigned int timeoutMs) override;
  // An answer of at least 4 * (offset + 2) bytes: the status word at bytes offset + 4 to
  // offset + 7.
  bool getDataFromBuffer(const std::vector<uint8_t>& answer, unsigned int offset,
                         unsigned int& value) override;

 private:
  PrivateSerial_SDPLoader* d;  // owned
};
