// The beacon-interface guard: which texts it takes, the lock it leaves held, the backup and
// restore of CZMQ's setting, its traces, and the register of live beacons that keeps the
// process to one beacon interface. No beacon is made here.
#include <czmq.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "aBeaconInterface.h"
#include "aDebug.h"

namespace {

constexpr auto kBlockedFor = std::chrono::milliseconds(200);  // a lock held that long is held
constexpr auto kLockFreeWithin = std::chrono::seconds(5);     // a free lock is taken by then

// Takes the lock on another thread and gives it back; ready once the lock was had.
std::future<void> TakeLockElsewhere() {
  return std::async(std::launch::async, [] {
    zBeaconInterface_getAndLock();
    zBeaconInterface_unlock();
  });
}

// True when another thread could take the lock; when it could not, this thread held it and
// gives it back, so that the other thread ends.
bool LockIsFree() {
  std::future<void> other = TakeLockElsewhere();
  if (other.wait_for(kLockFreeWithin) == std::future_status::ready) return true;
  zBeaconInterface_unlock();
  return false;
}

// Leaves CZMQ's setting and the trace switches as each test found them.
class BeaconInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zsys_init();
    before_ = zsys_interface();
  }
  void TearDown() override {
    zsys_set_interface(before_.c_str());
    aKolvantisDebuggingEnable = false;
    aKolvantisDebuggingLevel = 0;
  }
  std::string before_;
};

TEST_F(BeaconInterfaceTest, SetAndLockTakesDottedEmptyAndStarAndHoldsTheLock) {
  for (const char* text : {"10.250.1.1", "", "*", "255.255.255.255"}) {
    ASSERT_EQ(zBeaconInterface_setAndLock(text), 1) << text;
    EXPECT_STREQ(zsys_interface(), text);
    EXPECT_STREQ(zBeaconInterface_get(), text);
    std::future<void> other = TakeLockElsewhere();
    EXPECT_EQ(other.wait_for(kBlockedFor), std::future_status::timeout) << text;
    zBeaconInterface_unlock();
    EXPECT_EQ(other.wait_for(kLockFreeWithin), std::future_status::ready) << text;
  }
}

TEST_F(BeaconInterfaceTest, SetAndLockRefusesWhatIsNoInterfaceTextAndTakesNoLock) {
  zsys_set_interface("10.250.1.2");
  for (const char* text : std::initializer_list<const char*>{
           "eth0", "lo", "1.2.3", "256.1.1.1", "10.250.1.1 ", "**", "0x0A000001", nullptr}) {
    EXPECT_EQ(zBeaconInterface_setAndLock(text), 0) << (text != nullptr ? text : "null");
    EXPECT_EQ(zBeaconInterface_backupSetAndLock(text), 0) << (text != nullptr ? text : "null");
    EXPECT_STREQ(zsys_interface(), "10.250.1.2");
    EXPECT_TRUE(LockIsFree()) << (text != nullptr ? text : "null");
  }
}

TEST_F(BeaconInterfaceTest, RestoreGivesBackTheSettingSavedByTheBackup) {
  zsys_set_interface("10.250.0.9");
  ASSERT_EQ(zBeaconInterface_backupSetAndLock("10.250.1.1"), 1);
  EXPECT_STREQ(zsys_interface(), "10.250.1.1");
  EXPECT_STREQ(zBeaconInterface_getBackup(), "10.250.0.9");
  zBeaconInterface_restoreAndUnlock();
  EXPECT_STREQ(zsys_interface(), "10.250.0.9");
  EXPECT_TRUE(LockIsFree());

  // A refused backup keeps what the last one saved.
  zsys_set_interface("");
  EXPECT_EQ(zBeaconInterface_backupSetAndLock("eth0"), 0);
  EXPECT_STREQ(zBeaconInterface_getBackup(), "10.250.0.9");
  EXPECT_STREQ(zBeaconInterface_getBackupAndLock(), "10.250.0.9");
  zBeaconInterface_unlock();
  EXPECT_TRUE(LockIsFree());
}

TEST_F(BeaconInterfaceTest, TracesNameTheFunctionAroundTheLock) {
  aKolvantisDebuggingEnable = true;
  aKolvantisDebuggingLevel = aDEBUG_BEACON;
  testing::internal::CaptureStdout();
  zBeaconInterface_setAndLock("10.250.1.1");
  zBeaconInterface_unlock();
  zBeaconInterface_backupSetAndLock("10.250.1.2");
  zBeaconInterface_restoreAndUnlock();
  std::string out = testing::internal::GetCapturedStdout();
  // Reserving room for the backup is traced once per process, by whichever backup comes first.
  const std::string reserving = "_configureBackup Reserving memory for _backupInterface\n";
  if (out.find(reserving) != std::string::npos) out.erase(out.find(reserving), reserving.size());
  EXPECT_EQ(out,
            "zBeaconInterface_setAndLock PRE-LOCK\n"
            "zBeaconInterface_setAndLock LOCKED\n"
            "zBeaconInterface_unlock: UNLOCKING\n"
            "zBeaconInterface_backupSetAndLock PRE-LOCK\n"
            "zBeaconInterface_backupSetAndLock LOCKED\n"
            "zBeaconInterface_restoreAndUnlock UNLOCKING\n");
}

TEST_F(BeaconInterfaceTest, ClaimsKeepTheProcessToOneInterfaceWhileABeaconLives) {
  EXPECT_TRUE(zBeaconInterface_claim("10.250.1.1"));
  EXPECT_TRUE(zBeaconInterface_claim("10.250.1.1"));  // a second beacon on the same interface

  aKolvantisDebuggingEnable = true;
  aKolvantisDebuggingLevel = aDEBUG_BEACON;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(zBeaconInterface_claim("10.250.1.2"));
  EXPECT_FALSE(zBeaconInterface_claim(""));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("'10.250.1.1' lives, refusing one on '10.250.1.2'"), std::string::npos) << out;
  aKolvantisDebuggingEnable = false;

  zBeaconInterface_release();
  EXPECT_FALSE(zBeaconInterface_claim("10.250.1.2"));  // one beacon on 10.250.1.1 still lives
  zBeaconInterface_release();
  EXPECT_TRUE(zBeaconInterface_claim("10.250.1.2"));  // none lives: any interface will do
  EXPECT_FALSE(zBeaconInterface_claim("10.250.1.1"));
  zBeaconInterface_release();

  // A release too many does not let two interfaces in later.
  zBeaconInterface_release();
  EXPECT_TRUE(zBeaconInterface_claim("10.250.1.1"));
  EXPECT_FALSE(zBeaconInterface_claim("10.250.1.2"));
  zBeaconInterface_release();
  EXPECT_FALSE(zBeaconInterface_claim(nullptr));
}

TEST_F(BeaconInterfaceTest, ClaimsFromManyThreadsAreCounted) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < kRounds; ++i) {
        if (zBeaconInterface_claim("10.250.1.1")) zBeaconInterface_release();
      }
    });
  ASSERT_TRUE(zBeaconInterface_claim("10.250.1.1"));
  for (std::thread& thread : threads) thread.join();
  // Ours is the one claim left.
  EXPECT_FALSE(zBeaconInterface_claim("10.250.1.2"));
  zBeaconInterface_release();
  EXPECT_TRUE(zBeaconInterface_claim("10.250.1.2"));
  zBeaconInterface_release();
}

}  // namespace
