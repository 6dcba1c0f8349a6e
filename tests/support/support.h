#pragma once

// Helpers shared by the test programs: temporary directories, child processes with
// captured output, and pseudo-terminals.

#include <sys/resource.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

constexpr int kDefaultRunTimeoutMs = 60000;  // ms a child may run before it is killed

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of an entry inside the directory.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// How a child process ended and what it wrote.
struct RunResult {
  int exitCode = -1;      // exit status when the child exited, else -1
  int termSignal = 0;     // the signal that ended the child, else 0
  bool timedOut = false;  // the child ran past its time-out and was killed
  std::string out;        // standard output (the pty's bytes when it ran on one)
  std::string err;        // standard error

  bool exitedWith(int code) const { return termSignal == 0 && !timedOut && exitCode == code; }
};

// Where a child's standard output goes.
enum class Stdout { Pipe, Pty };

// Runs a program (argv[0] is looked up in PATH when it has no "/") with HOME set to a
// fresh temporary directory and the proxy variables removed. extraEnv entries are
// "NAME=value" and replace what is already set, HOME included.
RunResult RunProgram(const std::vector<std::string>& argv,
                     const std::vector<std::string>& extraEnv = {},
                     int timeoutMs = kDefaultRunTimeoutMs);

// The same with standard output on the slave of a raw pseudo-terminal; out holds the
// bytes read from the master.
RunResult RunOnPty(const std::vector<std::string>& argv,
                   const std::vector<std::string>& extraEnv = {},
                   int timeoutMs = kDefaultRunTimeoutMs);

// Runs body in a forked copy of the test process with standard output on a pipe or a
// raw pty and standard error on a pipe; the child exits with 0 after body returns
// (1 when it throws). Useful for code that looks at its own standard output.
RunResult RunInChild(const std::function<void()>& body, Stdout where,
                     int timeoutMs = kDefaultRunTimeoutMs);

// Runs this test program again, fresh, with --gtest_filter=filter and extraEnv (as for
// RunProgram), and expects it to pass exactly one test, none skipped or failed. For cases that
// need a process whose state (signal handlers, CZMQ) no earlier test has touched.
constexpr int kFreshCopyRunTimeoutMs = 120000;  // ms the copy may run
void ExpectPassesInFreshCopy(const std::string& filter, const std::vector<std::string>& extraEnv);

// Holds the process's file size limit at `bytes` while it lives: a write past it fails
// (EFBIG) instead of raising SIGXFSZ, which is ignored meanwhile. set() is false when the
// limit could not be lowered that far; nothing is changed then.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool set() const { return set_; }

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
  bool set_ = false;
};

// A pseudo-terminal pair, both ends closed on destruction.
class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& slaveName() const { return slaveName_; }
  void closeMaster();
  void closeSlave();

  // Puts a terminal descriptor into raw mode (no echo, no line editing, no output
  // translation); false when that fails.
  static bool makeRaw(int fd);

  // Reads from the master until count bytes arrived, the slave side closed or
  // timeoutMs passed; returns what arrived.
  std::string read(size_t count, int timeoutMs) const;
  // Writes all bytes to the master; false on error.
  bool write(const std::string& bytes) const;

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slaveName_;
};

// A loopback TCP port on which nothing listens: one the system handed out and took back.
uint16_t ClosedLoopbackPort();

// Multicast and broadcast tests run only in a copy of the test program started inside a
// fresh network namespace (scripts/netns-run.sh makes it and removes it afterwards), so that
// no such datagram leaves through a real interface. The copy has kNamespaceVariable set.
constexpr const char* kNamespaceVariable = "KV_TEST_IN_NETNS";
constexpr int kNamespaceRunTimeoutMs = 180000;  // ms for the whole run inside the namespace

// True in the copy that runs inside the namespace.
bool InsideTestNamespace();
// Why a namespace cannot be made here (already inside one, not root, no "ip netns"), or
// null when it can; the caller skips with this reason.
const char* NamespaceUnavailableReason();
// Runs this test program with --gtest_filter=filter inside a fresh namespace and expects
// every selected test to pass there (none skipped, none failed).
void ExpectPassesInNamespace(const std::string& filter);
// The same with a veth pair in the namespace as well (scripts/netns-run.sh adds it when
// kNamespaceVethVariable is 1): both ends inside, up and broadcast-capable, for beacon traffic.
void ExpectPassesInNamespaceWithVeth(const std::string& filter);
constexpr const char* kNamespaceVethVariable = "KV_NETNS_VETH";
constexpr const char* kVethFirstName = "kvveth0";
constexpr const char* kVethFirstAddress = "10.250.1.1";
constexpr const char* kVethSecondName = "kvveth1";
constexpr const char* kVethSecondAddress = "10.250.1.2";
// The names of the network interfaces there are; inside the test's namespace only "lo".
std::vector<std::string> InterfaceNames();
// True in the copy that runs inside the namespace with the veth pair.
bool InsideTestNamespaceWithVeth();
// The first interface that is neither "lo" nor an end of the veth pair, or "" when there is
// none: beacon tests refuse to run where one could reach a real network.
std::string InterfaceBeyondTheVethPair();
// Why a beacon test skips outside that namespace.
constexpr const char* kVethSkipReason =
    "runs only inside the network namespace with a veth pair that "
    "BrokerDiscovery.BeaconRunsInsideANetworkNamespaceWithAVethPair makes";
// Inside the namespace: a search over every interface also goes out from the namespace's
// second address (10.250.0.1), so replies go back to it. The stand-ins listen on 127.0.0.1
// only; with 127.0.0.1 as the source of what is sent to that address, a reply names the
// address a stand-in's module is really reached at. False when the route cannot be set.
bool RepliesComeFromLoopback();
