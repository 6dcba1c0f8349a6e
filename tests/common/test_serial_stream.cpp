// Serial-port streams on a pseudo-terminal: the raw stream's settings, bytes and waits, and
// the COBS-framed stream's frames as they appear on the wire. The test holds the master side.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "aCobs.h"
#include "aSerialStream.h"
#include "aStream.h"
#include "support.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kIoTimeoutMs = 5000;     // ms to wait for bytes that are expected
constexpr int kQuietMs = 100;          // ms of silence taken as "nothing was sent"
constexpr uint32_t kShortWaitMs = 20;  // ms for a wait that is to find nothing
constexpr int kWriterDelayMs = 100;    // ms before a helper thread writes to the master
constexpr uint32_t kDefaultBaud = 6;   // speed index of 115200 baud

std::string AsString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
Bytes AsBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Owns a stream for the length of a test.
struct StreamHolder {
  aStream* stream = nullptr;
  StreamHolder() = default;
  ~StreamHolder() {
    if (stream != nullptr) aStream_Destroy(&stream);
  }
  StreamHolder(const StreamHolder&) = delete;
  StreamHolder& operator=(const StreamHolder&) = delete;
};

termios SettingsOf(int fd) {
  termios settings{};
  EXPECT_EQ(tcgetattr(fd, &settings), 0);
  return settings;
}

void ExpectSameSettings(const termios& a, const termios& b) {
  EXPECT_EQ(a.c_iflag, b.c_iflag);
  EXPECT_EQ(a.c_oflag, b.c_oflag);
  EXPECT_EQ(a.c_cflag, b.c_cflag);
  EXPECT_EQ(a.c_lflag, b.c_lflag);
  EXPECT_EQ(0, std::memcmp(a.c_cc, b.c_cc, sizeof(a.c_cc)));
  EXPECT_EQ(cfgetispeed(&a), cfgetispeed(&b));
  EXPECT_EQ(cfgetospeed(&a), cfgetospeed(&b));
}

// The frame a packet travels as: COBS(packet + CRC) and a zero byte.
Bytes FrameOf(const Bytes& packet) {
  Bytes body = packet;
  body.push_back(crc8_create(packet.data(), packet.size()));
  Bytes frame(body.size() + 2);
  frame.resize(cobs_encode(body.data(), body.size(), frame.data()));
  frame.push_back(0);
  return frame;
}

// Reads one packet from a framed stream, waiting for input as needed; counts the frames
// reported bad on the way. Empty bytes when no packet came in time.
struct Received {
  Bytes packet;
  int badFrames = 0;
};
Received ReadPacket(aStream* stream) {
  Received received;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIoTimeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    uint8_t byte = 0;
    const aErr err = aStream_Read(stream, &byte, 1);
    if (err == aErrNone) {
      received.packet.push_back(byte);
      if (received.packet.size() >= 2 && received.packet.size() == received.packet[1] + 2u) break;
    } else if (err == aErrPacket) {
      ++received.badFrames;
    } else if (err == aErrNotReady) {
      aStream_WaitForInput(stream, kQuietMs);
    } else {
      ADD_FAILURE() << "read error " << int(err);
      break;
    }
  }
  return received;
}

class SerialTest : public ::testing::Test {
 protected:
  // The slave starts in its default (line-edited) settings, unlike what the stream applies.
  void OpenRaw(uint32_t baud = kDefaultBaud) {
    ASSERT_EQ(aStream_CreateSerial(pty_.slaveName().c_str(), baud, false, 0, 0, &holder_.stream),
              aErrNone);
  }
  void OpenFramed() {
    ASSERT_EQ(aStream_CreateSerial_Packetized(pty_.slaveName().c_str(), kDefaultBaud, false, 0, 0,
                                              &holder_.stream),
              aErrNone);
  }
  aStream* stream() { return holder_.stream; }

  PtyPair pty_;
  StreamHolder holder_;
};

TEST_F(SerialTest, RawSettingsAppliedAndRestored) {
  const termios before = SettingsOf(pty_.slave());
  OpenRaw();
  const termios applied = SettingsOf(pty_.slave());
  EXPECT_EQ(applied.c_iflag, tcflag_t(IGNBRK));
  EXPECT_EQ(applied.c_oflag, 0u);
  EXPECT_EQ(applied.c_lflag, 0u);
  EXPECT_EQ(applied.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
  EXPECT_EQ(applied.c_cflag & CSIZE, tcflag_t(CS8));
  EXPECT_EQ(applied.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(applied.c_cc[VMIN], 0);
  EXPECT_EQ(applied.c_cc[VTIME], 0);
  EXPECT_EQ(cfgetospeed(&applied), speed_t(B115200));
  EXPECT_EQ(cfgetispeed(&applied), speed_t(B115200));

  ASSERT_EQ(aStream_Destroy(&holder_.stream), aErrNone);
  ExpectSameSettings(SettingsOf(pty_.slave()), before);
}

TEST_F(SerialTest, FramedStreamRestoresSettingsToo) {
  const termios before = SettingsOf(pty_.slave());
  OpenFramed();
  EXPECT_EQ(SettingsOf(pty_.slave()).c_lflag, 0u);
  ASSERT_EQ(aStream_Destroy(&holder_.stream), aErrNone);
  ExpectSameSettings(SettingsOf(pty_.slave()), before);
}

TEST_F(SerialTest, SpeedIndexes) {
  const speed_t speeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
  for (uint32_t index = 0; index <= aSERIAL_MAXBAUDINDEX; ++index) {
    SCOPED_TRACE(testing::Message() << "index " << index);
    StreamHolder holder;
    ASSERT_EQ(aStream_CreateSerial(pty_.slaveName().c_str(), index, false, 0, 0, &holder.stream),
              aErrNone);
    const termios applied = SettingsOf(pty_.slave());
    EXPECT_EQ(cfgetospeed(&applied), speeds[index]);
    EXPECT_EQ(cfgetispeed(&applied), speeds[index]);
  }
}

TEST_F(SerialTest, TwoStopBits) {
  StreamHolder holder;
  ASSERT_EQ(
      aStream_CreateSerial(pty_.slaveName().c_str(), kDefaultBaud, false, 0, 1, &holder.stream),
      aErrNone);
  EXPECT_NE(SettingsOf(pty_.slave()).c_cflag & CSTOPB, 0u);
}

TEST_F(SerialTest, RefusedArguments) {
  const std::string path = pty_.slaveName();
  const std::string longPath = "/dev/" + std::string(5000, 'a');
  struct Row {
    const char* what;
    const char* path;
    uint32_t baud;
    uint32_t dataBits;
    uint32_t stopBits;
    bool nullOut;
  };
  const Row rows[] = {
      {"null path", nullptr, kDefaultBaud, 0, 0, false},
      {"null out", path.c_str(), kDefaultBaud, 0, 0, true},
      {"speed index 8", path.c_str(), 8, 0, 0, false},
      {"speed index far out", path.c_str(), 0xFFFFFFFF, 0, 0, false},
      {"data-bit mode 2", path.c_str(), kDefaultBaud, 2, 0, false},
      {"stop-bit mode 2", path.c_str(), kDefaultBaud, 0, 2, false},
      {"path too long", longPath.c_str(), kDefaultBaud, 0, 0, false},
  };
  using Create = aErr (*)(const char*, uint32_t, bool, uint32_t, uint32_t, aStream**);
  for (Create create : {Create(aStream_CreateSerial), Create(aStream_CreateSerial_Packetized)}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.what);
      aStream* sentinel = reinterpret_cast<aStream*>(&pty_);
      aStream* out = sentinel;
      EXPECT_EQ(create(row.path, row.baud, false, row.dataBits, row.stopBits,
                       row.nullOut ? nullptr : &out),
                aErrResource);
      EXPECT_EQ(out, sentinel);
    }
  }
}

TEST_F(SerialTest, PortsThatCannotBeOpened) {
  TempDir dir;
  const std::string plainFile = dir.file("not-a-tty");
  std::ofstream(plainFile) << "x";
  struct Row {
    const char* what;
    std::string path;
    aErr expected;
  };
  const Row rows[] = {
      {"missing", dir.file("missing"), aErrNotFound},
      {"not a terminal", plainFile, aErrIO},
  };
  using Create = aErr (*)(const char*, uint32_t, bool, uint32_t, uint32_t, aStream**);
  for (Create create : {Create(aStream_CreateSerial), Create(aStream_CreateSerial_Packetized)}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.what);
      aStream* out = nullptr;
      EXPECT_EQ(create(row.path.c_str(), kDefaultBaud, false, 0, 0, &out), row.expected);
      EXPECT_EQ(out, nullptr);
    }
  }
}

TEST_F(SerialTest, EveryByteValueBothWays) {
  OpenRaw();
  Bytes all(256);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);

  ASSERT_EQ(aStream_Write(stream(), all.data(), all.size()), aErrNone);
  EXPECT_EQ(pty_.read(all.size(), kIoTimeoutMs), AsString(all));

  ASSERT_TRUE(pty_.write(AsString(all)));
  Bytes got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIoTimeoutMs);
  while (got.size() < all.size() && std::chrono::steady_clock::now() < deadline) {
    uint8_t byte = 0;
    const aErr err = aStream_Read(stream(), &byte, 1);
    if (err == aErrNone) {
      got.push_back(byte);
    } else {
      ASSERT_EQ(err, aErrNotReady);
      aStream_WaitForInput(stream(), kQuietMs);
    }
  }
  EXPECT_EQ(got, all);
}

TEST_F(SerialTest, SingleBytePut) {
  OpenRaw();
  const uint8_t byte = 0x5A;
  ASSERT_EQ(aStream_Write(stream(), &byte, 1), aErrNone);
  EXPECT_EQ(pty_.read(1, kIoTimeoutMs), "\x5A");
}

TEST_F(SerialTest, GetOnEmptyPortIsNotReady) {
  OpenRaw();
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream(), &byte, 1), aErrNotReady);
  EXPECT_EQ(aStream_Read(stream(), &byte, 1), aErrNotReady);
}

TEST_F(SerialTest, WaitWakesWhenTheMasterWrites) {
  OpenRaw();
  EXPECT_EQ(aStream_WaitForInput(stream(), kShortWaitMs), aErrTimeout);

  std::thread writer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(kWriterDelayMs));
    pty_.write("Q");
  });
  const aErr waited = aStream_WaitForInput(stream(), kIoTimeoutMs);
  writer.join();
  ASSERT_EQ(waited, aErrNone);
  uint8_t byte = 0;
  ASSERT_EQ(aStream_Read(stream(), &byte, 1), aErrNone);
  EXPECT_EQ(byte, 'Q');
}

TEST(SerialHangUp, WaitReportsAClosedMaster) {
  using Create = aErr (*)(const char*, uint32_t, bool, uint32_t, uint32_t, aStream**);
  for (Create create : {Create(aStream_CreateSerial), Create(aStream_CreateSerial_Packetized)}) {
    PtyPair pty;
    StreamHolder holder;
    ASSERT_EQ(create(pty.slaveName().c_str(), kDefaultBaud, false, 0, 0, &holder.stream), aErrNone);
    pty.closeMaster();
    EXPECT_EQ(aStream_WaitForInput(holder.stream, kIoTimeoutMs), aErrIO);
  }
}

// A hung-up port reads as 0 bytes, like an idle one; the read still reports it gone.
TEST(SerialHangUp, ReadReportsAClosedMaster) {
  using Create = aErr (*)(const char*, uint32_t, bool, uint32_t, uint32_t, aStream**);
  const struct {
    Create create;
    aErr expected;
  } rows[] = {{aStream_CreateSerial, aErrIO}, {aStream_CreateSerial_Packetized, aErrConnection}};
  for (const auto& row : rows) {
    PtyPair pty;
    StreamHolder holder;
    ASSERT_EQ(row.create(pty.slaveName().c_str(), kDefaultBaud, false, 0, 0, &holder.stream),
              aErrNone);
    uint8_t byte = 0;
    ASSERT_EQ(aStream_Read(holder.stream, &byte, 1), aErrNotReady);
    pty.closeMaster();
    EXPECT_EQ(aStream_Read(holder.stream, &byte, 1), row.expected);
  }
}

// Bytes the stream took from the port before the far end hung up are all handed out before the
// hang-up is reported.
TEST(SerialHangUp, BytesReadBeforeAHangUpComeFirst) {
  using Create = aErr (*)(const char*, uint32_t, bool, uint32_t, uint32_t, aStream**);
  const struct {
    Create create;
    Bytes sent;      // what the master writes
    Bytes expected;  // what the stream hands out
    aErr after;      // what follows
  } rows[] = {
      {aStream_CreateSerial, AsBytes("hello"), AsBytes("hello"), aErrIO},
      {aStream_CreateSerial_Packetized,
       FrameOf({0x02, 0x03, 0x0A, 0x0B, 0x0C}),
       {0x02, 0x03, 0x0A, 0x0B, 0x0C},
       aErrConnection},
  };
  for (const auto& row : rows) {
    PtyPair pty;
    StreamHolder holder;
    ASSERT_EQ(row.create(pty.slaveName().c_str(), kDefaultBaud, false, 0, 0, &holder.stream),
              aErrNone);
    ASSERT_TRUE(pty.write(AsString(row.sent)));
    ASSERT_EQ(aStream_WaitForInput(holder.stream, kIoTimeoutMs), aErrNone);
    uint8_t first = 0;
    ASSERT_EQ(aStream_Read(holder.stream, &first, 1), aErrNone);  // the rest is held
    pty.closeMaster();
    Bytes got{first};
    uint8_t byte = 0;
    aErr read = aErrNone;
    while ((read = aStream_Read(holder.stream, &byte, 1)) == aErrNone) got.push_back(byte);
    EXPECT_EQ(got, row.expected);
    EXPECT_EQ(read, row.after);
  }
}

// A wait without a time-out ends on a wake, on the raw port and through the framing.
TEST_F(SerialTest, AWakeEndsAWaitWithoutTimeOut) {
  using Create = aErr (*)(const char*, uint32_t, bool, uint32_t, uint32_t, aStream**);
  for (Create create : {Create(aStream_CreateSerial), Create(aStream_CreateSerial_Packetized)}) {
    PtyPair pty;
    StreamHolder holder;
    ASSERT_EQ(create(pty.slaveName().c_str(), kDefaultBaud, false, 0, 0, &holder.stream), aErrNone);
    ASSERT_TRUE(aStream_CanWake(holder.stream));
    auto waiting = std::async(std::launch::async, [&holder] {
      return aStream_WaitForInput(holder.stream, aSTREAM_WAIT_FOREVER);
    });
    ASSERT_EQ(aStream_Wake(holder.stream), aErrNone);
    ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(kIoTimeoutMs)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), aErrNone);
    EXPECT_EQ(aStream_WaitForInput(holder.stream, kShortWaitMs), aErrTimeout);
  }
}

TEST_F(SerialTest, LargeWriteIsCompletedWhileTheMasterReadsSlowly) {
  OpenRaw();
  // Far more than the terminal buffers, so the write meets a full port many times.
  Bytes data(256 * 1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 256);
  std::string received;
  std::thread reader([&] { received = pty_.read(data.size(), kIoTimeoutMs * 4); });
  const aErr written = aStream_Write(stream(), data.data(), data.size());
  reader.join();
  EXPECT_EQ(written, aErrNone);
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == AsString(data));
}

TEST_F(SerialTest, WriteGivesUpWhenNothingIsTaken) {
  OpenRaw();
  // Nobody reads the master: the port fills and stays full.
  Bytes data(4 * 1024 * 1024, 0x41);
  EXPECT_EQ(aStream_Write(stream(), data.data(), data.size()), aErrTimeout);
}

// Puts standard input back after a test that took descriptor 0 away.
struct StdinGuard {
  int saved = dup(STDIN_FILENO);
  ~StdinGuard() {
    dup2(saved, STDIN_FILENO);
    close(saved);
  }
};

TEST_F(SerialTest, DescriptorZeroIsAPort) {
  StdinGuard guard;
  ASSERT_GE(guard.saved, 0);
  const termios before = SettingsOf(pty_.slave());
  close(STDIN_FILENO);
  OpenRaw();  // takes the lowest free descriptor
  ASSERT_TRUE(isatty(STDIN_FILENO));
  EXPECT_EQ(SettingsOf(pty_.slave()).c_lflag, 0u);

  ASSERT_EQ(aStream_Write(stream(), reinterpret_cast<const uint8_t*>("ok"), 2), aErrNone);
  EXPECT_EQ(pty_.read(2, kIoTimeoutMs), "ok");
  ASSERT_TRUE(pty_.write("z"));
  ASSERT_EQ(aStream_WaitForInput(stream(), kIoTimeoutMs), aErrNone);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream(), &byte, 1), aErrNone);
  EXPECT_EQ(byte, 'z');

  ASSERT_EQ(aStream_Destroy(&holder_.stream), aErrNone);
  EXPECT_EQ(fcntl(STDIN_FILENO, F_GETFD), -1);  // closed
  ExpectSameSettings(SettingsOf(pty_.slave()), before);
}

// ---------------------------------------------------------------------------------------------
// Framed stream on the wire
// ---------------------------------------------------------------------------------------------

TEST_F(SerialTest, FramedEmptyPacketOnTheWire) {
  OpenFramed();
  const Bytes packet = {0x04, 0x00};
  ASSERT_EQ(aStream_Write(stream(), packet.data(), packet.size()), aErrNone);
  EXPECT_EQ(pty_.read(5, kIoTimeoutMs), AsString({0x02, 0x04, 0x02, 0x3B, 0x00}));
}

TEST_F(SerialTest, FramedEveryPacketLengthRoundTrips) {
  OpenFramed();
  for (uint8_t length = 0; length <= 28; ++length) {
    SCOPED_TRACE(testing::Message() << "length " << int(length));
    Bytes packet = {0x0A, length};
    for (uint8_t i = 0; i < length; ++i) packet.push_back(static_cast<uint8_t>(0xF0 + i * 3));

    ASSERT_EQ(aStream_Write(stream(), packet.data(), packet.size()), aErrNone);
    const Bytes frame = AsBytes(pty_.read(length + 5u, kIoTimeoutMs));
    ASSERT_EQ(frame.size(), length + 5u);
    EXPECT_EQ(frame, FrameOf(packet));

    ASSERT_TRUE(pty_.write(AsString(frame)));
    const Received received = ReadPacket(stream());
    EXPECT_EQ(received.packet, packet);
    EXPECT_EQ(received.badFrames, 0);
  }
}

TEST_F(SerialTest, FramedLongestPacketIsOneFrameOf33Bytes) {
  OpenFramed();
  Bytes packet = {0x0C, 28};
  for (uint8_t i = 1; i <= 28; ++i) packet.push_back(i);
  ASSERT_EQ(aStream_Write(stream(), packet.data(), packet.size()), aErrNone);
  const std::string frame = pty_.read(64, kQuietMs * 5);
  ASSERT_EQ(frame.size(), 33u);
  EXPECT_EQ(frame.back(), '\0');
  EXPECT_EQ(frame.find('\0'), 32u);

  ASSERT_TRUE(pty_.write(frame));
  const Received received = ReadPacket(stream());
  EXPECT_EQ(received.packet.size(), 30u);
  EXPECT_EQ(received.packet, packet);
}

TEST_F(SerialTest, FramedReceiveSkipsEmptyAndBadFrames) {
  OpenFramed();
  const Bytes good = {0x04, 0x02, 0x12, 0x34};
  Bytes badCrc = FrameOf(good);
  badCrc[badCrc.size() - 2] = static_cast<uint8_t>(badCrc[badCrc.size() - 2] == 0x01 ? 0x02 : 0x01);
  Bytes longest = {0x04, 28};
  for (uint8_t i = 0; i < 28; ++i) longest.push_back(static_cast<uint8_t>(0x21 + i));
  Bytes overlong = FrameOf(longest);
  overlong.insert(overlong.end() - 1, {0x01, 0x01});  // two more code bytes before the zero

  struct Row {
    const char* what;
    Bytes before;
    int badFrames;
  };
  const Row rows[] = {
      {"two zero bytes", {0x00, 0x00}, 0},
      {"wrong CRC", badCrc, 1},
      {"over-long frame", overlong, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Bytes wire = row.before;
    const Bytes frame = FrameOf(good);
    wire.insert(wire.end(), frame.begin(), frame.end());
    ASSERT_TRUE(pty_.write(AsString(wire)));
    const Received received = ReadPacket(stream());
    EXPECT_EQ(received.badFrames, row.badFrames);
    EXPECT_EQ(received.packet, good);
  }
}

TEST_F(SerialTest, FramedWriterRecoversFromARefusedByte) {
  OpenFramed();
  const Bytes bad = {0x04, 29};
  EXPECT_EQ(aStream_Write(stream(), bad.data(), bad.size()), aErrPacket);
  EXPECT_EQ(pty_.read(1, kQuietMs), "");

  const Bytes good = {0x06, 0x01, 0x77};
  ASSERT_EQ(aStream_Write(stream(), good.data(), good.size()), aErrNone);
  EXPECT_EQ(AsBytes(pty_.read(64, kQuietMs * 5)), FrameOf(good));
}

TEST_F(SerialTest, FramedWaitWakesOnAFrame) {
  OpenFramed();
  EXPECT_EQ(aStream_WaitForInput(stream(), kShortWaitMs), aErrTimeout);
  std::thread writer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(kWriterDelayMs));
    pty_.write(AsString(FrameOf({0x04, 0x00})));
  });
  const aErr waited = aStream_WaitForInput(stream(), kIoTimeoutMs);
  writer.join();
  EXPECT_EQ(waited, aErrNone);
  EXPECT_EQ(ReadPacket(stream()).packet, (Bytes{0x04, 0x00}));
}

}  // namespace
