// The stand-in module program (kv_sim_module) run from a test: start it with arguments, learn
// its port or pty from its ready line, send control commands, read its packet record, stop it.
//
//   kvsim::SimModuleProcess sim({"--tcp", "0"});
//   ASSERT_TRUE(sim.ready()) << sim.error();
//   ... connect to 127.0.0.1:sim.port() ...
//   ASSERT_TRUE(sim.command("HB 0"));
//   ASSERT_TRUE(sim.awaitRecord(kvsim::Direction::In, {0x02, 0x02, 0x00, 0x02}));
//
// The program's standard input and output are one socket of the test, so writing to a program
// that has already ended never raises SIGPIPE; it ends by itself when that socket closes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "sim_module_core.h"

namespace kvsim {

constexpr int kSimReadyTimeoutMs = 10000;    // ms for the program's ready line
constexpr int kSimCommandTimeoutMs = 10000;  // ms for the answer to one control command
constexpr int kSimAwaitTimeoutMs = 10000;    // ms the await helpers wait by default
constexpr int kSimStopTimeoutMs = 5000;      // ms for the program to end after QUIT

class SimModuleProcess {
 public:
  // Starts the program (path: KV_SIM_MODULE_BINARY) and waits for "PORT <n>" or "PTY <path>".
  explicit SimModuleProcess(const std::vector<std::string>& arguments,
                            const std::string& program = KV_SIM_MODULE_BINARY);
  ~SimModuleProcess();
  SimModuleProcess(const SimModuleProcess&) = delete;
  SimModuleProcess& operator=(const SimModuleProcess&) = delete;

  bool ready() const { return ready_; }
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  // The slave of the latest pty the program announced.
  const std::string& ptyPath() const { return ptyPath_; }
  // Waits until the program announces a pty other than previous (after a drop).
  bool awaitNewPty(const std::string& previous, int timeoutMs = kSimAwaitTimeoutMs);

  // Sends one control line; true when the answer is "OK". Lines printed before the answer go
  // to *output; an "ERR" answer or a time-out goes to error().
  bool command(const std::string& line, std::vector<std::string>* output = nullptr);
  // The program's packet record (DUMP); empty when the command fails.
  std::vector<Record> dump();
  // Reads the record until predicate holds for it or timeoutMs passes.
  bool awaitRecords(const std::function<bool(const std::vector<Record>&)>& predicate,
                    int timeoutMs = kSimAwaitTimeoutMs);
  // Waits until at least count records carry exactly these bytes in this direction.
  bool awaitRecord(Direction direction, const Bytes& bytes, size_t count = 1,
                   int timeoutMs = kSimAwaitTimeoutMs);

  // QUIT, then waits for the program to end (killing it after kSimStopTimeoutMs); its exit
  // status, or -1 when it did not exit by itself.
  int stop();

 private:
  // Next line of the program's output; "PORT" and "PTY" lines are taken in here and skipped.
  bool readAnswerLine(std::string* line, int timeoutMs);
  bool readLine(std::string* line, int timeoutMs);
  static bool isAnnouncement(const std::string& line);
  void takeAnnouncement(const std::string& line);

  pid_t pid_ = -1;
  int socket_ = -1;
  std::string buffer_;                   // output read but not yet cut into lines
  std::deque<std::string> heldAnswers_;  // answer lines read while waiting for a pty
  bool ready_ = false;
  std::string error_;
  int port_ = -1;
  std::string ptyPath_;
  int exitStatus_ = -1;
};

// How many records carry exactly these bytes in this direction.
size_t countRecords(const std::vector<Record>& records, Direction direction, const Bytes& bytes);

// A raw TCP client of the program's link on 127.0.0.1, as a host's transport would be.
class LinkSocket {
 public:
  // Connects once; with retryForMs, tries again until a connection is taken or that many ms
  // have passed (a module whose port refuses while it is away).
  explicit LinkSocket(int port, int retryForMs = 0);
  ~LinkSocket();
  LinkSocket(const LinkSocket&) = delete;
  LinkSocket& operator=(const LinkSocket&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send(const Bytes& bytes);
  // Reads until count bytes came, the other side ended or timeoutMs passed.
  Bytes read(size_t count, int timeoutMs = kSimAwaitTimeoutMs);
  // Everything that arrives within ms: for checks that nothing (more) comes.
  Bytes readFor(int ms);
  // True once a read found that the other side ended the connection (or broke it).
  bool ended() const { return ended_; }

 private:
  int fd_ = -1;
  bool ended_ = false;
};

}  // namespace kvsim
