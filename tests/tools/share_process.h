// The share tool (kv_share_tool) run from a test or a benchmark: start it for a module, learn
// where its broker listens from its ready line, end it by closing its standard input or with
// SIGTERM.
//
//   kvshare::ShareProcess share({"--tcp", "127.0.0.1:" + port, "--serial", "0000ABCD"});
//   ASSERT_TRUE(share.ready()) << share.error();
//   ... aLink_CreateClient(share.address(), share.port(), 0) ...
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kvshare {

// ms for the ready line: the broker's questions to the module may take a few seconds when the
// module is slow to answer.
constexpr int kShareReadyTimeoutMs = 20000;
constexpr int kShareStopTimeoutMs = 10000;  // ms for the tool to end before it is killed

class ShareProcess {
 public:
  // Starts the tool (path: KV_SHARE_TOOL) and waits for "share ready address=A port=N".
  explicit ShareProcess(const std::vector<std::string>& arguments,
                        const std::string& program = KV_SHARE_TOOL);
  // Ends the tool as stop() does, when it still runs.
  ~ShareProcess();
  ShareProcess(const ShareProcess&) = delete;
  ShareProcess& operator=(const ShareProcess&) = delete;

  bool ready() const { return ready_; }
  const std::string& error() const { return error_; }
  pid_t pid() const { return pid_; }
  uint32_t address() const { return address_; }  // IPv4, network order
  const std::string& addressText() const { return addressText_; }
  uint16_t port() const { return port_; }

  // Closes the tool's standard input and waits for it to end (killing it after
  // kShareStopTimeoutMs); its exit status, or -1 when it did not exit by itself.
  int stop();
  // The same after SIGTERM.
  int terminate();

 private:
  int awaitExit();

  pid_t pid_ = -1;
  int input_ = -1;   // the tool's standard input
  int output_ = -1;  // the tool's standard output
  bool ready_ = false;
  std::string error_;
  uint32_t address_ = 0;
  std::string addressText_;
  uint16_t port_ = 0;
  int exitStatus_ = -1;
};

}  // namespace kvshare
