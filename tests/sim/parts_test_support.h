// Shared by the tests of the stand-in's parts (store slots, factory data, streams, UEI
// values), in process on a module core and through the kv_sim_module program: byte patterns,
// the replies of a core at one address, and command lines the program runs or refuses.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "exchange_test_support.h"
#include "sim_module_core.h"
#include "sim_module_process.h"
#include "support.h"

namespace kvsim {

// count bytes from, from + 1, ... (mod 256).
inline Bytes counting(size_t count, uint8_t from = 0) {
  Bytes bytes;
  for (size_t i = 0; i < count; ++i) bytes.push_back(static_cast<uint8_t>(from + i));
  return bytes;
}

inline Bytes join(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// A module at address, otherwise as the core's defaults.
inline ModuleConfig configAt(uint8_t address) {
  ModuleConfig config;
  config.address = address;
  return config;
}

// The data bytes of the packets the core sent since the last call, each expected from address.
inline std::vector<Bytes> sentData(ModuleCore& core, uint8_t address) {
  std::vector<Bytes> data;
  for (const Packet& packet : sentPackets(core)) {
    EXPECT_EQ(packet.address, address);
    data.push_back(packet.data);
  }
  return data;
}

// The data bytes of every reply of the core at address to one request.
inline std::vector<Bytes> askData(ModuleCore& core, uint8_t address, const Bytes& request) {
  core.receive(Packet{address, request}.wire());
  return sentData(core, address);
}

// The data bytes of the one reply to a request; a request with none or more fails, and
// gives no bytes for none.
inline Bytes askOne(ModuleCore& core, uint8_t address, const Bytes& request) {
  std::vector<Bytes> replies = askData(core, address, request);
  EXPECT_EQ(replies.size(), 1u) << toHex(request);
  return replies.empty() ? Bytes{} : replies[0];
}

// The program's arguments on a free TCP port.
inline std::vector<std::string> withTcp(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"--tcp", "0"});
  return arguments;
}

// Each command line (after the TCP options) makes the program exit with 2 and say why.
inline void expectRefusedCommandLines(const std::vector<std::vector<std::string>>& cases) {
  for (const auto& arguments : cases) {
    std::vector<std::string> argv{KV_SIM_MODULE_BINARY, "--tcp", "0"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    RunResult run = RunProgram(argv);
    EXPECT_TRUE(run.exitedWith(2)) << testing::PrintToString(arguments) << ": " << run.err;
    EXPECT_NE(run.err.find("kv_sim_module: "), std::string::npos)
        << testing::PrintToString(arguments);
  }
}

}  // namespace kvsim
