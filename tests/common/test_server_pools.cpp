// The sharing broker's byte-string pools and long answers: a UEI byte write that a client
// sends in pieces reaches the module whole, with nothing of another client between its pieces,
// and is answered once; a write that is abandoned, broken, too long or over the bounds of
// pending writes reaches the module not at all (its last piece alone, which is answered to its
// sender); answers of several full-size pieces reach their client piece by piece, up to 900.
#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "broker_test_support.h"

namespace {

using brokertest::BrokerOnModule;
using brokertest::Bytes;
using brokertest::ByteWrite;
using brokertest::Client;
using brokertest::Counting;
using brokertest::Echo;
using brokertest::kModule;
using brokertest::kNameOption;
using brokertest::kSilenceMs;
using brokertest::kSystemCommand;
using brokertest::NameGet;
using brokertest::NameSetAck;
using brokertest::Packet;

constexpr size_t kChunk = 24;           // value bytes in a full piece
constexpr size_t kFullPieceBytes = 30;  // a full piece as a frame
constexpr uint8_t kPowerOption = 31;    // another writable byte string of the system entity
constexpr size_t kMostPieces = 900;     // of a pooled write, and of an answer
constexpr int kPoolIdleMs = 2000;       // a pool ends after this long without a piece
constexpr int kPastPoolIdleMs = kPoolIdleMs + 500;
constexpr size_t kOtherClientEvery = 25;   // pieces between two requests of the other client
constexpr size_t kMostPoolsOfAClient = 8;  // pending writes the broker keeps for one client
constexpr size_t kMostPools = 64;          // ... and for all clients
constexpr uint8_t kSerialOption = 9;       // the system entity's serial number
constexpr uint8_t kSequenceError = 21;     // the module's answer to a piece out of sequence

// A value of that many full pieces and a last one with `rest` bytes.
Bytes ValueOf(size_t fullPieces, size_t rest, uint8_t first = 1) {
  return Counting(fullPieces * kChunk + rest, first);
}

std::vector<Bytes> Slice(const std::vector<Bytes>& pieces, size_t from, size_t to) {
  return {pieces.begin() + static_cast<std::ptrdiff_t>(from),
          pieces.begin() + static_cast<std::ptrdiff_t>(to)};
}

Bytes PowerSetAck() { return Packet(kModule, {kSystemCommand, kPowerOption | 0xC0, 0}); }
Bytes NameSetError(uint8_t code) {
  return Packet(kModule, {kSystemCommand, kNameOption | 0xC0, 0x80, code});
}
Bytes SerialGet() { return Packet(kModule, {kSystemCommand, kSerialOption | 0x40, 0x20}); }
Bytes SerialAnswer() {
  const uint32_t serial = brokertest::kSerial;
  return Packet(kModule, {kSystemCommand, kSerialOption, 0, static_cast<uint8_t>(serial >> 24),
                          static_cast<uint8_t>(serial >> 16), static_cast<uint8_t>(serial >> 8),
                          static_cast<uint8_t>(serial)});
}

class BrokerPools : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(broker_.ready()) << broker_.error(); }
  void* context() const { return broker_.context(); }
  uint16_t port() const { return broker_.port(); }

  // The module's name as the client reads it back through the broker.
  Bytes readName(Client& client, size_t pieces) {
    client.send(NameGet());
    return brokertest::StringOf(client.receiveMany(pieces));
  }
  // True when the module received the pieces one right after the other.
  bool moduleGotWhole(const std::vector<Bytes>& pieces) {
    if (!broker_.moduleGot(pieces.back())) return false;
    const std::vector<Bytes> received = broker_.receivedFrom(pieces.front());
    return received.size() >= pieces.size() && Slice(received, 0, pieces.size()) == pieces;
  }
  // True when the module received none of the pieces (checked once a later request of the
  // client was answered, so that they would have arrived).
  bool moduleGotNone(const std::vector<Bytes>& pieces) {
    const std::vector<kvsim::Record> records = broker_.sim().dump();
    for (const Bytes& piece : pieces) {
      if (kvsim::countRecords(records, kvsim::Direction::In, piece) != 0) return false;
    }
    return true;
  }

  BrokerOnModule broker_;
};

TEST_F(BrokerPools, ALongWriteReachesTheModuleWholeAndGetsItsOneAnswer) {
  // 200 full pieces (sequence numbers 0 to 127, then 0 to 71) and a short last one.
  const Bytes value = ValueOf(200, 5);
  const std::vector<Bytes> pieces = ByteWrite(kSystemCommand, kNameOption, 0, value);
  ASSERT_EQ(pieces.size(), 201u);
  Client writer(context(), port());
  Client other(context(), port());
  for (size_t i = 0; i < pieces.size(); ++i) {
    writer.send(pieces[i]);
    if (i % kOtherClientEvery == 0) {
      other.send(Echo(2, static_cast<uint8_t>(i)));
      EXPECT_EQ(other.receive(), Echo(2, static_cast<uint8_t>(i)));
    }
  }
  EXPECT_EQ(writer.receive(), NameSetAck());
  EXPECT_TRUE(writer.receiveFor(kSilenceMs).empty());
  EXPECT_TRUE(moduleGotWhole(pieces));

  // Read back: an answer of 201 pieces, each its own frame.
  EXPECT_EQ(readName(writer, pieces.size()), value);
  EXPECT_TRUE(writer.receiveFor(kSilenceMs).empty());
  EXPECT_EQ(writer.multipartMessages(), 0);
}

TEST_F(BrokerPools, AnAnswerOfFourPiecesReachesItsClientAsFourFrames) {
  const Bytes value = ValueOf(3, 8);
  ASSERT_TRUE(broker_.sim().command("UEISET 3:0:32 " + brokertest::Hex(value)));
  Client reader(context(), port());
  Client other(context(), port());
  reader.send(NameGet());
  other.send(Echo(2));
  const std::vector<Bytes> answer = reader.receiveMany(4);
  ASSERT_EQ(answer.size(), 4u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(answer[i].size(), kFullPieceBytes);
    EXPECT_NE(answer[i].back() & 0x80, 0) << "piece " << i << " says more follow";
  }
  EXPECT_EQ(answer[3].back(), 3) << "the last piece, number 3, says none follow";
  EXPECT_EQ(brokertest::StringOf(answer), value);
  EXPECT_EQ(other.receive(), Echo(2));
  EXPECT_TRUE(reader.receiveFor(kSilenceMs).empty());
  EXPECT_TRUE(other.receiveFor(kSilenceMs).empty());
}

TEST_F(BrokerPools, AnAbandonedWriteReachesNothingAndItsClientGoesOn) {
  const std::vector<Bytes> pieces = ByteWrite(kSystemCommand, kNameOption, 0, ValueOf(9, 4));
  Client writer(context(), port());
  Client other(context(), port());
  writer.sendEach(Slice(pieces, 0, 5));
  other.send(Echo(2));
  EXPECT_EQ(other.receive(), Echo(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(kPastPoolIdleMs));

  const std::vector<Bytes> fresh = ByteWrite(kSystemCommand, kNameOption, 0, {7, 8, 9});
  writer.sendEach(fresh);
  EXPECT_EQ(writer.receive(), NameSetAck());
  EXPECT_TRUE(moduleGotWhole(fresh));
  EXPECT_TRUE(moduleGotNone(Slice(pieces, 0, 5)));
  EXPECT_EQ(readName(writer, 1), Bytes({7, 8, 9}));
}

// Broken at piece 50 of 201: the rest, its second run of sequence numbers from 0 included, is
// swallowed up to the last piece.
TEST_F(BrokerPools, APieceOutOfSequenceDropsTheWholeWrite) {
  const std::vector<Bytes> pieces = ByteWrite(kSystemCommand, kNameOption, 0, ValueOf(200, 5));
  Client writer(context(), port());
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i != 50) writer.send(pieces[i]);
  }
  writer.send(Echo(1));
  EXPECT_EQ(writer.receive(), Echo(1));
  EXPECT_TRUE(writer.receiveFor(kSilenceMs).empty());
  EXPECT_TRUE(moduleGotNone(pieces));

  const std::vector<Bytes> next = ByteWrite(kSystemCommand, kNameOption, 0, ValueOf(2, 3, 0x40));
  writer.sendEach(next);
  EXPECT_EQ(writer.receive(), NameSetAck());
  EXPECT_TRUE(moduleGotWhole(next));
}

TEST_F(BrokerPools, ANewFirstPieceReplacesThePendingWrite) {
  const std::vector<Bytes> abandoned = ByteWrite(kSystemCommand, kNameOption, 0, ValueOf(4, 1));
  const std::vector<Bytes> written = ByteWrite(kSystemCommand, kNameOption, 0, ValueOf(3, 2, 0x80));
  Client writer(context(), port());
  writer.sendEach(Slice(abandoned, 0, 3));
  writer.sendEach(written);
  EXPECT_EQ(writer.receive(), NameSetAck());
  EXPECT_TRUE(writer.receiveFor(kSilenceMs).empty());
  EXPECT_TRUE(moduleGotWhole(written));
  EXPECT_TRUE(moduleGotNone(Slice(abandoned, 0, 3)));
}

TEST_F(BrokerPools, OtherRequestsOfTheClientGoOnWhileItsWritesArePending) {
  const std::vector<Bytes> name = ByteWrite(kSystemCommand, kNameOption, 0, ValueOf(5, 6));
  const std::vector<Bytes> power = ByteWrite(kSystemCommand, kPowerOption, 0, ValueOf(3, 1, 0x90));
  Client writer(context(), port());
  writer.sendEach(Slice(name, 0, 3));
  writer.send(Echo(1));
  EXPECT_EQ(writer.receive(), Echo(1)) << "answered while the write waits for its rest";
  writer.sendEach(Slice(power, 0, 2));
  writer.sendEach(Slice(name, 3, name.size()));
  EXPECT_EQ(writer.receive(), NameSetAck());
  writer.sendEach(Slice(power, 2, power.size()));
  EXPECT_EQ(writer.receive(), PowerSetAck());
  EXPECT_TRUE(moduleGotWhole(name));
  EXPECT_TRUE(moduleGotWhole(power));
}

TEST_F(BrokerPools, AWriteOfMoreThan900PiecesIsDroppedAndOneOf900Passes) {
  Client writer(context(), port());
  const std::vector<Bytes> tooLong =
      ByteWrite(kSystemCommand, kNameOption, 0, ValueOf(kMostPieces, 1));
  ASSERT_EQ(tooLong.size(), kMostPieces + 1);
  writer.sendEach(tooLong);
  writer.send(Echo(1));
  EXPECT_EQ(writer.receive(), Echo(1));
  EXPECT_TRUE(moduleGotNone(Slice(tooLong, 0, 3)));

  const std::vector<Bytes> longest =
      ByteWrite(kSystemCommand, kNameOption, 0, ValueOf(kMostPieces - 1, 1, 0x33));
  ASSERT_EQ(longest.size(), kMostPieces);
  writer.sendEach(longest);
  EXPECT_EQ(writer.receive(), NameSetAck());
  EXPECT_TRUE(moduleGotWhole(longest));
}

// A continuing piece that no pending write takes (its first piece never came, or its write
// ended after 2 s without a piece) is swallowed: the module's answer to it would go to the
// next request's client. The write's last piece is a request of its own, answered to its
// sender.
TEST_F(BrokerPools, AContinuingPieceOfNoPendingWriteIsSwallowed) {
  constexpr int kRounds = 3;
  const std::vector<Bytes> pieces = ByteWrite(kSystemCommand, kNameOption, 0, ValueOf(9, 4));
  struct Case {
    const char* what;
    bool firstPieceSent;  // and its write ended
    size_t lone;          // the continuing piece sent
  };
  const Case cases[] = {
      {"its first piece never came", false, 5},
      {"its write ended without a piece for 2 s", true, 1},
  };
  Client writer(context(), port());
  Client asker(context(), port());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int round = 0; round < kRounds; ++round) {
      if (c.firstPieceSent) {
        writer.send(pieces[0]);
        std::this_thread::sleep_for(std::chrono::milliseconds(kPastPoolIdleMs));
      }
      writer.send(pieces[c.lone]);
      asker.send(SerialGet());
      EXPECT_EQ(asker.receive(), SerialAnswer()) << "round " << round;
      EXPECT_TRUE(asker.receiveFor(kSilenceMs).empty());
      writer.send(pieces.back());
      EXPECT_EQ(writer.receive(), NameSetError(kSequenceError));
      EXPECT_TRUE(writer.receiveFor(kSilenceMs).empty());
    }
    EXPECT_EQ(broker_.moduleCount(pieces[0]), 0u);
    EXPECT_EQ(broker_.moduleCount(pieces[c.lone]), 0u);
  }
}

// A first piece over the bounds of pending writes (8 of one client, 64 in all) starts none: the
// rest of its write is swallowed up to the last piece, which goes to the module alone and is
// answered to its sender. Once a pending write is complete another may start.
TEST_F(BrokerPools, AWriteOverTheBoundsOfPendingWritesIsSwallowed) {
  struct Case {
    const char* what;
    size_t fillers;    // clients with kMostPoolsOfAClient pending writes each
    bool writerFills;  // the writer is the first of them
  };
  const Case cases[] = {
      {"8 of its client", 1, true},
      {"64 of all clients", kMostPools / kMostPoolsOfAClient, false},
  };
  for (size_t k = 0; k < std::size(cases); ++k) {
    const Case& c = cases[k];
    SCOPED_TRACE(c.what);
    // The first pieces of the pending writes: the power configuration's, which the first filler
    // completes later, and those of writes to options that the module never sees.
    const std::vector<Bytes> power =
        ByteWrite(kSystemCommand, kPowerOption, 0, ValueOf(2, 1, static_cast<uint8_t>(0x60 + k)));
    std::vector<Bytes> firstPieces{power[0]};
    for (uint8_t option = 0; firstPieces.size() < kMostPoolsOfAClient; ++option)
      firstPieces.push_back(ByteWrite(kSystemCommand, option, 0, ValueOf(2, 1))[0]);
    std::vector<std::unique_ptr<Client>> fillers;
    for (size_t i = 0; i < c.fillers; ++i)
      fillers.push_back(std::make_unique<Client>(context(), port()));
    auto other = std::make_unique<Client>(context(), port());
    Client& writer = c.writerFills ? *fillers[0] : *other;
    for (auto& filler : fillers) {
      filler->sendEach(firstPieces);
      // Answered once the broker took the pieces sent before it.
      filler->send(Echo(9));
      ASSERT_EQ(filler->receive(), Echo(9));
    }

    const std::vector<Bytes> over =
        ByteWrite(kSystemCommand, kNameOption, 0, ValueOf(2, 3, static_cast<uint8_t>(0x20 + k)));
    writer.sendEach(over);
    EXPECT_EQ(writer.receive(), NameSetError(kSequenceError));
    EXPECT_TRUE(moduleGotNone(Slice(over, 0, over.size() - 1)));
    EXPECT_EQ(broker_.moduleCount(over.back()), 1u);

    fillers[0]->sendEach(Slice(power, 1, power.size()));
    EXPECT_EQ(fillers[0]->receive(), PowerSetAck());
    EXPECT_TRUE(moduleGotWhole(power));
    const std::vector<Bytes> within =
        ByteWrite(kSystemCommand, kNameOption, 0, ValueOf(2, 3, static_cast<uint8_t>(0x40 + k)));
    writer.sendEach(within);
    EXPECT_EQ(writer.receive(), NameSetAck());
    EXPECT_TRUE(moduleGotWhole(within));
    EXPECT_TRUE(writer.receiveFor(kSilenceMs).empty());
    // The pending writes end before the next case.
    std::this_thread::sleep_for(std::chrono::milliseconds(kPastPoolIdleMs));
  }
}

// A longer answer would overflow a client link's input queue: its client gets the first 900
// pieces, and the rest never reaches the next request's client.
TEST_F(BrokerPools, AnAnswerStopsAfter900Pieces) {
  const Bytes value = ValueOf(kMostPieces + 1, 3);
  ASSERT_TRUE(broker_.sim().command("UEISET 3:0:32 " + brokertest::Hex(value)));
  Client reader(context(), port());
  Client other(context(), port());
  reader.send(NameGet());
  const std::vector<Bytes> answer = reader.receiveMany(kMostPieces);
  ASSERT_EQ(answer.size(), kMostPieces);
  EXPECT_EQ(brokertest::StringOf(answer),
            Bytes(value.begin(), value.begin() + kMostPieces * kChunk));
  other.send(Echo(2));
  EXPECT_EQ(other.receive(), Echo(2));
  EXPECT_TRUE(reader.receiveFor(kSilenceMs).empty());
  EXPECT_TRUE(other.receiveFor(kSilenceMs).empty());
}

}  // namespace
