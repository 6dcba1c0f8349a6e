// Packet record: creation, copies, accessors, byte-wise assembly and wire form; UEI payload
// helpers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "aPacket.h"
#include "aUEI.h"

namespace {

// Owns a packet for the length of a test.
struct PacketHolder {
  aPacket* packet;
  explicit PacketHolder(aPacket* p) : packet(p) {}
  ~PacketHolder() {
    if (packet != nullptr) aPacket_Destroy(&packet);
  }
  PacketHolder(const PacketHolder&) = delete;
  PacketHolder& operator=(const PacketHolder&) = delete;
};

std::vector<uint8_t> Sequence(uint8_t first, size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

// A packet record set up by hand (no assembly), for the readers' edge cases.
aPacket MakeRecord(uint8_t dataSize, std::vector<uint8_t> data) {
  aPacket packet{};
  packet.check = aPACKETCHECK;
  packet.address = 0x04;
  packet.dataSize = dataSize;
  packet.byteCount = static_cast<uint8_t>(dataSize + 2);
  if (!data.empty())
    std::memcpy(packet.data, data.data(), std::min(data.size(), sizeof(packet.data)));
  return packet;
}

TEST(PacketCreate, NewPacketIsEmptyAndChecked) {
  PacketHolder holder(aPacket_Create());
  ASSERT_NE(holder.packet, nullptr);
  const aPacket& p = *holder.packet;
  EXPECT_EQ(p.check, aPACKETCHECK);
  EXPECT_EQ(p.byteCount, 0);
  EXPECT_EQ(p.address, 0);
  EXPECT_EQ(p.dataSize, 0);
  for (uint8_t byte : p.data) EXPECT_EQ(byte, 0);
  EXPECT_TRUE(aVALIDPACKET(holder.packet));
  EXPECT_FALSE(aPacket_IsComplete(holder.packet));
}

TEST(PacketCreate, WithData) {
  const std::vector<uint8_t> bytes = Sequence(0x10, 29);
  struct Row {
    uint8_t address;
    uint8_t length;
    const uint8_t* data;
    bool made;
  };
  const Row rows[] = {
      {0x04, 0, bytes.data(), true},  // zero-length packet
      {0x04, 5, bytes.data(), true},
      {0x06, 28, bytes.data(), true},   // largest packet: 30 bytes on the wire
      {0x04, 29, bytes.data(), false},  // too long
      {0x04, 255, bytes.data(), false},
      {0x04, 0, nullptr, false},      // missing data, even for no bytes
      {0x00, 3, bytes.data(), true},  // any address is accepted
      {0xFF, 3, bytes.data(), true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << "address " << int(row.address) << " length " << int(row.length));
    PacketHolder holder(aPacket_CreateWithData(row.address, row.length, row.data));
    ASSERT_EQ(holder.packet != nullptr, row.made);
    if (!row.made) continue;
    EXPECT_TRUE(aPacket_IsComplete(holder.packet));
    EXPECT_EQ(holder.packet->address, row.address);
    EXPECT_EQ(holder.packet->dataSize, row.length);
    EXPECT_EQ(holder.packet->byteCount, row.length + 2);
    EXPECT_EQ(0, std::memcmp(holder.packet->data, row.data, row.length));
  }
}

TEST(PacketCopy, CompletePacketCopiesEqual) {
  const std::vector<uint8_t> bytes = Sequence(0x40, 12);
  PacketHolder source(aPacket_CreateWithData(0x08, 12, bytes.data()));
  PacketHolder copy(aPacket_Copy(source.packet));
  ASSERT_NE(copy.packet, nullptr);
  EXPECT_NE(copy.packet, source.packet);
  EXPECT_TRUE(aPacket_IsComplete(copy.packet));
  EXPECT_EQ(copy.packet->address, 0x08);
  EXPECT_EQ(copy.packet->dataSize, 12);
  EXPECT_EQ(0, std::memcmp(copy.packet->data, bytes.data(), 12));
}

TEST(PacketCopy, PartlyAssembledPacketGivesCompleteCopyWithStoredLength) {
  PacketHolder source(aPacket_Create());
  for (uint8_t byte : {0x04, 0x05, 0xA1, 0xA2})
    ASSERT_EQ(aPacket_AddByte(source.packet, byte), aErrNone);
  ASSERT_FALSE(aPacket_IsComplete(source.packet));
  PacketHolder copy(aPacket_Copy(source.packet));
  ASSERT_NE(copy.packet, nullptr);
  EXPECT_TRUE(aPacket_IsComplete(copy.packet));
  EXPECT_EQ(copy.packet->dataSize, 5);
  const uint8_t expected[] = {0xA1, 0xA2, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(copy.packet->data, expected, sizeof(expected)));
}

TEST(PacketCopy, RefusesInvalidAndOversizeSources) {
  EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
  aPacket wrongCheck = MakeRecord(3, {1, 2, 3});
  wrongCheck.check = 0x1234;
  EXPECT_EQ(aPacket_Copy(&wrongCheck), nullptr);
  // An oversize length byte stays stored by the assembler; such a packet cannot be copied.
  PacketHolder oversize(aPacket_Create());
  ASSERT_EQ(aPacket_AddByte(oversize.packet, 0x04), aErrNone);
  ASSERT_EQ(aPacket_AddByte(oversize.packet, 29), aErrPacket);
  EXPECT_EQ(aPacket_Copy(oversize.packet), nullptr);
}

enum class Accessor { Cmd, Option, Index };

aErr CallAccessor(Accessor which, const aPacket* packet, uint8_t* out) {
  switch (which) {
    case Accessor::Cmd:
      return aPacket_GetCmd(packet, out);
    case Accessor::Option:
      return aPacket_GetOption(packet, out);
    case Accessor::Index:
      return aPacket_GetIndex(packet, out);
  }
  return aErrUnknown;
}

TEST(PacketAccessors, ValuesAndErrors) {
  aPacket three = MakeRecord(3, {0x5D, 0xFF, 0xFF});
  aPacket two = MakeRecord(2, {0x5D, 0xC7});
  aPacket one = MakeRecord(1, {0x17});
  aPacket none = MakeRecord(0, {0x17});
  aPacket invalid = MakeRecord(3, {1, 2, 3});
  invalid.check = 0;
  struct Row {
    const char* what;
    Accessor accessor;
    const aPacket* packet;
    bool withOut;
    aErr result;
    uint8_t value;
  };
  const Row rows[] = {
      {"cmd", Accessor::Cmd, &three, true, aErrNone, 0x5D},
      {"option masks 6 bits", Accessor::Option, &three, true, aErrNone, 0x3F},
      {"index masks 5 bits", Accessor::Index, &three, true, aErrNone, 0x1F},
      {"option of 2 bytes", Accessor::Option, &two, true, aErrNone, 0x07},
      {"index of 2 bytes", Accessor::Index, &two, true, aErrPacket, 0},
      {"cmd of 1 byte", Accessor::Cmd, &one, true, aErrNone, 0x17},
      {"option of 1 byte", Accessor::Option, &one, true, aErrPacket, 0},
      {"cmd of no data", Accessor::Cmd, &none, true, aErrPacket, 0},
      {"cmd invalid", Accessor::Cmd, &invalid, true, aErrPacket, 0},
      {"option invalid", Accessor::Option, &invalid, true, aErrPacket, 0},
      {"index null", Accessor::Index, nullptr, true, aErrPacket, 0},
      // A missing output is reported before the packet is looked at.
      {"cmd no out", Accessor::Cmd, &three, false, aErrParam, 0},
      {"option no out, null", Accessor::Option, nullptr, false, aErrParam, 0},
      {"index no out, invalid", Accessor::Index, &invalid, false, aErrParam, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    uint8_t out = 0xEE;
    EXPECT_EQ(CallAccessor(row.accessor, row.packet, row.withOut ? &out : nullptr), row.result);
    if (row.withOut) {
      EXPECT_EQ(out, row.result == aErrNone ? row.value : 0xEE);
    }
  }
}

TEST(PacketReset, ClearsAllButTheCheckWord) {
  const std::vector<uint8_t> bytes = Sequence(1, 28);
  PacketHolder holder(aPacket_CreateWithData(0x0A, 28, bytes.data()));
  ASSERT_EQ(aPacket_Reset(holder.packet), aErrNone);
  EXPECT_EQ(holder.packet->check, aPACKETCHECK);
  EXPECT_EQ(holder.packet->byteCount, 0);
  EXPECT_EQ(holder.packet->address, 0);
  EXPECT_EQ(holder.packet->dataSize, 0);
  for (uint8_t byte : holder.packet->data) EXPECT_EQ(byte, 0);

  EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
  aPacket invalid = MakeRecord(2, {9, 9});
  invalid.check = 0xBEEE;
  EXPECT_EQ(aPacket_Reset(&invalid), aErrParam);
  EXPECT_EQ(invalid.dataSize, 2);
}

struct AssemblyRow {
  const char* what;
  std::vector<uint8_t> bytes;
  std::vector<aErr> results;  // one per byte
  uint8_t byteCount, address, dataSize;
  bool complete;
};

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<aErr> Results(size_t okCount, std::vector<aErr> tail = {}) {
  std::vector<aErr> results(okCount, aErrNone);
  results.insert(results.end(), tail.begin(), tail.end());
  return results;
}

TEST(PacketAssembly, ByteSequences) {
  const AssemblyRow rows[] = {
      {"zero-length packet completes with its length byte",
       {0x04, 0x00},
       Results(2),
       2,
       4,
       0,
       true},
      {"zero address byte is refused", {0x00}, {aErrPacket}, 1, 0, 0, false},
      {"zero bytes before the address keep counting",
       {0x00, 0x00, 0x04},
       {aErrPacket, aErrPacket, aErrNone},
       3,
       4,
       0,
       false},
      {"length 29 is refused but stored", {0x04, 29}, {aErrNone, aErrPacket}, 2, 4, 29, false},
      {"length 28 completes with 30 bytes", Concat({0x04, 28}, Sequence(1, 28)), Results(30), 30, 4,
       28, true},
      {"31st byte of a 28-byte packet overruns", Concat({0x04, 28}, Sequence(1, 29)),
       Results(30, {aErrOverrun}), 31, 4, 28, false},
      {"8th byte of a 5-byte packet is refused", Concat({0x04, 5}, Sequence(1, 6)),
       Results(7, {aErrPacket}), 8, 4, 5, false},
      {"odd address is the assembler's to accept", {0x03, 0x01, 0xAA}, Results(3), 3, 3, 1, true},
  };
  for (const AssemblyRow& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(row.bytes.size(), row.results.size());
    PacketHolder holder(aPacket_Create());
    for (size_t i = 0; i < row.bytes.size(); ++i) {
      EXPECT_EQ(aPacket_AddByte(holder.packet, row.bytes[i]), row.results[i]) << "byte " << i;
    }
    EXPECT_EQ(holder.packet->byteCount, row.byteCount);
    EXPECT_EQ(holder.packet->address, row.address);
    EXPECT_EQ(holder.packet->dataSize, row.dataSize);
    EXPECT_EQ(aPacket_IsComplete(holder.packet), row.complete);
  }
}

TEST(PacketAssembly, DataBytesLandInOrder) {
  PacketHolder holder(aPacket_Create());
  const std::vector<uint8_t> bytes = Concat({0x06, 28}, Sequence(0x80, 28));
  for (uint8_t byte : bytes) ASSERT_EQ(aPacket_AddByte(holder.packet, byte), aErrNone);
  EXPECT_EQ(0, std::memcmp(holder.packet->data, bytes.data() + 2, 28));
}

TEST(PacketAssembly, InvalidPacketIsRefusedUntouched) {
  EXPECT_EQ(aPacket_AddByte(nullptr, 0x04), aErrParam);
  aPacket invalid = MakeRecord(0, {});
  invalid.check = 0;
  invalid.byteCount = 0;
  invalid.address = 0;
  EXPECT_EQ(aPacket_AddByte(&invalid, 0x04), aErrParam);
  EXPECT_EQ(invalid.byteCount, 0);
  EXPECT_EQ(invalid.address, 0);
}

TEST(PacketAssembly, OversizeLengthNeverStoresPastTheData) {
  PacketHolder holder(aPacket_Create());
  ASSERT_EQ(aPacket_AddByte(holder.packet, 0x04), aErrNone);
  ASSERT_EQ(aPacket_AddByte(holder.packet, 200), aErrPacket);
  // The partial packet is kept, as a framing layer that skips the rejected byte would.
  const std::vector<uint8_t> data = Sequence(0x30, 28);
  for (uint8_t byte : data) EXPECT_EQ(aPacket_AddByte(holder.packet, byte), aErrNone);
  EXPECT_EQ(0, std::memcmp(holder.packet->data, data.data(), 28));
  EXPECT_EQ(aPacket_AddByte(holder.packet, 0x77), aErrOverrun);
  EXPECT_EQ(holder.packet->data[27], data[27]);
}

TEST(PacketAssembly, CountSaturatesAndKeepsReportingOverrun) {
  PacketHolder holder(aPacket_Create());
  ASSERT_EQ(aPacket_AddByte(holder.packet, 0x04), aErrNone);
  ASSERT_EQ(aPacket_AddByte(holder.packet, 28), aErrNone);
  for (int i = 0; i < 28; ++i) ASSERT_EQ(aPacket_AddByte(holder.packet, 0x11), aErrNone);
  const aPacket before = *holder.packet;
  uint8_t previous = holder.packet->byteCount;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(aPacket_AddByte(holder.packet, static_cast<uint8_t>(i)), aErrOverrun) << i;
    ASSERT_GE(holder.packet->byteCount, previous) << i;
    previous = holder.packet->byteCount;
  }
  EXPECT_EQ(holder.packet->byteCount, 255);
  EXPECT_EQ(holder.packet->address, before.address);
  EXPECT_EQ(holder.packet->dataSize, before.dataSize);
  EXPECT_EQ(0, std::memcmp(holder.packet->data, before.data, sizeof(before.data)));
}

TEST(PacketAssembly, RecordWithHeaderButNoCountTakesNoDataByte) {
  aPacket record = MakeRecord(5, {1, 2, 3, 4, 5});
  record.byteCount = 0;
  const aPacket before = record;
  EXPECT_EQ(aPacket_AddByte(&record, 0x99), aErrPacket);
  EXPECT_EQ(record.address, before.address);
  EXPECT_EQ(record.dataSize, before.dataSize);
  EXPECT_EQ(0, std::memcmp(record.data, before.data, sizeof(before.data)));
}

TEST(PacketGetBytes, WireFormAndBufferSizes) {
  const std::vector<uint8_t> data = Sequence(0x21, 7);
  PacketHolder holder(aPacket_CreateWithData(0x0C, 7, data.data()));
  struct Row {
    size_t size;
    aErr result;
  };
  const Row rows[] = {{9, aErrNone}, {8, aErrOverrun}, {0, aErrOverrun}, {64, aErrNone}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.size);
    // Sized exactly, so a write past the buffer is caught by the address sanitizer.
    std::vector<uint8_t> buffer(row.size == 0 ? 1 : row.size, 0xAA);
    size_t written = 12345;
    EXPECT_EQ(aPacket_GetBytes(holder.packet, buffer.data(), row.size, &written), row.result);
    if (row.result == aErrNone) {
      EXPECT_EQ(written, 9u);
      EXPECT_EQ(buffer[0], 0x0C);
      EXPECT_EQ(buffer[1], 7);
      EXPECT_EQ(0, std::memcmp(buffer.data() + 2, data.data(), 7));
      for (size_t i = 9; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xAA) << i;
    } else {
      EXPECT_EQ(written, 12345u);
      for (uint8_t byte : buffer) EXPECT_EQ(byte, 0xAA);
    }
  }
}

TEST(PacketGetBytes, ZeroLengthAndLargestPackets) {
  const std::vector<uint8_t> data = Sequence(1, 28);
  for (uint8_t length : {uint8_t{0}, uint8_t{28}}) {
    SCOPED_TRACE(int(length));
    PacketHolder holder(aPacket_CreateWithData(0x02, length, data.data()));
    std::vector<uint8_t> buffer(length + 2u);
    ASSERT_EQ(aPacket_GetBytes(holder.packet, buffer.data(), buffer.size(), nullptr), aErrNone);
    EXPECT_EQ(buffer[1], length);
  }
}

TEST(PacketGetBytes, RefusesBadArgumentsAndOversizeLengths) {
  uint8_t buffer[300];
  std::memset(buffer, 0xAA, sizeof(buffer));
  size_t written = 7;
  EXPECT_EQ(aPacket_GetBytes(nullptr, buffer, sizeof(buffer), &written), aErrParam);
  aPacket good = MakeRecord(2, {1, 2});
  EXPECT_EQ(aPacket_GetBytes(&good, nullptr, 64, &written), aErrParam);
  aPacket invalid = good;
  invalid.check = 0;
  EXPECT_EQ(aPacket_GetBytes(&invalid, buffer, sizeof(buffer), &written), aErrParam);

  for (uint8_t length : {uint8_t{29}, uint8_t{30}, uint8_t{253}, uint8_t{255}}) {
    SCOPED_TRACE(int(length));
    aPacket oversize = MakeRecord(length, Sequence(1, 28));
    // Even when it counts as complete, its data would lie past the record.
    EXPECT_EQ(aPacket_GetBytes(&oversize, buffer, sizeof(buffer), &written), aErrPacket);
  }
  EXPECT_EQ(written, 7u);
  for (uint8_t byte : buffer) ASSERT_EQ(byte, 0xAA);
}

TEST(PacketDestroy, FreesAndClearsThePointer) {
  aPacket* packet = aPacket_Create();
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
  EXPECT_EQ(packet, nullptr);
  EXPECT_EQ(aPacket_Destroy(&packet), aErrParam);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
  // The check word is not looked at.
  packet = aPacket_Create();
  ASSERT_NE(packet, nullptr);
  packet->check = 0;
  EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
  EXPECT_EQ(packet, nullptr);
}

TEST(UEIByteOrder, BigEndianValues) {
  struct Row {
    uint32_t value;
    uint8_t bytes[4];
  };
  const Row rows[] = {{0x01020304u, {1, 2, 3, 4}},
                      {0xFFFFFFFFu, {0xFF, 0xFF, 0xFF, 0xFF}},
                      {0x80000001u, {0x80, 0, 0, 1}},
                      {0, {0, 0, 0, 0}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value);
    EXPECT_EQ(aUEI_RetrieveInt(row.bytes), row.value);
    uint8_t out[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    aUEI_StoreInt(out + 1, row.value);
    EXPECT_EQ(0, std::memcmp(out + 1, row.bytes, 4));
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(out[5], 0xEE);

    const uint16_t shortValue = static_cast<uint16_t>(row.value);
    EXPECT_EQ(aUEI_RetrieveShort(row.bytes + 2), shortValue);
    uint8_t shortOut[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    aUEI_StoreShort(shortOut + 1, shortValue);
    EXPECT_EQ(0, std::memcmp(shortOut + 1, row.bytes + 2, 2));
    EXPECT_EQ(shortOut[0], 0xEE);
    EXPECT_EQ(shortOut[3], 0xEE);
  }
}

TEST(UEIByteOrder, ModifyIntBufferConvertsInPlace) {
  const uint8_t raw[] = {0x00, 0x00, 0x00, 0x2A, 0xDE, 0xAD, 0xBE, 0xEF, 0x12, 0x34, 0x56, 0x78};
  uint32_t words[3];
  std::memcpy(words, raw, sizeof(words));
  aUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(words[0], 0x2Au);
  EXPECT_EQ(words[1], 0xDEADBEEFu);
  uint32_t untouched;
  std::memcpy(&untouched, raw + 8, sizeof(untouched));
  EXPECT_EQ(words[2], untouched);
  aUEI_ModifyIntBuffer(words, 0);
  EXPECT_EQ(words[0], 0x2Au);
  aUEI_ModifyIntBuffer(nullptr, 3);
}

struct TrailerRow {
  const char* what;
  aPacket record;
  bool null;
  uint8_t sequence;
  bool more;
  bool full;
};

TEST(UEITrailer, SequenceContinueAndFullSize) {
  std::vector<uint8_t> full = Sequence(1, 28);
  full[27] = 0x85;
  std::vector<uint8_t> short27 = Sequence(1, 27);
  short27[26] = 0x7F;
  const TrailerRow rows[] = {
      {"more follows, sequence 5", MakeRecord(3, {0x10, 0x20, 0x85}), false, 5, true, false},
      {"last chunk, sequence 127", MakeRecord(1, {0x7F}), false, 127, false, false},
      {"one byte with the more flag", MakeRecord(1, {0xFF}), false, 127, true, false},
      {"28 bytes", MakeRecord(28, full), false, 5, true, true},
      {"27 bytes", MakeRecord(27, short27), false, 127, false, true},
      {"26 bytes", MakeRecord(26, Sequence(1, 26)), false, 26, false, false},
      // No trailer: the length byte (0) reads as sequence 0 without the more flag.
      {"zero-length with stale data", MakeRecord(0, {0xFF, 0xFF}), false, 0, false, false},
      {"oversize length 29", MakeRecord(29, std::vector<uint8_t>(28, 0xFF)), false, 0, false,
       false},
      {"oversize length 255", MakeRecord(255, std::vector<uint8_t>(28, 0xFF)), false, 0, false,
       false},
      {"null packet", aPacket{}, true, 0, false, false},
  };
  for (const TrailerRow& row : rows) {
    SCOPED_TRACE(row.what);
    const aPacket* packet = row.null ? nullptr : &row.record;
    EXPECT_EQ(aUEI_getBytesSequence(packet), row.sequence);
    EXPECT_EQ(aUEI_getBytesContinue(packet), row.more);
    EXPECT_EQ(aUEI_getBytesFullPacket(packet), row.full);
  }
}

TEST(UEIPayload, CommandClasses) {
  const uint8_t notUEI[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
  for (int command = 0; command < 256; ++command) {
    bool listed = false;
    for (uint8_t c : notUEI) listed = listed || c == command;
    const aPacket packet = MakeRecord(3, {static_cast<uint8_t>(command), 0, 0});
    EXPECT_EQ(aUEI_isNotUEIPayload(&packet), listed) << command;
    EXPECT_EQ(aUEI_isUEIPayload(&packet), !listed) << command;
  }
  // The packet tests do not look at the check word.
  aPacket unchecked = MakeRecord(3, {3, 0, 0});
  unchecked.check = 0;
  EXPECT_TRUE(aUEI_isUEIPayload(&unchecked));
}

TEST(UEIPayload, NullZeroLengthAndOversizePackets) {
  EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
  EXPECT_FALSE(aUEI_isUEIPayload(nullptr));
  EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
  struct Row {
    const char* what;
    aPacket record;
  };
  const Row rows[] = {
      {"zero-length, stale UEI command byte", MakeRecord(0, {3, 0x01, 0x40})},
      {"length 29, UEI-looking bytes", MakeRecord(29, Concat({3, 0x01, 0x40}, Sequence(1, 25)))},
      {"length 255, UEI-looking bytes", MakeRecord(255, Concat({3, 0x01, 0x40}, Sequence(1, 25)))},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_TRUE(aUEI_isNotUEIPayload(&row.record));
    EXPECT_FALSE(aUEI_isUEIPayload(&row.record));
    EXPECT_FALSE(aUEI_isStreamPacket(&row.record));
  }
}

TEST(UEIPayload, StreamPackets) {
  struct Row {
    const char* what;
    aPacket record;
    bool stream;
  };
  const Row rows[] = {
      {"5-byte UEI, option 1, specifier 0x40", MakeRecord(5, {3, 0x01, 0x40, 0, 0}), true},
      {"28-byte UEI stream sample", MakeRecord(28, Concat({18, 0x3F, 0x5F}, Sequence(1, 25))),
       true},
      {"option bit 6 set", MakeRecord(5, {3, 0x41, 0x40, 0, 0}), false},
      {"option bit 7 set", MakeRecord(5, {3, 0x81, 0x40, 0, 0}), false},
      {"specifier bit 6 clear", MakeRecord(5, {3, 0x01, 0xBF, 0, 0}), false},
      {"only 4 data bytes", MakeRecord(4, {3, 0x01, 0x40, 0}), false},
      {"not a UEI command", MakeRecord(5, {95, 0x01, 0x40, 0, 0}), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(aUEI_isStreamPacket(&row.record), row.stream);
  }
}

// Feeds a long seeded-random byte run through the assembler as a reader would, checking that
// each byte changes at most one field besides the count, that the count only grows until the
// packet is taken away, and that completed packets come back byte for byte.
class AssemblerRun : public testing::TestWithParam<bool> {};

TEST_P(AssemblerRun, RandomBytesKeepTheRecordSound) {
  const bool resetOnError = GetParam();
  constexpr size_t kBytes = 200000;
  constexpr uint32_t kSeed = 20240611u;
  // Keeping partial packets needs an occasional reset (a new frame) to leave an overrun.
  constexpr uint32_t kKeepModeResetPer = 400;
  std::mt19937 random(kSeed);
  std::uniform_int_distribution<int> anyByte(0, 255);
  std::uniform_int_distribution<int> smallLength(0, 28);
  std::uniform_int_distribution<uint32_t> chance(0, kKeepModeResetPer - 1);

  PacketHolder holder(aPacket_Create());
  aPacket* packet = holder.packet;
  std::vector<uint8_t> accepted;  // bytes taken since the last reset
  size_t completed = 0, overruns = 0, refused = 0, saturated = 0, oversizeComplete = 0;

  auto takeAway = [&] {
    ASSERT_EQ(aPacket_Reset(packet), aErrNone);
    accepted.clear();
  };

  for (size_t i = 0; i < kBytes; ++i) {
    // Bias towards plausible length bytes so that many packets complete.
    uint8_t byte = static_cast<uint8_t>(anyByte(random));
    if (packet->address != 0 && packet->dataSize == 0 && (byte & 1))
      byte = static_cast<uint8_t>(smallLength(random));

    const aPacket before = *packet;
    const aErr result = aPacket_AddByte(packet, byte);
    ASSERT_TRUE(result == aErrNone || result == aErrOverrun || result == aErrPacket)
        << "byte " << i << " gave " << int(result);

    ASSERT_EQ(packet->check, aPACKETCHECK);
    ASSERT_GE(packet->byteCount, before.byteCount) << "count wrapped at byte " << i;
    int changed = (packet->address != before.address) + (packet->dataSize != before.dataSize);
    for (size_t d = 0; d < sizeof(packet->data); ++d) {
      if (packet->data[d] != before.data[d]) {
        ++changed;
        ASSERT_EQ(d + 3, packet->byteCount) << "data byte stored out of place at byte " << i;
      }
    }
    ASSERT_LE(changed, 1) << "byte " << i;

    if (result == aErrNone) accepted.push_back(byte);
    if (result == aErrOverrun) ++overruns;
    if (packet->byteCount == UINT8_MAX) ++saturated;
    if (result == aErrPacket) ++refused;

    if (aPacket_IsComplete(packet)) {
      std::vector<uint8_t> wire(aPACKETMAXBYTES);
      size_t written = 0;
      const aErr got = aPacket_GetBytes(packet, wire.data(), wire.size(), &written);
      if (packet->dataSize <= aPACKETMAXDATA) {
        ASSERT_EQ(got, aErrNone);
        ASSERT_EQ(written, packet->dataSize + 2u);
        wire.resize(written);
        ASSERT_EQ(wire[0], packet->address);
        ASSERT_EQ(wire[1], packet->dataSize);
        ASSERT_EQ(0, std::memcmp(wire.data() + 2, packet->data, packet->dataSize));
        // A refused byte still counts, so kept partial packets need not match the bytes taken.
        if (resetOnError) {
          ASSERT_EQ(wire, accepted) << "byte " << i;
        }
        PacketHolder copy(aPacket_Copy(packet));
        ASSERT_NE(copy.packet, nullptr);
        std::vector<uint8_t> copyWire(aPACKETMAXBYTES);
        ASSERT_EQ(aPacket_GetBytes(copy.packet, copyWire.data(), copyWire.size(), &written),
                  aErrNone);
        copyWire.resize(written);
        ASSERT_EQ(copyWire, wire);
        ++completed;
      } else {
        // Only reachable when partial packets are kept after a refused length byte.
        ASSERT_FALSE(resetOnError);
        ASSERT_EQ(got, aErrPacket);
        ++oversizeComplete;
      }
      takeAway();
    } else if (result != aErrNone && resetOnError) {
      takeAway();
    } else if (!resetOnError && chance(random) == 0) {
      takeAway();
    }
  }
  EXPECT_GT(completed, 100u);
  EXPECT_GT(refused, 0u);
  if (!resetOnError) {
    // The run reaches the overrun, the saturated count and oversize "complete" packets.
    EXPECT_GT(overruns, 0u);
    EXPECT_GT(saturated, 0u);
    EXPECT_GT(oversizeComplete, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Readers, AssemblerRun, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& param) {
                           return param.param ? std::string("ResetOnError")
                                              : std::string("KeepPartialPacket");
                         });

}  // namespace
