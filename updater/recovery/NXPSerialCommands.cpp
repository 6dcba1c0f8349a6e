// The ISP commands of the client: one command line each, its return code, and the data
// phases of W and R as uuencoded lines with a checksum every LINES_PER_CHECKSUM lines.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "NXPSerialClass.h"
#include "aTime.h"

namespace {

constexpr size_t kLineBufferSize = 1024;  // bytes of a command, reply or data line
constexpr size_t kNumberBufferSize = 32;  // bytes of a line holding one number
// Longest return-code line ("19\r\n") and the line feed left of the command's echo.
constexpr size_t kReturnCodeLineBytes = 5;
// Longest line holding a 32-bit number, with its "\r\n" and a leftover line feed.
constexpr size_t kNumberLineBytes = 13;
// A data line of 45 bytes: 61 characters, "\r\n" and a leftover line feed.
constexpr size_t kDataLineBytes = 64;
// Longest answer to a data checksum ("RESEND\r\n") and a leftover line feed.
constexpr size_t kChecksumAnswerBytes = 9;
// Time the chip may take to check a block of data lines before it answers the checksum.
constexpr uint32_t kChecksumWorkMs = 200;  // ms
// Time the chip may take per sector erased (the parts take about 100 ms).
constexpr uint32_t kSectorEraseMs = 250;  // ms
// Time the chip may take per 256 bytes copied into the flash (the parts take about 1 ms).
constexpr uint32_t kCopyMsPer256Bytes = 5;  // ms
// The chip has 30 sectors; a longer range is refused at once, so it needs no more time.
constexpr uint32_t kSectorCount = 30;

const char kUnlockCode[] = "23130";
const char kOkLine[] = "OK\r\n";
const char kResendLine[] = "RESEND\r\n";

bool sIsSuccess(const char* reply, size_t count) {
  return count == 3 && reply[0] == '0' && reply[1] == '\r' && reply[2] == '\n';
}

// The line without its "\r\n", for messages.
const char* sBare(const char* line, char* out, size_t size) {
  size_t n = 0;
  while (line[n] != 0 && line[n] != '\r' && line[n] != '\n' && n + 1 < size) {
    out[n] = line[n];
    ++n;
  }
  out[n] = 0;
  return out;
}

}  // namespace

const NXPSector NXP_LPC17XX_sectors[31] = {
    {0x00000, 0x1000, 0},  {0x01000, 0x1000, 1},  {0x02000, 0x1000, 2},  {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},  {0x05000, 0x1000, 5},  {0x06000, 0x1000, 6},  {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},  {0x09000, 0x1000, 9},  {0x0A000, 0x1000, 10}, {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12}, {0x0D000, 0x1000, 13}, {0x0E000, 0x1000, 14}, {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16}, {0x18000, 0x8000, 17}, {0x20000, 0x8000, 18}, {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20}, {0x38000, 0x8000, 21}, {0x40000, 0x8000, 22}, {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24}, {0x58000, 0x8000, 25}, {0x60000, 0x8000, 26}, {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28}, {0x78000, 0x8000, 29}, {0xFFFFFFFF, 0, 30},
};

aErr NXPSerialClass::Command(const char* line, uint32_t replyWorkMs, const char* errorPrefix) {
  char bare[kLineBufferSize];
  sBare(line, bare, sizeof bare);
  const aErr sent = SendCommand(line, 0);
  if (sent != aErrNone) {
    Log::log(DEBUG_NXPSerial, "%sError Sending command [%s] [%s]\n", errorPrefix, bare,
             aError_GetErrorText(sent));
    return sent;
  }
  char reply[kLineBufferSize];
  size_t count = 0;
  const uint32_t deadlineMs = AnswerMs(kReturnCodeLineBytes) + replyWorkMs;
  const aErr got = GetLine(reply, sizeof reply, &count, deadlineMs);
  if (got != aErrNone) {
    Log::log(DEBUG_NXPSerial, "%sNo return code for command [%s] within %u ms ==> %s\n",
             errorPrefix, bare, deadlineMs, aError_GetErrorText(got));
    return got;
  }
  if (!sIsSuccess(reply, count)) {
    Log::log(DEBUG_NXPSerial, "%sError response ==>[%s]\n", errorPrefix, GetErrorText(reply));
    return aErrParam;
  }
  return aErrNone;
}

aErr NXPSerialClass::ReadNumberLine(uint32_t* value) {
  char line[kNumberBufferSize];
  size_t count = 0;
  const aErr got = GetLine(line, sizeof line, &count, AnswerMs(kNumberLineBytes));
  if (got != aErrNone) return got;
  // Digits, then the "\r\n" that GetLine stopped at.
  size_t digits = 0;
  while (digits < count && line[digits] >= '0' && line[digits] <= '9') ++digits;
  if (digits == 0 || digits + 2 != count) {
    Log::log(DEBUG_NXPSerial, "Expected a number, got [%.*s]\n",
             static_cast<int>(count > 2 ? count - 2 : count), line);
    return aErrParse;
  }
  const unsigned long long number = strtoull(line, nullptr, 10);
  if (number > UINT32_MAX) {
    Log::log(DEBUG_NXPSerial, "Number out of range [%.*s]\n", static_cast<int>(digits), line);
    return aErrParse;
  }
  *value = static_cast<uint32_t>(number);
  return aErrNone;
}

aErr NXPSerialClass::GetBootLoaderVersion(uint8_t* first, uint8_t* second) {
  if (!first || !second) return aErrParam;
  const aErr result = Command("K\r\n", 0);
  if (result != aErrNone) return result;
  uint32_t words[2] = {0, 0};
  for (uint32_t& word : words) {
    const aErr got = ReadNumberLine(&word);
    if (got != aErrNone) return got;
  }
  *first = static_cast<uint8_t>(words[0]);
  *second = static_cast<uint8_t>(words[1]);
  Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", *first, *second);
  return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(long* part) {
  if (!part) return aErrParam;
  const aErr result = Command("J\r\n", 0);
  if (result != aErrNone) return result;
  uint32_t number = 0;
  const aErr got = ReadNumberLine(&number);
  if (got != aErrNone) return got;
  *part = static_cast<long>(number);
  Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n",
           static_cast<long long>(*part));
  return aErrNone;
}

aErr NXPSerialClass::GetDeviceID() {
  memset(deviceId, 0, sizeof deviceId);
  const aErr result = Command("N\r\n", 0);
  if (result != aErrNone) return result;
  uint32_t words[4] = {0, 0, 0, 0};
  for (int k = 0; k < 4; ++k) {
    const aErr got = ReadNumberLine(&words[k]);
    if (got != aErrNone) {
      Log::log(DEBUG_NXPSerial, "Device serial number word %d missing ==> %s\n", k,
               aError_GetErrorText(got));
      return got;
    }
  }
  memcpy(deviceId, words, sizeof deviceId);
  Log::log(DEBUG_NXPSerial, "Device serial number: %08X %08X %08X %08X\n", deviceId[0], deviceId[1],
           deviceId[2], deviceId[3]);
  return aErrNone;
}

aErr NXPSerialClass::ExecuteFrom(uint32_t address) {
  char line[kLineBufferSize];
  snprintf(line, sizeof line, "G %" PRIu32 " T\r\n", address);
  const aErr sent = SendCommand(line, 0);
  if (sent != aErrNone)
    Log::log(DEBUG_NXPSerial, "Error Sending command [G %" PRIu32 " T] [%s]\n", address,
             aError_GetErrorText(sent));
  return sent;
}

aErr NXPSerialClass::SetEcho(bool on) {
  Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
  const aErr result = Command(on ? "A 1\r\n" : "A 0\r\n", 0);
  if (result == aErrNone) echo = on;
  return result;
}

aErr NXPSerialClass::SetBaudRate(uint32_t baud) {
  char line[kLineBufferSize];
  snprintf(line, sizeof line, "B %" PRIu32 " 1\r\n", baud);
  return Command(line, 0);
}

aErr NXPSerialClass::Unlock() {
  char line[kLineBufferSize];
  snprintf(line, sizeof line, "U %s\r\n", kUnlockCode);
  return Command(line, 0);
}

aErr NXPSerialClass::Prepare(uint32_t start, uint32_t end) {
  if (end < start) return aErrParam;
  char line[kLineBufferSize];
  snprintf(line, sizeof line, "P %" PRIu32 " %" PRIu32 "\r\n", start, end);
  return Command(line, 0);
}

aErr NXPSerialClass::Erase(uint32_t start, uint32_t end) {
  if (end < start) return aErrParam;
  char line[kLineBufferSize];
  snprintf(line, sizeof line, "E %" PRIu32 " %" PRIu32 "\r\n", start, end);
  const uint64_t sectors = static_cast<uint64_t>(end) - start + 1;
  const uint32_t workMs =
      static_cast<uint32_t>(sectors < kSectorCount ? sectors : kSectorCount) * kSectorEraseMs;
  return Command(line, workMs);
}

aErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count) {
  if (flashAddress % 256 != 0) return aErrParam;
  if (count != 256 && count != 512 && count != 1024 && count != 4096) return aErrParam;
  char line[kLineBufferSize];
  snprintf(line, sizeof line, "C %" PRIu32 " %" PRIu32 " %" PRIu32 "\r\n", flashAddress, ramAddress,
           count);
  return Command(line, count / 256 * kCopyMsPer256Bytes);
}

aErr NXPSerialClass::Write(uint32_t ramAddress, uint32_t count, const uint8_t* data) {
  if (count == 0 || count % 4 != 0 || !data) return aErrParam;
  char line[kLineBufferSize];
  snprintf(line, sizeof line, "W %" PRIu32 " %" PRIu32 "\r\n", ramAddress, count);
  aErr result = Command(line, 0, "Write() ");
  if (result != aErrNone) return result;

  uint32_t sent = 0;
  uint32_t checkpoint = 0;
  int lines = 0;
  int retries = MAX_READ_RETRY;
  while (sent < count) {
    const uint32_t n = count - sent < static_cast<uint32_t>(MAX_BYTES_PER_LINE)
                           ? count - sent
                           : MAX_BYTES_PER_LINE;
    uuencode(line, data + sent, n);
    strcat(line, "\r\n");
    result = Send(line, echo);
    if (result != aErrNone) return result;
    sent += n;
    if (++lines < LINES_PER_CHECKSUM && sent < count) continue;
    lines = 0;

    const uint32_t checksum = sum(data + checkpoint, sent - checkpoint);
    Log::log(DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%u)\n", checksum, checksum);
    snprintf(line, sizeof line, "%" PRIu32 "\r\n", checksum);
    result = Send(line, echo);
    if (result != aErrNone) return result;

    const uint64_t started = aTime_GetMonotonicMSTicks();
    char answer[kLineBufferSize];
    size_t n2 = 0;
    GetLine(answer, sizeof answer, &n2, AnswerMs(kChecksumAnswerBytes) + kChecksumWorkMs);
    Log::log(DEBUG_NXPSerial_SR, "Write() waited for checksum %d ms\n",
             static_cast<int>(aTime_GetMonotonicMSTicks() - started + 1));
    if (strcmp(answer, kOkLine) == 0) {
      checkpoint = sent;
      Log::log(DEBUG_NXPSerial_SR, "Write() valid transfer of %d of %d (%.0f%%) bytes\n",
               static_cast<int>(sent), static_cast<int>(count), 100.0 * sent / count);
    } else if (strcmp(answer, kResendLine) == 0) {
      if (--retries <= 0) {
        Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
        return aErrTimeout;
      }
      sent = checkpoint;
    } else {
      Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", answer);
      return aErrIO;
    }
  }
  return aErrNone;
}

aErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* out) {
  if (count == 0 || count % 4 != 0 || !out) return aErrParam;
  char line[kLineBufferSize];
  snprintf(line, sizeof line, "R %" PRIu32 " %" PRIu32 "\r\n", address, count);
  aErr result = Command(line, 0);
  if (result != aErrNone) return result;

  uint32_t received = 0;
  uint32_t checkpoint = 0;
  int lines = 0;
  int retries = MAX_READ_RETRY;
  while (received < count) {
    size_t n = 0;
    result = GetLine(line, sizeof line, &n, AnswerMs(kDataLineBytes));
    if (result != aErrNone) {
      Log::log(DEBUG_NXPSerial, "Read() data line missing ==> %s\n", aError_GetErrorText(result));
      return result;
    }
    received += static_cast<uint32_t>(uudecode(out + received, count - received, line));
    if (++lines < LINES_PER_CHECKSUM && received < count) continue;
    lines = 0;

    uint32_t checksum = 0;
    result = ReadNumberLine(&checksum);
    if (result != aErrNone) {
      Log::log(DEBUG_NXPSerial, "Read() checksum missing ==> %s\n", aError_GetErrorText(result));
      return result;
    }
    if (checksum == sum(out + checkpoint, received - checkpoint)) {
      Send(kOkLine, false);
      // The chip echoes the OK line only in echo mode; its line feed is left for the
      // next line's read while more data follows.
      if (echo) {
        char echoed[kLineBufferSize];
        Response(echoed, sizeof echoed, &n, kOkLine, received < count ? 3 : 4);
      }
      checkpoint = received;
      Log::log(DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n",
               static_cast<int>(received), static_cast<int>(count), 100.0 * received / count);
    } else {
      if (--retries <= 0) {
        Log::log(DEBUG_NXPSerial, "Read() exceeded retries\n");
        return aErrTimeout;
      }
      Send(kResendLine, echo);
      received = checkpoint;
    }
  }
  return aErrNone;
}

uint32_t NXPSerialClass::CopyLength(uint32_t length) {
  static const uint32_t kSizes[] = {256, 512, 1024, 4096};
  for (uint32_t size : kSizes) {
    if (length <= size) return size;
  }
  Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", static_cast<int>(length));
  return length;
}

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address) {
  const NXPSector* row = NXP_LPC17XX_sectors;
  for (; row->start != 0xFFFFFFFF; ++row) {
    if (address >= row->start && address - row->start < row->size)
      return static_cast<uint32_t>(row->number);
  }
  return static_cast<uint32_t>(row->number);
}
