// Runs the stand-in i.MX ROM (ImxSdpRom) on the master side of a pseudo-terminal, on a thread
// of its own: the host program opens the slave as its serial port.
//
//   PtyPair pty;
//   kvsim::ImxSdpSerialServer chip(pty.master());
//   chip.setJumpHook([](uint32_t address) { ... the loader "starts" ... });
//   chip.start();
//   ... the client opens pty.slaveName() ...
//   EXPECT_EQ(chip.loads()[0].address, 0x20000000u);
//
// Serial framing: no report IDs; a command is 16 bytes, WRITE_FILE data follows it as plain
// bytes, answers are the plain words. With a pacing rate the ROM takes the host's bytes and
// sends its own no faster than that baud rate (10 bits per byte), like a real line, so a host
// that writes faster fills the kernel's buffer and waits.
//
// A partial command followed by a silence is line noise (a probe byte of another boot
// protocol, say): the ROM drops it and waits for a command again, unless keepsPartialCommand.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "sim_imx_sdp.h"
#include "sim_pty.h"

namespace kvsim {

class ImxSdpSerialServer : public PtyServerThread {
 public:
  // fd: the master side, not owned; it is switched to non-blocking. paceBaud 0: no pacing.
  explicit ImxSdpSerialServer(int fd, const ImxSdpConfig& config = ImxSdpConfig(),
                              uint32_t paceBaud = 0);
  ~ImxSdpSerialServer() override;

  // Changes the ROM's knobs while it runs.
  void configure(const std::function<void(ImxSdpConfig&)>& change);
  // Called on the server's thread, with no lock held, once the ROM took a jump.
  void setJumpHook(std::function<void(uint32_t)> hook);

  std::vector<SdpLoad> loads() const;
  std::vector<SdpCommand> commands() const;
  SdpBytes memory(uint32_t address, uint32_t count) const;
  bool jumped() const;
  uint32_t jumpAddress() const;
  int associations() const;
  // Every byte the host sent, in order.
  SdpBytes line() const;
  // The bytes the ROM took, in order: commands, association words and WRITE_FILE data. A
  // partial command it dropped after a silence is not among them, nor one still incomplete.
  SdpBytes received() const;
  // The partial commands the ROM dropped after a silence, in order.
  std::vector<SdpBytes> dropped() const;

 private:
  void run() override;
  void take(const uint8_t* bytes, size_t n, std::vector<SdpAnswer>& out);

  uint32_t paceBaud_;
  mutable std::mutex mutex_;  // guards rom_, pending_, line_, received_, dropped_ and hook_
  ImxSdpRom rom_;
  SdpBytes pending_;  // command bytes gathered so far
  SdpBytes line_;
  SdpBytes received_;
  std::vector<SdpBytes> dropped_;
  std::function<void(uint32_t)> hook_;
};

}  // namespace kvsim
