// I2CClass against a scripted I2C entity of the stand-in module on the simulated USB bus:
// request bytes, status codes, short and overlong replies, and the bus speed.
#include "I2CClass.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "api_test_support.h"

using apitest::Bytes;
using apitest::UsbModule;
using Zentrova::Kolvantis::I2CClass;
using Zentrova::Kolvantis::Module;

namespace {

constexpr uint8_t kI2C = 8;
constexpr uint8_t kBus = 1;
constexpr uint8_t kDevice = 0x50;  // 8-bit bus address
constexpr uint8_t kUntouched = 0xAA;

class I2CTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = sim_.connect();
    ASSERT_TRUE(module_->isConnected());
    ASSERT_EQ(bus_.init(module_.get(), kBus), aErrNone);
    script_ = sim_.script(kI2C);
    own_ = sim_.address();
  }

  void reply(const Bytes& data) {
    sim_.withCore([&](kvsim::ModuleCore&) { script_->replies.push_back({{own_, data}}); });
  }
  Bytes lastRequest() { return sim_.received(kI2C).back(); }
  size_t requests() { return sim_.received(kI2C).size(); }

  UsbModule sim_;
  std::unique_ptr<Module> module_;
  I2CClass bus_;
  std::shared_ptr<apitest::Script> script_;
  uint8_t own_ = 0;
};

TEST_F(I2CTest, WriteSendsAddressLengthSpeedAndBytes) {
  ASSERT_EQ(bus_.setSpeed(3), aErrNone);
  const uint8_t data[2] = {1, 2};
  reply({kI2C, kBus, 0x20, 0, 0x00});
  EXPECT_EQ(bus_.write(0x20, 2, data), aErrNone);
  EXPECT_EQ(lastRequest(), (Bytes{kI2C, kBus, 0x20, 2, 3, 1, 2}));

  uint8_t longest[23];
  for (uint8_t i = 0; i < sizeof longest; ++i) longest[i] = i;
  reply({kI2C, kBus, 0x20, 0, 0x00});
  EXPECT_EQ(bus_.write(0x20, 23, longest), aErrNone);
  EXPECT_EQ(lastRequest().size(), 28u);

  const size_t before = requests();
  uint8_t tooLong[24] = {};
  EXPECT_EQ(bus_.write(0x20, 24, tooLong), aErrSize);
  EXPECT_EQ(bus_.read(0x20, 24, tooLong), aErrSize);
  EXPECT_EQ(requests(), before);
}

TEST_F(I2CTest, ReadSetsTheReadBitAndCopiesTheBytesRead) {
  reply({kI2C, kBus, kDevice | 1, 3, 0x00, 0x11, 0x22, 0x33});
  uint8_t data[8];
  std::memset(data, kUntouched, sizeof data);
  ASSERT_EQ(bus_.read(kDevice, 3, data), aErrNone);
  EXPECT_EQ(lastRequest(), (Bytes{kI2C, kBus, kDevice | 1, 3, 0}));
  EXPECT_EQ(Bytes(data, data + 4), (Bytes{0x11, 0x22, 0x33, kUntouched}));
}

TEST_F(I2CTest, RepliesThatDoNotFitTheRequestAreRefusedAndCopyNothing) {
  struct Case {
    const char* what;
    Bytes reply;
    uint8_t length;
    aErr expected;
  };
  const Case cases[] = {
      {"no status byte", {kI2C, kBus, kDevice | 1, 2}, 2, aErrPacket},
      {"count beyond the reply", {kI2C, kBus, kDevice | 1, 5, 0x00, 0x11, 0x22}, 5, aErrPacket},
      {"more bytes than asked for",
       {kI2C, kBus, kDevice | 1, 3, 0x00, 0x11, 0x22, 0x33},
       2,
       aErrSize},
      {"error status", {kI2C, kBus, kDevice | 1, 2, 0x85, 0x11, 0x22}, 2, static_cast<aErr>(5)},
      {"error status without a code",
       {kI2C, kBus, kDevice | 1, 2, 0x80, 0x11, 0x22},
       2,
       aErrUnknown},
      {"no reply", {}, 2, aErrTimeout},
  };
  for (const Case& c : cases) {
    if (!c.reply.empty()) reply(c.reply);
    uint8_t data[8];
    std::memset(data, kUntouched, sizeof data);
    EXPECT_EQ(bus_.read(kDevice, c.length, data), c.expected) << c.what;
    for (uint8_t byte : data) EXPECT_EQ(byte, kUntouched) << c.what;
  }
}

TEST_F(I2CTest, WriteAndPullupStatusCodes) {
  struct Case {
    const char* what;
    Bytes reply;
    aErr expected;
  };
  const Case writes[] = {
      {"done", {kI2C, kBus, kDevice, 0, 0x00}, aErrNone},
      {"status 0x85", {kI2C, kBus, kDevice, 0, 0x85}, static_cast<aErr>(5)},
      {"status 0x80", {kI2C, kBus, kDevice, 0, 0x80}, aErrUnknown},
      {"short reply", {kI2C, kBus, kDevice, 0}, aErrPacket},
  };
  const uint8_t data[2] = {0, 0};
  for (const Case& c : writes) {
    reply(c.reply);
    EXPECT_EQ(bus_.write(kDevice, 2, data), c.expected) << c.what;
  }

  reply({kI2C, kBus, 1, 0x00, 0x00});
  EXPECT_EQ(bus_.setPullup(5), aErrNone);
  EXPECT_EQ(lastRequest(), (Bytes{kI2C, kBus, 1, 1}));
  reply({kI2C, kBus, 1, 0x00, 0x83});
  EXPECT_EQ(bus_.setPullup(0), static_cast<aErr>(3));
  EXPECT_EQ(lastRequest(), (Bytes{kI2C, kBus, 1, 0}));
}

TEST_F(I2CTest, ReplyOfAnotherTransferIsNotTaken) {
  reply({kI2C, kBus, 0x22, 0, 0x00});  // a write to another address
  const uint8_t data[1] = {9};
  EXPECT_EQ(bus_.write(kDevice, 1, data), aErrTimeout);
}

TEST_F(I2CTest, SpeedCodes) {
  uint8_t speed = 0xFF;
  ASSERT_EQ(bus_.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 0);
  EXPECT_EQ(bus_.setSpeed(2), aErrNone);
  EXPECT_EQ(bus_.setSpeed(4), aErrParam);
  ASSERT_EQ(bus_.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 2);
  EXPECT_EQ(bus_.getSpeed(nullptr), aErrParam);

  reply({kI2C, kBus, kDevice | 1, 0, 0x00});
  uint8_t none[1];
  EXPECT_EQ(bus_.read(kDevice, 0, none), aErrNone);
  EXPECT_EQ(lastRequest(), (Bytes{kI2C, kBus, kDevice | 1, 0, 2}));
}

TEST_F(I2CTest, UnboundBusReachesNothing) {
  I2CClass unbound;
  uint8_t data[2] = {};
  EXPECT_EQ(unbound.read(kDevice, 2, data), aErrResource);
  EXPECT_EQ(unbound.write(kDevice, 2, data), aErrResource);
  EXPECT_EQ(unbound.setPullup(1), aErrResource);
  ASSERT_EQ(module_->disconnect(), aErrNone);
  EXPECT_EQ(bus_.write(kDevice, 2, data), aErrConnection);
}

}  // namespace
