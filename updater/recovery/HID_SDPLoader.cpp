#include "HID_SDPLoader.h"

#include <hidapi.h>

#include <climits>

#include "Log.h"

namespace {

constexpr uint8_t HAB_REPORT_ID = 3;
constexpr int HAB_REPORT_BYTES = 5;    // report ID and the HAB mode word
constexpr size_t ANSWER_BYTES = 70;    // report 3 (5 bytes) and report 4 (65 bytes)
constexpr unsigned STATUS_OFFSET = 6;  // the status word's first byte in an answer
constexpr unsigned MAX_WORD_OFFSET = 15;
// A device that keeps sending reports would keep a read going; one call takes at most this
// many (an answer is two).
constexpr int MAX_REPORTS_PER_READ = 16;

}  // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendor, uint16_t product)
    : handle(nullptr), vendorId(vendor), productId(product) {}

HID_SDPLoader::~HID_SDPLoader() {
  if (handle != nullptr) hid_close(handle);
  handle = nullptr;
  hid_exit();
}

bool HID_SDPLoader::init() {
  if (handle != nullptr) {
    hid_close(handle);
    handle = nullptr;
  }
  hid_init();
  handle = hid_open(vendorId, productId, nullptr);
  Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle));
  if (handle == nullptr)
    Log::log(DEBUG_iMXSerial, "Error: no USB HID device %04X:%04X could be opened\n", vendorId,
             productId);
  return handle != nullptr;
}

long HID_SDPLoader::writeData(const std::vector<uint8_t>& report) {
  if (handle == nullptr || report.empty()) return -1;
  return hid_write(handle, report.data(), report.size());
}

long HID_SDPLoader::readData(std::vector<uint8_t>& out, unsigned int timeoutMs) {
  if (handle == nullptr) return 0;
  const int waitMs = timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs);
  long total = 0;
  for (int reports = 0; reports < MAX_REPORTS_PER_READ; ++reports) {
    unsigned char buffer[MAX_READ_BYTES] = {};
    int n = hid_read_timeout(handle, buffer, sizeof buffer, waitMs);
    if (n <= 0) break;
    if (buffer[0] == HAB_REPORT_ID) n = HAB_REPORT_BYTES;
    out.insert(out.end(), buffer, buffer + n);
    total += n;
  }
  return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& answer, unsigned int offset,
                                      unsigned int& value) {
  if (answer.size() != ANSWER_BYTES || offset > MAX_WORD_OFFSET) return false;
  const size_t at = offset + STATUS_OFFSET;
  value |= unsigned(answer[at]) | unsigned(answer[at + 1]) << 8 | unsigned(answer[at + 2]) << 16 |
           unsigned(answer[at + 3]) << 24;
  return true;
}
