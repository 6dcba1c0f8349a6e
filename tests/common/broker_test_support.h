// Shared by the sharing broker's tests: a client of the sharing protocol written on plain
// libzmq (a DEALER, as any peer of the broker would be), the packets such a client sends, and
// a broker in front of a real core link to the stand-in module program over TCP loopback.
//
//   brokertest::BrokerOnModule broker({"--uei"});
//   ASSERT_TRUE(broker.ready()) << broker.error();
//   brokertest::Client client(broker.context(), broker.port());
//   client.send(brokertest::Echo(1));
//   EXPECT_EQ(client.receive(), brokertest::Echo(1));
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <zmq.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "aLink.h"
#include "aLinkTable.h"
#include "aPacketFifo.h"
#include "aServer.h"
#include "link_test_support.h"
#include "sim_module_process.h"

namespace brokertest {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kModule = 2;                // the stand-in's module address
constexpr uint8_t kModel = 0x11;              // its model
constexpr uint32_t kSerial = 0x00B0C0DE;      // its serial number
constexpr uint8_t kEchoCommand = 23;          // the stand-in echoes these packets
constexpr uint8_t kUnansweredCommand = 0x77;  // ... and answers none of these
constexpr int kAnswerWaitMs = 5000;           // longest wait for a frame that is due
constexpr int kSilenceMs = 300;               // how long a check that nothing (more) comes listens
constexpr int kBrokerAnswerMs = 2000;         // the broker's wait for a module's answer
constexpr int kBrokerGiveUpMs = kBrokerAnswerMs + 500;  // from a request until it gave up
constexpr int kPollMs = 2;                              // ms between the tries of a poll

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// [address][length][data]. Built byte by byte: g++ 12 warns wrongly about an insert here.
inline Bytes Packet(uint8_t address, const Bytes& data) {
  Bytes packet(data.size() + 2);
  packet[0] = address;
  packet[1] = static_cast<uint8_t>(data.size());
  for (size_t i = 0; i < data.size(); ++i) packet[i + 2] = data[i];
  return packet;
}

// [2][3][23][client][n]: the stand-in answers with the same packet.
inline Bytes Echo(uint8_t client, uint8_t n = 0) {
  return Packet(kModule, {kEchoCommand, client, n});
}

// A request the stand-in does not answer.
inline Bytes Unanswered(uint8_t n = 0) { return Packet(kModule, {kUnansweredCommand, n}); }

// The pieces of a UEI byte-string set as the class interface sends them:
// [command][option | 0x80][index | 0x20][up to 24 bytes][sequence | 0x80 while more follow].
inline std::vector<Bytes> ByteWrite(uint8_t command, uint8_t option, uint8_t index,
                                    const Bytes& value, uint8_t module = kModule) {
  constexpr size_t kChunk = 24;
  std::vector<Bytes> pieces;
  size_t sent = 0;
  unsigned number = 0;
  do {
    const size_t n = std::min(value.size() - sent, kChunk);
    Bytes data(n + 4);
    data[0] = command;
    data[1] = static_cast<uint8_t>(option | 0x80);
    data[2] = static_cast<uint8_t>(index | 0x20);
    for (size_t i = 0; i < n; ++i) data[3 + i] = value[sent + i];
    sent += n;
    uint8_t sequence = static_cast<uint8_t>(number++ & 0x7F);
    if (sent < value.size()) sequence |= 0x80;
    data[3 + n] = sequence;
    pieces.push_back(Packet(module, data));
  } while (sent < value.size());
  return pieces;
}

// n bytes counting up from first.
inline Bytes Counting(size_t n, uint8_t first = 1) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

// The system entity's module name (command 3, option 32), a writable byte string.
constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kNameOption = 32;
inline Bytes NameGet() { return Packet(kModule, {kSystemCommand, kNameOption | 0x40, 0x20}); }
inline Bytes NameSetAck() { return Packet(kModule, {kSystemCommand, kNameOption | 0xC0, 0}); }

// The bytes of a byte string read back from its answer pieces [3][32][0][bytes][sequence].
inline Bytes StringOf(const std::vector<Bytes>& pieces) {
  Bytes bytes;
  for (const Bytes& piece : pieces) {
    if (piece.size() < 6) return {};
    for (size_t i = 5; i + 1 < piece.size(); ++i) bytes.push_back(piece[i]);
  }
  return bytes;
}

// Upper-case hex digits, as the stand-in's control commands take bytes.
inline std::string Hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

// One ZeroMQ context of plain libzmq for a test's clients; ended with the test.
class Context {
 public:
  Context() : context_(zmq_ctx_new()) {}
  ~Context() {
    if (context_ != nullptr) zmq_ctx_term(context_);
  }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  void* get() const { return context_; }

 private:
  void* context_;
};

// A DEALER client of the broker. Every message it gets must be one frame; a message of more
// frames is counted in multipartMessages().
class Client {
 public:
  // Connects to address:port; routingId, when not empty, is the identity the broker sees.
  Client(void* context, uint16_t port, const std::string& routingId = "",
         const std::string& address = "127.0.0.1")
      : socket_(zmq_socket(context, ZMQ_DEALER)) {
    if (socket_ == nullptr) return;
    const int linger = 0;
    zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger);
    if (!routingId.empty())
      zmq_setsockopt(socket_, ZMQ_ROUTING_ID, routingId.data(), routingId.size());
    const std::string endpoint = "tcp://" + address + ":" + std::to_string(port);
    connected_ = zmq_connect(socket_, endpoint.c_str()) == 0;
  }
  ~Client() { close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }
  void* socket() const { return socket_; }

  // One message of one frame per part given.
  bool send(const Bytes& frame) { return sendParts({frame}); }
  bool sendParts(const std::vector<Bytes>& parts) {
    for (size_t i = 0; i < parts.size(); ++i) {
      const int more = i + 1 < parts.size() ? ZMQ_SNDMORE : 0;
      if (zmq_send(socket_, parts[i].data(), parts[i].size(), more) < 0) return false;
    }
    return true;
  }
  // Each frame as a message of its own.
  bool sendEach(const std::vector<Bytes>& frames) {
    for (const Bytes& frame : frames) {
      if (!send(frame)) return false;
    }
    return true;
  }

  // The frame of the next message; nullopt when none comes within timeoutMs.
  std::optional<Bytes> receive(int timeoutMs = kAnswerWaitMs) {
    zmq_pollitem_t item{socket_, 0, ZMQ_POLLIN, 0};
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left < 0) return std::nullopt;
      const int ready = zmq_poll(&item, 1, static_cast<long>(left));
      if (ready > 0) break;
      if (ready < 0 && zmq_errno() != EINTR) return std::nullopt;
    }
    Bytes frame;
    bool first = true;
    int more = 0;
    do {
      zmq_msg_t part;
      zmq_msg_init(&part);
      if (zmq_msg_recv(&part, socket_, 0) < 0) {
        zmq_msg_close(&part);
        return std::nullopt;
      }
      if (first) {
        const uint8_t* data = static_cast<const uint8_t*>(zmq_msg_data(&part));
        frame.assign(data, data + zmq_msg_size(&part));
      }
      more = zmq_msg_more(&part);
      zmq_msg_close(&part);
      if (first && more) ++multipart_;
      first = false;
    } while (more);
    return frame;
  }
  // Every frame that arrives within ms.
  std::vector<Bytes> receiveFor(int ms) {
    std::vector<Bytes> frames;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return frames;
      std::optional<Bytes> frame = receive(static_cast<int>(left));
      if (frame) frames.push_back(*frame);
    }
  }
  // The next count frames (fewer when they stop coming for kAnswerWaitMs).
  std::vector<Bytes> receiveMany(size_t count) {
    std::vector<Bytes> frames;
    while (frames.size() < count) {
      std::optional<Bytes> frame = receive();
      if (!frame) break;
      frames.push_back(*frame);
    }
    return frames;
  }
  int multipartMessages() const { return multipart_; }

  void close() {
    if (socket_ != nullptr) zmq_close(socket_);
    socket_ = nullptr;
  }

 private:
  void* socket_ = nullptr;
  bool connected_ = false;
  int multipart_ = 0;
};

// How a BrokerOnModule is made.
struct BrokerSetup {
  std::vector<std::string> arguments;  // for the stand-in, beyond --tcp 0 --uei and its identity
  bool localOnly = true;
  uint32_t networkInterface = 0;  // network order; 0: 127.0.0.1
  uint32_t serial = kSerial;      // a second broker needs a module of its own serial number
  bool advertise = true;          // set the module address and model once the broker runs
};

// The stand-in module program (--tcp 0 --uei, its address, serial number and model, and the
// arguments given), a core TCP/IP link to it and a started broker in front of that link, which
// goes first when this ends.
class BrokerOnModule {
 public:
  explicit BrokerOnModule(const BrokerSetup& setup = {}) : sim_(SimArguments(setup)) {
    if (!sim_.ready()) {
      error_ = "stand-in: " + sim_.error();
      return;
    }
    link_.id = aLink_CreateTCPIP(setup.serial, kLoopback, static_cast<uint16_t>(sim_.port()));
    if (link_.id == 0) {
      error_ = "no core link to the stand-in";
      return;
    }
    server_ = aServer_Create(link_.id, setup.networkInterface, setup.localOnly);
    if (server_ == nullptr) {
      error_ = "aServer_Create failed";
      return;
    }
    startResult_ = aServer_Start(server_);
    if (startResult_ != aErrNone) {
      error_ = "aServer_Start: " + std::to_string(startResult_);
      return;
    }
    aServer_GetPort(server_, &port_);
    if (setup.advertise) advertise();
    ready_ = true;
  }
  explicit BrokerOnModule(const std::vector<std::string>& arguments)
      : BrokerOnModule(BrokerSetup{arguments}) {}
  ~BrokerOnModule() {
    if (server_ != nullptr) aServer_Destroy(&server_);
  }
  BrokerOnModule(const BrokerOnModule&) = delete;
  BrokerOnModule& operator=(const BrokerOnModule&) = delete;

  bool ready() const { return ready_; }
  const std::string& error() const { return error_; }
  aErr startResult() const { return startResult_; }
  kvsim::SimModuleProcess& sim() { return sim_; }
  aServer* server() const { return server_; }
  uint16_t port() const { return port_; }
  uint32_t linkId() const { return link_.id; }
  void* context() const { return context_.get(); }
  // What the broker's discovery answers name, as the link creation passes them in.
  void advertise() {
    aServer_SetModuleAddress(server_, kModule);
    aServer_SetModel(server_, kModel);
  }
  // Stops and frees the broker before the rest goes.
  void destroyBroker() {
    if (server_ != nullptr) aServer_Destroy(&server_);
  }

  // Packets waiting in the device link's input queue.
  size_t waiting() const {
    std::shared_ptr<aLink> link = sGetLink(link_.id);
    return link ? aPacketFifo_GetLength(link->inputQueue.load()) : 0;
  }
  // Waits until the stand-in has received this packet count times.
  bool moduleGot(const Bytes& packet, size_t count = 1) {
    return sim_.awaitRecord(kvsim::Direction::In, packet, count);
  }
  // How often the stand-in has received this packet.
  size_t moduleCount(const Bytes& packet) {
    return kvsim::countRecords(sim_.dump(), kvsim::Direction::In, packet);
  }
  // The packets the stand-in received, in order, from the first one with these bytes on.
  std::vector<Bytes> receivedFrom(const Bytes& first) {
    std::vector<Bytes> packets;
    for (const kvsim::Record& record : sim_.dump()) {
      if (record.direction != kvsim::Direction::In) continue;
      if (packets.empty() && record.bytes != first) continue;
      packets.push_back(record.bytes);
    }
    return packets;
  }

 private:
  static std::vector<std::string> SimArguments(const BrokerSetup& setup) {
    char serial[9];
    std::snprintf(serial, sizeof serial, "%08X", static_cast<unsigned>(setup.serial));
    std::vector<std::string> arguments{"--tcp",
                                       "0",
                                       "--uei",
                                       "--address",
                                       std::to_string(kModule),
                                       "--model",
                                       std::to_string(kModel),
                                       "--serial",
                                       serial};
    arguments.insert(arguments.end(), setup.arguments.begin(), setup.arguments.end());
    return arguments;
  }

  // Declared first so that it goes last: the clients' context outlives the broker.
  Context context_;
  kvsim::SimModuleProcess sim_;
  coretest::LinkGuard link_;
  aServer* server_ = nullptr;
  aErr startResult_ = aErrNone;
  uint16_t port_ = 0;
  bool ready_ = false;
  std::string error_;
};

}  // namespace brokertest
