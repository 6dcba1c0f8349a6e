#include "support.h"

#include <gtest/gtest.h>
#include <limits.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <ftw.h>
#include <ifaddrs.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitPollIntervalMs = 10;  // ms between checks for a child that closed its output
constexpr int kExecFailedStatus = 127;   // exit status of a child whose exec failed
constexpr size_t kReadChunk = 4096;      // bytes per read from a child's output

const char* const kProxyVariables[] = {"http_proxy", "https_proxy", "ftp_proxy", "all_proxy",
                                       "no_proxy"};

int remainingMs(Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool isProxyVariable(const std::string& name) {
  for (const char* proxy : kProxyVariables)
    if (strcasecmp(name.c_str(), proxy) == 0) return true;
  return false;
}

std::string variableName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// The child's environment: ours without proxies and HOME, then HOME, then extraEnv.
std::vector<std::string> childEnvironment(const std::string& home,
                                          const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    std::string name = variableName(*entry);
    if (name != "HOME" && !isProxyVariable(name)) env.emplace_back(*entry);
  }
  env.push_back("HOME=" + home);
  for (const std::string& extra : extraEnv) {
    std::string name = variableName(extra);
    env.erase(std::remove_if(env.begin(), env.end(),
                             [&](const std::string& e) { return variableName(e) == name; }),
              env.end());
    env.push_back(extra);
  }
  return env;
}

std::vector<char*> cArray(std::vector<std::string>& strings) {
  std::vector<char*> array;
  for (std::string& s : strings) array.push_back(s.data());
  array.push_back(nullptr);
  return array;
}

void killChild(pid_t pid) {
  kill(-pid, SIGKILL);  // its process group, when it got as far as making one
  kill(pid, SIGKILL);
}

// Collects the child's output until both streams close, then waits for its end;
// kills it when the deadline passes first.
RunResult supervise(pid_t pid, int outFd, int errFd, int timeoutMs) {
  RunResult result;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};

  while ((fds[0].fd >= 0 || fds[1].fd >= 0) && !result.timedOut) {
    int wait = remainingMs(deadline);
    if (wait == 0) {
      result.timedOut = true;
      break;
    }
    int ready = poll(fds, 2, wait);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2 && ready > 0; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[kReadChunk];
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0)
        sinks[i]->append(buffer, static_cast<size_t>(got));
      else if (got == 0 || (errno != EINTR && errno != EAGAIN))
        fds[i].fd = -1;  // end of output (a pty master reports EIO)
    }
  }

  int status = 0;
  for (;;) {
    if (result.timedOut) killChild(pid);
    pid_t done = waitpid(pid, &status, result.timedOut ? 0 : WNOHANG);
    if (done == pid) break;
    if (done < 0) {
      if (errno == EINTR) continue;
      return result;
    }
    // Still running although its output is closed.
    if (remainingMs(deadline) == 0)
      result.timedOut = true;
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(kExitPollIntervalMs));
  }
  if (WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.termSignal = WTERMSIG(status);
  return result;
}

// Forks a child whose standard output goes to a pipe or a raw pty and whose standard
// error goes to a pipe; the child runs childMain, which must not return normally.
RunResult spawn(const std::function<void()>& childMain, Stdout where, int timeoutMs) {
  int errPipe[2];
  if (pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");

  std::unique_ptr<PtyPair> pty;
  int outRead = -1;
  int outWrite = -1;
  if (where == Stdout::Pty) {
    pty = std::make_unique<PtyPair>();
    if (!PtyPair::makeRaw(pty->slave())) throw std::runtime_error("cannot make the pty raw");
    outRead = pty->master();
    outWrite = pty->slave();
  } else {
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    outRead = outPipe[0];
    outWrite = outPipe[1];
  }

  fflush(nullptr);  // the child must not repeat what we buffered
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setpgid(0, 0);
    int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    dup2(outWrite, STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    for (int fd : {devNull, outRead, outWrite, errPipe[0], errPipe[1]})
      if (fd > STDERR_FILENO) close(fd);
    childMain();
    _exit(kExecFailedStatus);
  }

  close(errPipe[1]);
  if (pty)
    pty->closeSlave();
  else
    close(outWrite);
  RunResult result = supervise(pid, outRead, errPipe[0], timeoutMs);
  close(errPipe[0]);
  if (!pty) close(outRead);
  return result;
}

RunResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                     int timeoutMs, Stdout where) {
  if (argv.empty()) throw std::invalid_argument("RunProgram needs a program");
  TempDir home;
  std::vector<std::string> args = argv;
  std::vector<std::string> env = childEnvironment(home.path(), extraEnv);
  std::vector<char*> cArgs = cArray(args);
  std::vector<char*> cEnv = cArray(env);

  return spawn(
      [&] {
        execvpe(cArgs[0], cArgs.data(), cEnv.data());
        dprintf(STDERR_FILENO, "exec %s: %s\n", cArgs[0], strerror(errno));
        _exit(kExecFailedStatus);
      },
      where, timeoutMs);
}

int makeWritable(const char* path, const struct stat* info, int type, FTW*) {
  if (type == FTW_D || type == FTW_DNR) chmod(path, (info->st_mode & 07777) | S_IRWXU);
  return 0;
}

int removeEntry(const char* path, const struct stat*, int, FTW*) {
  remove(path);
  return 0;
}

}  // namespace

TempDir::TempDir() {
  char pattern[] = "/tmp/kvtest-XXXXXX";
  if (!mkdtemp(pattern))
    throw std::runtime_error(std::string("mkdtemp failed: ") + strerror(errno));
  path_ = pattern;
}

TempDir::~TempDir() {
  // Tests may leave read-only directories behind; open them up before removal.
  nftw(path_.c_str(), makeWritable, 16, FTW_PHYS);
  nftw(path_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                     int timeoutMs) {
  return runProgram(argv, extraEnv, timeoutMs, Stdout::Pipe);
}

RunResult RunOnPty(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                   int timeoutMs) {
  return runProgram(argv, extraEnv, timeoutMs, Stdout::Pty);
}

RunResult RunInChild(const std::function<void()>& body, Stdout where, int timeoutMs) {
  return spawn(
      [&] {
        int status = 0;
        try {
          body();
        } catch (...) {
          status = 1;
        }
        fflush(nullptr);
        _exit(status);
      },
      where, timeoutMs);
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
  if (getrlimit(RLIMIT_FSIZE, &saved_) != 0 || saved_.rlim_max < bytes) return;
  previous_ = signal(SIGXFSZ, SIG_IGN);
  rlimit limit = saved_;
  limit.rlim_cur = bytes;
  set_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  if (!set_) signal(SIGXFSZ, previous_);
}

FileSizeLimit::~FileSizeLimit() {
  if (!set_) return;
  setrlimit(RLIMIT_FSIZE, &saved_);
  signal(SIGXFSZ, previous_);
}

PtyPair::PtyPair() {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
    throw std::runtime_error(std::string("openpty failed: ") + strerror(errno));
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  slaveName_ = name;
}

PtyPair::~PtyPair() {
  closeSlave();
  closeMaster();
}

void PtyPair::closeMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void PtyPair::closeSlave() {
  if (slave_ >= 0) close(slave_);
  slave_ = -1;
}

bool PtyPair::makeRaw(int fd) {
  termios settings;
  if (tcgetattr(fd, &settings) != 0) return false;
  cfmakeraw(&settings);
  return tcsetattr(fd, TCSANOW, &settings) == 0;
}

std::string PtyPair::read(size_t count, int timeoutMs) const {
  std::string bytes;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (bytes.size() < count) {
    pollfd fd = {master_, POLLIN, 0};
    int ready = poll(&fd, 1, remainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[kReadChunk];
    ssize_t got = ::read(master_, buffer, std::min(sizeof buffer, count - bytes.size()));
    if (got > 0)
      bytes.append(buffer, static_cast<size_t>(got));
    else if (got == 0 || (errno != EINTR && errno != EAGAIN))
      break;
  }
  return bytes;
}

bool PtyPair::write(const std::string& bytes) const {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

uint16_t ClosedLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool InsideTestNamespace() { return getenv(kNamespaceVariable) != nullptr; }

const char* NamespaceUnavailableReason() {
  if (InsideTestNamespace()) return "already inside the namespace";
  if (geteuid() != 0) return "making a network namespace needs root";
  if (!RunProgram({"ip", "netns", "list"}).exitedWith(0)) return "'ip netns' is not available";
  return nullptr;
}

namespace {

std::string SelfPath() {
  char path[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

}  // namespace

void ExpectPassesInFreshCopy(const std::string& filter, const std::vector<std::string>& extraEnv) {
  const std::string self = SelfPath();
  ASSERT_FALSE(self.empty());
  const RunResult run =
      RunProgram({self, "--gtest_filter=" + filter}, extraEnv, kFreshCopyRunTimeoutMs);
  EXPECT_TRUE(run.exitedWith(0)) << run.out << run.err;
  EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("[  SKIPPED ]"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("[  FAILED  ]"), std::string::npos) << run.out;
}

namespace {

std::string NamespaceScript() {
  std::string source = __FILE__;  // <repo>/tests/support/support.cpp
  for (int up = 0; up < 3; ++up) source = source.substr(0, source.rfind('/'));
  return source + "/scripts/netns-run.sh";
}

void ExpectPassesInNamespaceWith(const std::string& filter, std::vector<std::string> env) {
  const std::string self = SelfPath();
  ASSERT_FALSE(self.empty());
  env.push_back(std::string(kNamespaceVariable) + "=1");
  const RunResult run = RunProgram({NamespaceScript(), self, "--gtest_filter=" + filter}, env,
                                   kNamespaceRunTimeoutMs);
  EXPECT_TRUE(run.exitedWith(0)) << run.out << run.err;
  EXPECT_NE(run.out.find("[  PASSED  ]"), std::string::npos) << run.out << run.err;
  EXPECT_EQ(run.out.find("[  SKIPPED ]"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("[  FAILED  ]"), std::string::npos) << run.out;
}

}  // namespace

void ExpectPassesInNamespace(const std::string& filter) { ExpectPassesInNamespaceWith(filter, {}); }

void ExpectPassesInNamespaceWithVeth(const std::string& filter) {
  ExpectPassesInNamespaceWith(filter, {std::string(kNamespaceVethVariable) + "=1"});
}

std::vector<std::string> InterfaceNames() {
  std::vector<std::string> names;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return names;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next)
    if (entry->ifa_name != nullptr) names.emplace_back(entry->ifa_name);
  freeifaddrs(list);
  return names;
}

bool InsideTestNamespaceWithVeth() {
  return InsideTestNamespace() && getenv(kNamespaceVethVariable) != nullptr;
}

std::string InterfaceBeyondTheVethPair() {
  for (const std::string& name : InterfaceNames())
    if (name != "lo" && name != kVethFirstName && name != kVethSecondName) return name;
  return "";
}

bool RepliesComeFromLoopback() {
  return RunProgram({"ip", "route", "replace", "local", "10.250.0.1", "dev", "lo", "table", "local",
                     "proto", "kernel", "scope", "host", "src", "127.0.0.1"})
      .exitedWith(0);
}
