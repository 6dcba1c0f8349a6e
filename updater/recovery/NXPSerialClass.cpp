// The line layer of the ISP client: the port, the synchronisation, writing text, taking the
// chip's echo, reading answers and lines against deadlines, return codes and uuencoding.
#include "NXPSerialClass.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "aSerialStream.h"
#include "aTime.h"

namespace {

// Slack on top of an answer's transfer time: the chip's turn-around, the serial adapter's
// latency and the scheduling of both ends.
constexpr uint32_t kAnswerSlackMs = 100;  // ms
// A stream whose wait returned without a byte is polled again after this pause.
constexpr uint32_t kPollPauseMs = 1;  // ms
// Unexpected bytes one read call drops before it gives the port up as unusable.
constexpr size_t kMaxDroppedBytes = 256;
// Log::log takes at most 2047 characters per call; longer dumps go out in pieces of this size.
constexpr size_t kLogPiece = 1500;
constexpr size_t kAnswerBufferSize = 1024;  // bytes of the Sync answer buffer

const char kSyncQuestion[] = "?";
const char kSynchronized[] = "Synchronized\r\n";
const char kOkLine[] = "OK\r\n";

const uint32_t kBaudTable[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 0};
// Index taken for a request above the fastest rate.
constexpr uint32_t kFallbackBaudIndex = 2;  // 9600 baud

// Milliseconds that bytes take at baud (9 bits per byte, two bytes of margin), at least 1.
uint32_t WAIT_TIME_MS(size_t bytes, uint32_t baud) {
  if (baud == 0) return 1;
  const uint64_t ms = (9000ULL * bytes + 18000ULL) / baud + 1;
  return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

bool sLogging(uint32_t package) {
  return Log::fh != nullptr && (Log::package_bitmask & package) != 0;
}

void sLogText(uint32_t package, const std::string& text) {
  for (size_t at = 0; at < text.size(); at += kLogPiece)
    Log::log(package, "%s", text.substr(at, kLogPiece).c_str());
}

void sAppendHex(std::string& out, const uint8_t* bytes, size_t n) {
  char hex[4];
  for (size_t i = 0; i < n; ++i) {
    snprintf(hex, sizeof hex, "%s%02X", i == 0 ? "" : " ", bytes[i]);
    out += hex;
  }
}

// The line-dump format: prefix, the bytes in hex, then as text with \r and \n spelled out.
void sDumpLine(const char* prefix, const uint8_t* bytes, size_t n) {
  if (!sLogging(DEBUG_NXPSerial_SR)) return;
  std::string text = prefix;
  sAppendHex(text, bytes, n);
  text += "] [";
  for (size_t i = 0; i < n; ++i) {
    if (bytes[i] == '\r')
      text += "\\r";
    else if (bytes[i] == '\n')
      text += "\\n";
    else
      text += isprint(bytes[i]) ? static_cast<char>(bytes[i]) : ' ';
  }
  text += "]\n";
  sLogText(DEBUG_NXPSerial_SR, text);
}

std::string sPrintable(const char* bytes, size_t n) {
  std::string text(bytes, n);
  for (char& c : text) {
    if (!isprint(static_cast<unsigned char>(c))) c = ' ';
  }
  return text;
}

// Advances the match of "\r\n": one further when byte is the next character of it, else 0.
int sMatchLineEnd(int matched, uint8_t byte) {
  return byte == static_cast<uint8_t>("\r\n"[matched]) ? matched + 1 : 0;
}

uint32_t sDecodeChar(char c) {
  return (static_cast<uint32_t>(static_cast<unsigned char>(c)) - 0x20) & 0x3F;
}

}  // namespace

const char* const NXPSerialClass::ERROR_TEXT[21] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

NXPSerialClass::NXPSerialClass() : echo(true), baudRate(0), deviceId{0, 0, 0, 0}, stream(nullptr) {}

NXPSerialClass::~NXPSerialClass() {
  if (stream) aStream_Destroy(&stream);
}

aErr NXPSerialClass::Connect(const char* port, uint32_t baud) {
  if (stream) aStream_Destroy(&stream);
  port_.clear();

  uint32_t index = 0;
  while (kBaudTable[index] != 0 && kBaudTable[index] < baud) ++index;
  if (kBaudTable[index] == 0) index = kFallbackBaudIndex;
  baudRate = kBaudTable[index];
  Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n",
           port ? port : "", static_cast<int>(index), static_cast<int>(baudRate));

  const aErr opened = aStream_CreateSerial(port, index, false, 0, 0, &stream);
  if (opened != aErrNone) {
    stream = nullptr;
    Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", port ? port : "",
             aError_GetErrorText(opened));
    return opened;
  }
  port_ = port;
  return aErrNone;
}

aErr NXPSerialClass::Disconnect() {
  if (stream) aStream_Destroy(&stream);
  port_.clear();
  return aErrNone;
}

uint32_t NXPSerialClass::AnswerMs(size_t bytes) const {
  return WAIT_TIME_MS(bytes, baudRate) + kAnswerSlackMs;
}

aErr NXPSerialClass::ReadByte(uint8_t* byte, uint64_t deadline) {
  if (!stream) return aErrIO;
  bool waited = false;
  for (;;) {
    const aErr got = aStream_Read(stream, byte, 1);
    if (got != aErrNotReady) return got;
    const uint64_t now = aTime_GetMonotonicMSTicks();
    if (now >= deadline) return aErrNotReady;
    // A wait that came back without a byte must not turn into a busy loop.
    if (waited) aTime_MSSleep(kPollPauseMs);
    const uint64_t left = deadline - now;
    const aErr ready =
        aStream_WaitForInput(stream, left > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(left));
    if (ready == aErrTimeout) return aErrNotReady;
    if (ready != aErrNone) return ready;
    waited = true;
  }
}

aErr NXPSerialClass::Send(const char* text, bool consumeEcho) {
  if (!stream || !text) return aErrIO;
  const size_t length = strlen(text);
  sDumpLine("Sending:[", reinterpret_cast<const uint8_t*>(text), length);
  const aErr written = aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), length);
  if (written != aErrNone)
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(written));
  if (consumeEcho && length > 0) {
    size_t count = 0;
    GetEcho(text, length - 1, &count);
  }
  return written;
}

aErr NXPSerialClass::SendCommand(const char* text, int waitMs) {
  if (!stream || !text) return aErrIO;
  const size_t length = strlen(text);
  if (sLogging(DEBUG_NXPSerial_SR)) {
    std::string dump = "Sending:[";
    sAppendHex(dump, reinterpret_cast<const uint8_t*>(text), length);
    dump += "] [" + sPrintable(text, length) + "]\n";
    sLogText(DEBUG_NXPSerial_SR, dump);
  }
  const aErr written = aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), length);
  if (waitMs > 0) {
    Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", waitMs);
    aTime_MSSleep(static_cast<uint64_t>(waitMs));
  }
  if (written != aErrNone)
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(written));
  if (echo && length > 0) {
    size_t count = 0;
    GetEcho(text, length - 1, &count);
    if (count != length - 1)
      Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n",
               static_cast<int>(count), static_cast<int>(length));
  }
  if (written != aErrNone)
    Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(written));
  return written;
}

aErr NXPSerialClass::GetEcho(const char* text, size_t length, size_t* count) {
  size_t ignored = 0;
  if (!count) count = &ignored;
  *count = 0;
  if (!text) return aErrParam;
  if (sLogging(DEBUG_NXPSerial_E)) {
    std::string head = "GetEcho([";
    sAppendHex(head, reinterpret_cast<const uint8_t*>(text), length);
    head += "] " + std::to_string(length) + ", ...)\nrecv Echo:[";
    sLogText(DEBUG_NXPSerial_E, head);
  }

  const uint64_t deadline = aTime_GetMonotonicMSTicks() + AnswerMs(length);
  aErr status = aErrNone;
  size_t position = 0;
  size_t dropped = 0;
  while (position < length) {
    uint8_t byte = 0;
    status = ReadByte(&byte, deadline);
    if (status != aErrNone) {
      Log::log(DEBUG_NXPSerial_E, ".");
      break;
    }
    if (byte == static_cast<uint8_t>(text[position])) {
      ++position;
      ++*count;
      Log::log(DEBUG_NXPSerial_E, " %02X", byte);
      continue;
    }
    Log::log(DEBUG_NXPSerial_E, " %02X!=%02X", byte, static_cast<uint8_t>(text[position]));
    if (++dropped > kMaxDroppedBytes) {
      status = aErrIO;
      break;
    }
  }
  Log::log(DEBUG_NXPSerial_E, "]\n");
  return status;
}

aErr NXPSerialClass::Response(char* buffer, size_t size, size_t* count, const char* expected,
                              size_t expectedLength) {
  size_t ignored = 0;
  if (!count) count = &ignored;
  *count = 0;
  if (!buffer || size == 0) return aErrParam;

  size_t limit = expected ? expectedLength : size - 1;
  if (limit > size) limit = size;
  // Bytes past the end of the expected text are stored without comparison.
  const size_t comparable = expected ? strnlen(expected, limit) : 0;
  const uint32_t waitMs = AnswerMs(expected ? expectedLength : limit);
  Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n",
           static_cast<int>(expectedLength), static_cast<int>(baudRate), static_cast<int>(waitMs));
  const uint64_t deadline = aTime_GetMonotonicMSTicks() + waitMs;

  size_t position = 0;
  int matched = 0;
  size_t dropped = 0;
  aErr status = aErrNone;
  while (position < limit && matched < 2) {
    uint8_t byte = 0;
    status = ReadByte(&byte, deadline);
    if (status != aErrNone) {
      Log::log(DEBUG_NXPSerial_E, ".");
      break;
    }
    const bool leadingLineEnd = position == 0 && (byte == '\n' || byte == '\r');
    const bool leadingZero = position <= 2 && byte == 0;
    if (leadingLineEnd || leadingZero) {
      if (byte == '\n')
        Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\n\n");
      else if (byte == '\r')
        Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\r\n");
      else
        Log::log(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
      if (++dropped > kMaxDroppedBytes) {
        status = aErrIO;
        break;
      }
      continue;
    }
    if (position < comparable && byte != static_cast<uint8_t>(expected[position])) {
      const uint8_t want = static_cast<uint8_t>(expected[position]);
      Log::log(
          DEBUG_NXPSerial_E,
          "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
          static_cast<int>(position), byte, isprint(byte) ? byte : ' ', isprint(want) ? want : ' ',
          want);
    }
    matched = sMatchLineEnd(matched, byte);
    buffer[(*count)++] = static_cast<char>(byte);
    ++position;
  }
  sDumpLine("Response: [", reinterpret_cast<const uint8_t*>(buffer), *count);
  return status;
}

aErr NXPSerialClass::GetLine(char* buffer, size_t size, size_t* count, uint32_t deadlineMs) {
  size_t ignored = 0;
  if (!count) count = &ignored;
  *count = 0;
  if (!buffer || size == 0) return aErrParam;

  const uint64_t deadline = aTime_GetMonotonicMSTicks() + deadlineMs;
  size_t position = 0;
  int matched = 0;
  size_t dropped = 0;
  aErr status = aErrNone;
  while (position < size - 1 && matched < 2) {
    uint8_t byte = 0;
    status = ReadByte(&byte, deadline);
    if (status != aErrNone) {
      Log::log(DEBUG_NXPSerial_E, ".");
      break;
    }
    // What is left of an echo, and noise before the line, ends no line and starts none.
    if (position == 0 && (byte == '\n' || byte == '\r' || byte == 0)) {
      Log::log(DEBUG_NXPSerial_E, ",");
      if (++dropped > kMaxDroppedBytes) {
        status = aErrIO;
        break;
      }
      continue;
    }
    matched = sMatchLineEnd(matched, byte);
    buffer[(*count)++] = static_cast<char>(byte);
    ++position;
  }
  buffer[*count] = 0;
  if (status == aErrNone && matched < 2) status = aErrOverrun;

  if (sLogging(DEBUG_NXPSerial_SR)) {
    std::string text = "GetLine() Received: [";
    sAppendHex(text, reinterpret_cast<const uint8_t*>(buffer), *count);
    text += "] [" + sPrintable(buffer, *count) + "] " + std::to_string(*count) +
            (matched > 0 ? " term [" : " non-term [") + aError_GetErrorText(status) + "]\n";
    sLogText(DEBUG_NXPSerial_SR, text);
  }
  return status;
}

uint8_t NXPSerialClass::GetErrorIndex(size_t) { return 0; }

const char* NXPSerialClass::GetErrorText(const char* line) {
  if (!line) return ERROR_TEXT[MAX_ERROR];
  const long code = strtol(line, nullptr, 0);
  if (code < 0 || code > MAX_ERROR) return ERROR_TEXT[MAX_ERROR];
  return ERROR_TEXT[code];
}

aErr NXPSerialClass::Sync() {
  char answer[kAnswerBufferSize];
  size_t count = 0;
  const size_t syncLength = strlen(kSynchronized);

  Send(kSyncQuestion, false);
  aErr status = Response(answer, sizeof answer, &count, kSynchronized, syncLength);
  if (status != aErrNone) {
    Log::log(DEBUG_NXPSerial,
             "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
             sPrintable(kSynchronized, syncLength).c_str(), sPrintable(answer, count).c_str());
    return status;
  }
  if (count != syncLength || memcmp(answer, kSynchronized, syncLength) != 0)
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n",
             sPrintable(kSynchronized, syncLength).c_str());

  // The echo of the synchronisation line up to its carriage return; the next read drops its
  // line feed.
  Send(kSynchronized, false);
  Response(answer, sizeof answer, &count, kSynchronized, syncLength - 1);

  memset(answer, 0, sizeof answer);
  status = Response(answer, sizeof answer, &count, kOkLine, strlen(kOkLine));
  if (status != aErrNone || count < 2 || memcmp(answer, "OK", 2) != 0) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n",
             sPrintable(answer, count).c_str(), sPrintable(kOkLine, strlen(kOkLine)).c_str());
    return status != aErrNone ? status : aErrIO;
  }

  char crystal[32];
  snprintf(crystal, sizeof crystal, "%d\r\n", static_cast<int>(CRYSTAL_DEFAULT * 1000 + 0.5));
  Send(crystal, false);
  Response(answer, sizeof answer, &count, crystal, strlen(crystal) - 1);

  memset(answer, 0, sizeof answer);
  status = Response(answer, sizeof answer, &count, kOkLine, strlen(kOkLine));
  if (status != aErrNone || count < 2 || memcmp(answer, "OK", 2) != 0) {
    Log::log(DEBUG_NXPSerial,
             "Did not receive correct response to the crystal frequency [%s] != [%s]\n",
             sPrintable(answer, count).c_str(), sPrintable(kOkLine, strlen(kOkLine)).c_str());
    return status != aErrNone ? status : aErrIO;
  }
  return aErrNone;
}

uint32_t NXPSerialClass::sum(const uint8_t* data, uint32_t count) {
  uint32_t total = 0;
  for (uint32_t i = 0; data && i < count; ++i) total += data[i];
  return total;
}

char NXPSerialClass::uuchar(uint32_t value) {
  const uint32_t six = value & 0x3F;
  return six == 0 ? '`' : static_cast<char>(six + 0x20);
}

long NXPSerialClass::uuencode(char* out, const uint8_t* data, uint32_t count) {
  size_t at = 0;
  out[at++] = uuchar(count);
  for (uint32_t i = 0; i < count; i += 3) {
    const uint32_t a = data[i];
    const uint32_t b = i + 1 < count ? data[i + 1] : 0;
    const uint32_t c = i + 2 < count ? data[i + 2] : 0;
    const uint32_t v = a << 16 | b << 8 | c;
    out[at++] = uuchar(v >> 18);
    out[at++] = uuchar(v >> 12);
    out[at++] = uuchar(v >> 6);
    out[at++] = uuchar(v);
  }
  out[at] = 0;
  return static_cast<long>(count);
}

int NXPSerialClass::uudecode(uint8_t* out, uint32_t capacity, const char* line) {
  if (!out || !line) return 0;
  size_t textLength = 0;
  while (line[textLength] != 0 && line[textLength] != '\r' && line[textLength] != '\n')
    ++textLength;
  if (textLength == 0) return 0;

  const uint32_t announced = sDecodeChar(line[0]);
  if (announced > capacity) return 0;
  uint32_t written = 0;
  size_t at = 1;
  while (written < announced) {
    if (at + 4 > textLength) {
      Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
      break;
    }
    const uint32_t c0 = sDecodeChar(line[at]);
    const uint32_t c1 = sDecodeChar(line[at + 1]);
    const uint32_t c2 = sDecodeChar(line[at + 2]);
    const uint32_t c3 = sDecodeChar(line[at + 3]);
    at += 4;
    const uint8_t bytes[3] = {
        static_cast<uint8_t>(c0 << 2 | (c1 >> 4 & 0x3)),
        static_cast<uint8_t>(c1 << 4 | (c2 >> 2 & 0xF)),
        static_cast<uint8_t>(c2 << 6 | c3),
    };
    for (int k = 0; k < 3 && written < announced; ++k) out[written++] = bytes[k];
  }
  return static_cast<int>(written);
}
