// The single-producer single-consumer ring that carries stream callback jobs from a core
// link's reader thread to a Link's stream worker.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "LinkStreams.h"

using Zentrova::LocklessQueue_SPSC;

namespace {

constexpr uint16_t kSlots = 500;  // the size a Link uses
constexpr uint64_t kCrossThreadItems = 1000000;

TEST(StreamRing, HoldsOneElementFewerThanItsSlotsAndKeepsTheirOrder) {
  LocklessQueue_SPSC<int> ring(kSlots);
  EXPECT_EQ(ring.capacity(), kSlots);
  for (int i = 0; i < kSlots - 1; ++i) ASSERT_TRUE(ring.push(i)) << i;
  EXPECT_FALSE(ring.push(-1)) << "a ring of N slots holds N - 1 elements";
  int out = -1;
  for (int i = 0; i < kSlots - 1; ++i) {
    ASSERT_TRUE(ring.pop(&out));
    EXPECT_EQ(out, i);
  }
  EXPECT_FALSE(ring.pop(&out));
  EXPECT_EQ(out, kSlots - 2) << "a failed pop leaves the output alone";
}

TEST(StreamRing, WrapsAroundItsEndAgainAndAgain) {
  LocklessQueue_SPSC<int> ring(3);  // two usable slots
  int out = 0;
  for (int round = 0; round < 10; ++round) {
    ASSERT_TRUE(ring.push(2 * round));
    ASSERT_TRUE(ring.push(2 * round + 1));
    ASSERT_FALSE(ring.push(-1));
    ASSERT_TRUE(ring.pop(&out));
    EXPECT_EQ(out, 2 * round);
    ASSERT_TRUE(ring.pop(&out));
    EXPECT_EQ(out, 2 * round + 1);
    ASSERT_FALSE(ring.pop(&out));
  }
}

TEST(StreamRing, IncrementWrapsToZeroAtTheCapacity) {
  LocklessQueue_SPSC<int> ring(kSlots);
  EXPECT_EQ(ring._increment(0), 1);
  EXPECT_EQ(ring._increment(kSlots - 2), kSlots - 1);
  EXPECT_EQ(ring._increment(kSlots - 1), 0);
}

// The worker sleeps once the ring is empty; the reader signals only a push into an empty ring.
TEST(StreamRing, TellsThePusherWhenTheConsumerHadTakenEverything) {
  LocklessQueue_SPSC<int> ring(4);
  bool wasEmpty = false;
  ASSERT_TRUE(ring.push(1, &wasEmpty));
  EXPECT_TRUE(wasEmpty);
  ASSERT_TRUE(ring.push(2, &wasEmpty));
  EXPECT_FALSE(wasEmpty);
  int out = 0;
  ASSERT_TRUE(ring.pop(&out));
  ASSERT_TRUE(ring.push(3, &wasEmpty));
  EXPECT_FALSE(wasEmpty) << "one element was still waiting";
  ASSERT_TRUE(ring.pop(&out));
  ASSERT_TRUE(ring.pop(&out));
  ASSERT_TRUE(ring.push(4, &wasEmpty));
  EXPECT_TRUE(wasEmpty);
}

// A refused push must not take the element: a job's packet copy is freed by the pusher then.
TEST(StreamRing, RefusedPushLeavesAnOwningElementWithTheCaller) {
  LocklessQueue_SPSC<std::unique_ptr<int>> ring(2);
  ASSERT_TRUE(ring.push(std::make_unique<int>(1)));
  auto kept = std::make_unique<int>(2);
  EXPECT_FALSE(ring.push(std::move(kept)));
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(*kept, 2);
  std::unique_ptr<int> out;
  ASSERT_TRUE(ring.pop(&out));
  EXPECT_EQ(*out, 1);
}

// A popped slot gives its element up at once (a job's callback copy is not held on to).
TEST(StreamRing, PopLeavesNoCopyInTheSlot) {
  LocklessQueue_SPSC<std::shared_ptr<int>> ring(4);
  auto value = std::make_shared<int>(7);
  ASSERT_TRUE(ring.push(value));
  EXPECT_EQ(value.use_count(), 2);
  std::shared_ptr<int> out;
  ASSERT_TRUE(ring.pop(&out));
  out.reset();
  EXPECT_EQ(value.use_count(), 1);
}

// One producer and one consumer on two threads, a million elements through 500 slots: each
// arrives once and in order (the same check runs under ThreadSanitizer).
TEST(StreamRing, MillionElementsCrossTwoThreadsInOrder) {
  LocklessQueue_SPSC<uint64_t> ring(kSlots);
  std::atomic<bool> failed{false};
  std::thread consumer([&] {
    uint64_t expected = 0;
    uint64_t value = 0;
    while (expected < kCrossThreadItems) {
      if (!ring.pop(&value)) {
        std::this_thread::yield();
        continue;
      }
      if (value != expected) {
        failed = true;
        return;
      }
      ++expected;
    }
  });
  uint64_t refusals = 0;
  for (uint64_t i = 0; i < kCrossThreadItems && !failed;) {
    if (ring.push(i)) {
      ++i;
    } else {
      ++refusals;
      std::this_thread::yield();
    }
  }
  consumer.join();
  EXPECT_FALSE(failed) << "an element arrived out of order or twice";
  uint64_t left = 0;
  EXPECT_FALSE(ring.pop(&left));
  RecordProperty("full_ring_refusals", static_cast<int>(refusals));
}

}  // namespace
