// The update-server stand-in (kv_sim_update_server.py) run from a test: start it, learn its
// port, script its answers and faults, read its request record, stop it. And test
// certificates for its HTTPS variant, made with the openssl command.
//
//   kvsim::SimUpdateServer server;
//   ASSERT_TRUE(server.ready()) << server.error();
//   ASSERT_TRUE(server.setBody("qu", "ok\n99\n"));
//   ... request with the base URL server.baseUrl() ...
//   EXPECT_EQ(server.targets(), std::vector<std::string>{"/?op=qu&sn=0012ABCD&"});
//
// The program's standard input and output are one socket of the test, so it ends by itself
// when the test goes away.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kvsim {

constexpr int kServerReadyTimeoutMs = 10000;    // ms for the program's "PORT" line
constexpr int kServerCommandTimeoutMs = 10000;  // ms for the answer to one control command
constexpr int kServerStopTimeoutMs = 5000;      // ms for the program to end after "quit"

class SimUpdateServer {
 public:
  // Plain HTTP; base URL "127.0.0.1:PORT".
  SimUpdateServer();
  // HTTPS with this certificate and key; base URL "https://127.0.0.1:PORT".
  SimUpdateServer(const std::string& certificateFile, const std::string& keyFile);
  ~SimUpdateServer();
  SimUpdateServer(const SimUpdateServer&) = delete;
  SimUpdateServer& operator=(const SimUpdateServer&) = delete;

  bool ready() const { return ready_; }
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  // The base URL the client is given, with the path appended (e.g. "/cgi/u").
  std::string baseUrl(const std::string& path = "") const;

  // Sends one control line; true when the answer is "OK". Lines printed before the answer
  // go to *output; an "ERR" answer or a time-out goes to error().
  bool command(const std::string& line, std::vector<std::string>* output = nullptr);
  // The reply body for an op, any bytes.
  bool setBody(const std::string& op, const std::string& body);
  // op=bird answers with this file in base64.
  bool setBirdFile(const std::string& path);
  // A fault as the program's --help lists it, e.g. "status 500" or "lines 1".
  bool addFault(const std::string& op, const std::string& fault);
  bool reset() { return command("reset"); }
  // Stops listening, so that connections to the port are refused from now on.
  bool refuseConnections() { return command("refuse"); }
  bool forget() { return command("forget"); }

  // Every request line so far ("GET /?op=hi&rv=2& HTTP/1.1"), in arrival order.
  std::vector<std::string> requests();
  // The targets of those lines ("/?op=hi&rv=2&").
  std::vector<std::string> targets();

  // "quit", then waits for the end (killing the program after kServerStopTimeoutMs).
  void stop();

 private:
  void start(const std::vector<std::string>& arguments);
  bool readLine(std::string* line, int timeoutMs);

  pid_t pid_ = -1;
  int socket_ = -1;
  std::string buffer_;  // output read but not yet cut into lines
  bool ready_ = false;
  bool tls_ = false;
  std::string error_;
  int port_ = -1;
};

// A test CA and certificates signed by it, in a directory: one for 127.0.0.1, one for
// another name; and a self-signed one for 127.0.0.1. Elliptic-curve keys, valid two days.
class TestCertificates {
 public:
  explicit TestCertificates(const std::string& directory);

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  std::string caFile;      // the CA certificate, for the client's bundle
  std::string serverCert;  // for 127.0.0.1, signed by the CA
  std::string serverKey;
  std::string wrongNameCert;  // for wrong-name.invalid, signed by the CA
  std::string wrongNameKey;
  std::string selfSignedCert;  // for 127.0.0.1, signed by itself
  std::string selfSignedKey;

 private:
  bool openssl(const std::vector<std::string>& arguments);
  bool leaf(const std::string& directory, const std::string& name,
            const std::string& subjectAltName);

  std::string error_;
};

}  // namespace kvsim
