// Library trace switches: traces print only when the global switch and their bit are both on.

#include <gtest/gtest.h>

#include <string>

#include "aDebug.h"

namespace {

// Restores the switches after each test, whatever it set.
class DebugSwitches : public testing::Test {
 protected:
  void SetUp() override {
    savedEnable_ = aKolvantisDebuggingEnable;
    savedLevel_ = aKolvantisDebuggingLevel;
  }
  void TearDown() override {
    aKolvantisDebuggingEnable = savedEnable_;
    aKolvantisDebuggingLevel = savedLevel_;
  }

  static std::string Traced(uint32_t bits, const char* text) {
    testing::internal::CaptureStdout();
    aDebug_Trace(bits, "%s:%d\n", text, 7);
    return testing::internal::GetCapturedStdout();
  }

 private:
  bool savedEnable_ = false;
  uint32_t savedLevel_ = 0;
};

TEST_F(DebugSwitches, OffByDefault) {
  EXPECT_FALSE(aKolvantisDebuggingEnable);
  EXPECT_EQ(aKolvantisDebuggingLevel, 0u);
  EXPECT_EQ(Traced(0xFFFFFFFFu, "quiet"), "");
}

TEST_F(DebugSwitches, BitValues) {
  struct Row {
    uint32_t bit;
    uint32_t value;
  };
  const Row rows[] = {
      {aDEBUG_LINK, 0x1},      {aDEBUG_PACKET, 0x2},     {aDEBUG_BROKER, 0x4},
      {aDEBUG_MULTICAST, 0x8}, {aDEBUG_DISCOVERY, 0x10}, {aDEBUG_CLIENTSTREAM, 0x20},
      {aDEBUG_MODULE, 0x40},   {aDEBUG_BEACON, 0x200},   {aDEBUG_USB, 0x400}};
  for (const Row& row : rows) EXPECT_EQ(row.bit, row.value);
}

TEST_F(DebugSwitches, PrintsOnlyWithSwitchAndMatchingBit) {
  struct Row {
    bool enable;
    uint32_t level;
    uint32_t bits;
    bool prints;
  };
  const Row rows[] = {
      {false, 0xFFFFFFFFu, aDEBUG_LINK, false},  // level alone is not enough
      {true, 0, aDEBUG_LINK, false},             // switch alone is not enough
      {true, aDEBUG_USB, aDEBUG_LINK, false},    // another bit
      {true, aDEBUG_USB, aDEBUG_USB, true},
      {true, aDEBUG_LINK | aDEBUG_PACKET, aDEBUG_PACKET, true},
      {true, aDEBUG_BROKER, aDEBUG_BROKER | aDEBUG_DISCOVERY, true},  // either bit selects it
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.enable << " " << row.level << " " << row.bits);
    aKolvantisDebuggingEnable = row.enable;
    aKolvantisDebuggingLevel = row.level;
    EXPECT_EQ(aDebug_IsOn(row.bits), row.prints);
    EXPECT_EQ(Traced(row.bits, "trace"), row.prints ? "trace:7\n" : "");
  }
}

TEST_F(DebugSwitches, MacroSkipsItsArgumentsWhileOff) {
  int evaluated = 0;
  auto sideEffect = [&evaluated] { return ++evaluated; };
  aKolvantisDebuggingEnable = false;
  aKolvantisDebuggingLevel = aDEBUG_LINK;
  aTRACE(aDEBUG_LINK, "%d\n", sideEffect());
  EXPECT_EQ(evaluated, 0);

  aKolvantisDebuggingEnable = true;
  testing::internal::CaptureStdout();
  aTRACE(aDEBUG_LINK, "value %d\n", sideEffect());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "value 1\n");
  EXPECT_EQ(evaluated, 1);
}

}  // namespace
