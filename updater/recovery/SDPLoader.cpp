#include "SDPLoader.h"

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "Log.h"

namespace {

constexpr int LIVENESS_ATTEMPTS = 5;           // status commands before the chip counts as absent
constexpr unsigned ANSWER_WAIT_MS = 100;       // ms an answer to a command is awaited
constexpr unsigned ANSWER_POLL_MS = 10;        // ms per read while an answer is awaited
constexpr unsigned LATE_ANSWER_SLACK_MS = 50;  // ms beyond the answer wait for late answers
// After the last data report the chip may still be receiving: a transport can hold the bytes
// of a whole image in buffers the host cannot see (a pty, a USB serial adapter), and a serial
// line at 115200 baud takes about 90 ms per KiB. So the final status is awaited for the
// image's line time on top of a base wait.
constexpr unsigned FINAL_STATUS_BASE_MS = 500;  // ms
constexpr unsigned LINE_MS_PER_KIB = 90;        // ms per 1024 bytes at 115200 baud, 10 bits a byte
constexpr size_t MAX_ANSWER_BYTES = 4096;       // an answer that grows beyond this is garbage
constexpr size_t DUMP_BYTES_PER_LINE =
    256;  // bytes per log call of a dump (the log cuts long lines)

constexpr uint8_t COMMAND_REPORT_ID = 1;
constexpr uint8_t DATA_REPORT_ID = 2;
constexpr uint8_t DATA_FORMAT_32BIT = 0x20;
constexpr uint8_t READ_REGISTER = 0x01;
constexpr uint8_t WRITE_FILE = 0x04;
constexpr uint8_t ERROR_STATUS = 0x05;
constexpr uint8_t JUMP_ADDRESS = 0x0B;
constexpr uint32_t REGISTER_BYTES = 4;

using Clock = std::chrono::steady_clock;

void PutBigEndian(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 24));
  out.push_back(static_cast<uint8_t>(value >> 16));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

long long MsLeft(Clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
}

}  // namespace

SDPLoader::SDPLoader() : loader(nullptr) {}

SDPLoader::~SDPLoader() {
  delete loader;
  loader = nullptr;
}

bool SDPLoader::setLoader(SDPLoader_Interface* transport) {
  if (transport == nullptr || loader != nullptr) return false;
  loader = transport;
  return true;
}

uint8_t SDPLoader::init() {
  if (loader == nullptr) return SDP_NO_TRANSPORT;
  return loader->init() ? SDP_SUCCESS : SDP_OPEN_FAILED;
}

void SDPLoader::_printBuffer(const std::vector<uint8_t>& buffer) {
  std::string line;
  for (size_t i = 0; i < buffer.size(); ++i) {
    char hex[4];
    snprintf(hex, sizeof hex, "%X ", buffer[i]);
    line += hex;
    if ((i + 1) % DUMP_BYTES_PER_LINE == 0 && i + 1 < buffer.size()) {
      Log::log(DEBUG_iMXSerial, "%s", line.c_str());
      line.clear();
    }
  }
  Log::log(DEBUG_iMXSerial, "%s\n", line.c_str());
}

void SDPLoader::_fillCommand(std::vector<uint8_t>& command) {
  command.resize(MAX_COMMAND_BYTES, 0);
}

void SDPLoader::_createStatusPacket(std::vector<uint8_t>& command) {
  command = {COMMAND_REPORT_ID, ERROR_STATUS, ERROR_STATUS};
  _fillCommand(command);
}

void SDPLoader::_createWriteFilePacket(std::vector<uint8_t>& command, uint32_t address,
                                       uint32_t count) {
  command = {COMMAND_REPORT_ID, WRITE_FILE, WRITE_FILE};
  PutBigEndian(command, address);
  command.push_back(DATA_FORMAT_32BIT);
  PutBigEndian(command, count);
  _fillCommand(command);
}

void SDPLoader::_createJumpPacket(std::vector<uint8_t>& command, uint32_t address) {
  command = {COMMAND_REPORT_ID, JUMP_ADDRESS, JUMP_ADDRESS};
  PutBigEndian(command, address);
  _fillCommand(command);
}

void SDPLoader::_create4ByteReadRegisterPacket(std::vector<uint8_t>& command, uint32_t address) {
  command = {COMMAND_REPORT_ID, READ_REGISTER, READ_REGISTER};
  PutBigEndian(command, address);
  command.push_back(DATA_FORMAT_32BIT);
  PutBigEndian(command, REGISTER_BYTES);
  _fillCommand(command);
}

bool SDPLoader::_expectResponse(const std::vector<uint8_t>& answer) {
  unsigned int word = 0;
  return loader->getDataFromBuffer(answer, 0, word);
}

bool SDPLoader::_expectSuccess(const std::vector<uint8_t>& answer) {
  unsigned int word = 0;
  return loader->getDataFromBuffer(answer, 0, word) && word == COMPLETE_STATUS;
}

bool SDPLoader::_expectAck(const std::vector<uint8_t>& answer) {
  unsigned int word = 0;
  return loader->getDataFromBuffer(answer, 0, word) && word == ACK_STATUS;
}

bool SDPLoader::_awaitAnswer(std::vector<uint8_t>& answer, uint64_t waitMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    const long long left = MsLeft(deadline);
    const unsigned slice =
        left <= 0 ? 0 : static_cast<unsigned>(std::min<long long>(left, ANSWER_POLL_MS));
    loader->readData(answer, slice);
    if (_expectResponse(answer)) return true;
    if (answer.size() > MAX_ANSWER_BYTES || MsLeft(deadline) <= 0) return false;
  }
}

void SDPLoader::_discardLateAnswers(int pending) {
  // Each unanswered status command may still be answered, about one answer wait apart.
  const uint64_t waitMs =
      pending > 0 ? uint64_t(pending) * ANSWER_WAIT_MS + LATE_ANSWER_SLACK_MS : 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  size_t dropped = 0;
  for (;;) {
    const long long left = MsLeft(deadline);
    std::vector<uint8_t> late;
    loader->readData(
        late, left <= 0 ? 0 : static_cast<unsigned>(std::min<long long>(left, ANSWER_POLL_MS)));
    dropped += late.size();
    if (MsLeft(deadline) <= 0) break;
  }
  if (dropped > 0) Log::log(DEBUG_iMXSerial, "Dropped %zu bytes of late answers\n", dropped);
}

bool SDPLoader::_isConnectionAlive() {
  for (int attempt = 1; attempt <= LIVENESS_ATTEMPTS; ++attempt) {
    std::vector<uint8_t> command;
    _createStatusPacket(command);
    const long written = loader->writeData(command);
    Log::log(DEBUG_iMXSerial, "bytesWritten: %ld\n", written);
    _printBuffer(command);

    std::vector<uint8_t> answer;
    const bool parsed = _awaitAnswer(answer, ANSWER_WAIT_MS);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(answer.size()));
    _printBuffer(answer);
    if (parsed) {
      _discardLateAnswers(attempt - 1);
      return true;
    }
  }
  Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
  return false;
}

uint8_t SDPLoader::writeLoader(std::vector<uint8_t> image, uint32_t address) {
  if (loader == nullptr) return SDP_NO_TRANSPORT;
  if (!_isConnectionAlive()) return SDP_NO_ANSWER;

  std::vector<uint8_t> command;
  _createWriteFilePacket(command, address, static_cast<uint32_t>(image.size()));
  const long commandResult = loader->writeData(command);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", static_cast<ssize_t>(commandResult));
  _printBuffer(command);
  if (commandResult <= 0) {
    Log::log(DEBUG_iMXSerial,
             "Error: could not send WRITE_FILE for 0x%08X (result %ld). Aborting\n", address,
             commandResult);
    return SDP_WRITE_FAILED;
  }

  std::vector<uint8_t> answer;
  long total = 0;
  size_t tell = 0;
  for (int loop = 0; tell < image.size(); ++loop) {
    // The chip says nothing during a transfer unless something went wrong.
    answer.clear();
    const long got = loader->readData(answer, 0);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(got));
    _printBuffer(answer);
    if (!answer.empty()) {
      Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      return SDP_INTERRUPTED;
    }

    const size_t chunk = std::min<size_t>(MAX_WRITE_BYTES, image.size() - tell);
    std::vector<uint8_t> report;
    report.reserve(chunk + 1);
    report.push_back(DATA_REPORT_ID);
    report.insert(report.end(), image.begin() + tell, image.begin() + tell + chunk);
    tell += chunk;
    const long result = loader->writeData(report);
    if (result > 0) total += result;
    Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %ld, Loop: %d, tell: %ld, size: %zd\n",
             static_cast<ssize_t>(result), total, loop, static_cast<long>(tell),
             static_cast<ssize_t>(report.size()));
    if (result <= 0) {
      Log::log(DEBUG_iMXSerial,
               "Error: could not send data report %d (image bytes %zu to %zu). Aborting\n", loop,
               tell - chunk, tell);
      return SDP_WRITE_FAILED;
    }
  }

  Log::log(DEBUG_iMXSerial, "Written Bytes: %ld\n", total);
  answer.clear();
  const uint64_t kib = (image.size() + MAX_WRITE_BYTES - 1) / MAX_WRITE_BYTES;
  _awaitAnswer(answer, FINAL_STATUS_BASE_MS + kib * LINE_MS_PER_KIB);
  Log::log(DEBUG_iMXSerial, "Data Read: \n");
  _printBuffer(answer);
  if (_expectSuccess(answer)) {
    Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
    return SDP_SUCCESS;
  }
  Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
  return SDP_BAD_STATUS;
}

void SDPLoader::startLoader(uint32_t address) {
  if (loader == nullptr) {
    Log::log(DEBUG_iMXSerial, "Error: no transport to send the jump to 0x%08X\n", address);
    return;
  }
  std::vector<uint8_t> command;
  _createJumpPacket(command, address);
  const long result = loader->writeData(command);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", static_cast<ssize_t>(result));
  _printBuffer(command);
  if (result <= 0)
    Log::log(DEBUG_iMXSerial, "Error: could not send JUMP_ADDRESS to 0x%08X (result %ld)\n",
             address, result);
  // The ROM's answer to a jump tells nothing the caller could act on.
  std::vector<uint8_t> answer;
  loader->readData(answer, ANSWER_WAIT_MS);
}

bool SDPLoader::_readRegister(uint32_t address, unsigned int& word) {
  std::vector<uint8_t> command;
  _create4ByteReadRegisterPacket(command, address);
  const long written = loader->writeData(command);
  Log::log(DEBUG_iMXSerial, "bytesWritten: %ld\n", written);
  _printBuffer(command);
  if (written <= 0) {
    Log::log(DEBUG_iMXSerial, "Error: could not send READ_REGISTER for 0x%08X (result %ld)\n",
             address, written);
    return false;
  }
  std::vector<uint8_t> answer;
  _awaitAnswer(answer, ANSWER_WAIT_MS);
  Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(answer.size()));
  _printBuffer(answer);
  return loader->getDataFromBuffer(answer, 0, word);
}

uint8_t SDPLoader::getFingerprint(uint64_t& value) {
  if (loader == nullptr) return SDP_NO_TRANSPORT;
  if (!_isConnectionAlive()) return SDP_NO_ANSWER;
  const uint32_t halves[2] = {IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET,
                              IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET};
  for (int half = 0; half < 2; ++half) {
    unsigned int word = 0;
    if (!_readRegister(halves[half], word)) return SDP_BAD_ANSWER;
    value |= uint64_t(word) << (32 * half);
  }
  return SDP_SUCCESS;
}
