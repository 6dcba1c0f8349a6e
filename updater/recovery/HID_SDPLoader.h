#pragma once

// The SDP transport over USB HID, through hidapi. Commands go out as output report 1, image
// data as output report 2; the chip answers with input report 3 (report ID and the 4-byte HAB
// mode word) and input report 4 (report ID and 64 bytes, the status word first), 70 bytes in
// all. Main thread only.

#include <cstdint>
#include <vector>

#include "SDPLoader.h"

struct hid_device_;

class HID_SDPLoader : public SDPLoader_Interface {
 public:
  HID_SDPLoader(uint16_t vendorId, uint16_t productId);
  // Closes the device when open and ends the library's use (hid_exit) in any case.
  ~HID_SDPLoader() override;
  HID_SDPLoader(const HID_SDPLoader&) = delete;
  HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

  // Opens the first device with the ids; true when one was opened. A device opened before
  // is closed first.
  bool init() override;
  // hid_write of the whole report, report ID first: its result, -1 when not open.
  long writeData(const std::vector<uint8_t>& report) override;
  // Appends input reports (a report 3 as its ID and 4 bytes) while each comes within
  // timeoutMs, at most a bounded number per call; the bytes appended.
  long readData(std::vector<uint8_t>& out, unsigned int timeoutMs) override;
  // An answer of exactly 70 bytes: the status word at bytes offset + 6 to offset + 9.
  bool getDataFromBuffer(const std::vector<uint8_t>& answer, unsigned int offset,
                         unsigned int& value) override;

 private:
  hid_device_* handle;  // the open device; null before init and when opening failed
  uint16_t vendorId;
  uint16_t productId;
};
