#include "sim_update_server.h"

#include "sim_lines.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "support.h"

namespace kvsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kExitPollInterval = std::chrono::milliseconds(5);  // between checks for the end
constexpr int kExecFailedStatus = 127;
constexpr int kOpensslTimeoutMs = 30000;  // ms one openssl run may take
constexpr const char* kCertificateDays = "2";
constexpr const char* kCurve = "ec_paramgen_curve:prime256v1";

// The bytes as the program's "body" command reads them: printable ASCII stays, everything
// else (and the backslash) as \xHH.
std::string escaped(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      text += static_cast<char>(c);
    } else {
      char code[5];
      snprintf(code, sizeof code, "\\x%02X", c);
      text += code;
    }
  }
  return text;
}

}  // namespace

SimUpdateServer::SimUpdateServer() { start({}); }

SimUpdateServer::SimUpdateServer(const std::string& certificateFile, const std::string& keyFile) {
  tls_ = true;
  start({"--tls", certificateFile, keyFile});
}

SimUpdateServer::~SimUpdateServer() { stop(); }

void SimUpdateServer::start(const std::vector<std::string>& arguments) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    error_ = std::string("socketpair: ") + strerror(errno);
    return;
  }
  std::vector<std::string> words{KV_PYTHON3, KV_SIM_UPDATE_SERVER_SCRIPT};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  fflush(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec.
    dup2(pair[1], STDIN_FILENO);
    dup2(pair[1], STDOUT_FILENO);
    close_range(3, ~0U, 0);
    execv(argv[0], argv.data());
    _exit(kExecFailedStatus);
  }
  close(pair[1]);
  socket_ = pair[0];
  if (pid_ < 0) {
    error_ = std::string("fork: ") + strerror(errno);
    return;
  }

  std::string line;
  if (!readLine(&line, kServerReadyTimeoutMs) || line.rfind("PORT ", 0) != 0) {
    error_ = "no PORT line from " + std::string(KV_SIM_UPDATE_SERVER_SCRIPT);
    return;
  }
  port_ = atoi(line.c_str() + 5);
  ready_ = port_ > 0;
}

std::string SimUpdateServer::baseUrl(const std::string& path) const {
  return std::string(tls_ ? "https://" : "") + "127.0.0.1:" + std::to_string(port_) + path;
}

bool SimUpdateServer::readLine(std::string* line, int timeoutMs) {
  return ReadLine(socket_, buffer_, line, timeoutMs);
}

bool SimUpdateServer::command(const std::string& line, std::vector<std::string>* output) {
  if (socket_ < 0) {
    error_ = "the stand-in server is not running";
    return false;
  }
  const std::string text = line + "\n";
  if (!SendAll(socket_, text)) {
    error_ = "cannot send '" + line + "' to the stand-in server";
    return false;
  }
  std::string errLine;
  if (AwaitCommandAnswer(
          [this](std::string* answer, int timeoutMs) { return readLine(answer, timeoutMs); },
          kServerCommandTimeoutMs, output, &errLine))
    return true;
  error_ = errLine.empty() ? "no answer to '" + line + "' from the stand-in server"
                           : "'" + line + "': " + errLine;
  return false;
}

bool SimUpdateServer::setBody(const std::string& op, const std::string& body) {
  return command("body " + op + " " + escaped(body));
}

bool SimUpdateServer::setBirdFile(const std::string& path) { return command("bird " + path); }

bool SimUpdateServer::addFault(const std::string& op, const std::string& fault) {
  return command("fault " + op + " " + fault);
}

std::vector<std::string> SimUpdateServer::requests() {
  std::vector<std::string> lines;
  std::vector<std::string> requestLines;
  if (!command("requests", &lines)) return requestLines;
  for (const std::string& line : lines)
    if (line.rfind("REQ ", 0) == 0) requestLines.push_back(line.substr(4));
  return requestLines;
}

std::vector<std::string> SimUpdateServer::targets() {
  std::vector<std::string> targets;
  for (const std::string& line : requests()) {
    const size_t start = line.find(' ');
    const size_t end = line.rfind(' ');
    targets.push_back(start == end ? line : line.substr(start + 1, end - start - 1));
  }
  return targets;
}

void SimUpdateServer::stop() {
  if (pid_ <= 0) {
    if (socket_ >= 0) close(socket_);
    socket_ = -1;
    return;
  }
  if (socket_ >= 0) {
    const char quit[] = "quit\n";
    (void)send(socket_, quit, sizeof quit - 1, MSG_NOSIGNAL);
  }
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kServerStopTimeoutMs);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (RemainingMs(deadline) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(kExitPollInterval);
  }
  pid_ = -1;
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
  ready_ = false;
}

TestCertificates::TestCertificates(const std::string& directory) {
  caFile = directory + "/ca.pem";
  const std::string caKey = directory + "/ca.key";
  if (!openssl({"req",     "-x509",
                "-new",    "-newkey",
                "ec",      "-pkeyopt",
                kCurve,    "-nodes",
                "-keyout", caKey,
                "-out",    caFile,
                "-days",   kCertificateDays,
                "-subj",   "/CN=Updater Test CA",
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign"}))
    return;
  if (!leaf(directory, "server", "IP:127.0.0.1") ||
      !leaf(directory, "wrong-name", "DNS:wrong-name.invalid"))
    return;
  serverCert = directory + "/server.pem";
  serverKey = directory + "/server.key";
  wrongNameCert = directory + "/wrong-name.pem";
  wrongNameKey = directory + "/wrong-name.key";

  selfSignedCert = directory + "/self-signed.pem";
  selfSignedKey = directory + "/self-signed.key";
  openssl({"req", "-x509", "-new", "-newkey", "ec", "-pkeyopt", kCurve, "-nodes", "-keyout",
           selfSignedKey, "-out", selfSignedCert, "-days", kCertificateDays, "-subj",
           "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
}

bool TestCertificates::openssl(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"openssl"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  RunResult result = RunProgram(argv, {}, kOpensslTimeoutMs);
  if (result.exitedWith(0)) return true;
  error_ = "openssl " + arguments[0] + " failed: " + result.err;
  return false;
}

// A key and a certificate for the name, signed by the CA.
bool TestCertificates::leaf(const std::string& directory, const std::string& name,
                            const std::string& subjectAltName) {
  const std::string base = directory + "/" + name;
  const std::string extensions = base + ".ext";
  std::ofstream(extensions) << "subjectAltName=" << subjectAltName << "\n"
                            << "basicConstraints=CA:FALSE\n"
                            << "keyUsage=critical,digitalSignature\n"
                            << "extendedKeyUsage=serverAuth\n";
  const std::string commonName = subjectAltName.substr(subjectAltName.find(':') + 1);
  return openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", kCurve, "-nodes", "-keyout",
                  base + ".key", "-out", base + ".csr", "-subj", "/CN=" + commonName}) &&
         openssl({"x509", "-req", "-in", base + ".csr", "-CA", caFile, "-CAkey",
                  directory + "/ca.key", "-CAcreateserial", "-out", base + ".pem", "-days",
                  kCertificateDays, "-extfile", extensions});
}

}  // namespace kvsim
