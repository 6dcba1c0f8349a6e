#include "HTTPRequest.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "server_test_support.h"
#include "sim_update_server.h"
#include "support.h"

namespace {

using servertest::LogCapture;
using servertest::Stopwatch;
using Query = std::map<std::string, std::string>;

constexpr long kShortStallS = 1;        // s of the stall window the fault tests use
constexpr long kShortConnectMs = 500;   // ms of the connect bound the fault tests use
constexpr size_t kSmallBodyCap = 1000;  // bytes of the body cap the fault tests use
constexpr long kSpeedWindowMs = 5000;   // ms over which libcurl averages the speed it compares
// ms a bound may be overrun (scheduling, start-up: libcurl's TLS set-up alone takes seconds
// under the sanitizers on a busy machine); far below the bounds' unbounded alternatives
constexpr long kShortBoundSlackMs = 5000;
constexpr int kTrickleIntervalMs = 100;     // ms between the bytes of a trickled body: 10 bytes/s
constexpr size_t kTrickledBodyBytes = 200;  // bytes of that body: 20 s at that pace
constexpr long kShortDeadlineMs = 1500;  // ms of the whole-transfer deadline the deadline test uses

HTTPLimits ShortLimits() {
  HTTPLimits limits;
  limits.connectTimeoutMs = kShortConnectMs;
  limits.stallTimeoutS = kShortStallS;
  limits.maxBodyBytes = kSmallBodyCap;
  return limits;
}

// The text of the runtime_error that the GET throws, or "" when it returns.
std::string FailureOf(const std::string& url, const HTTPLimits& limits = HTTPLimits()) {
  try {
    HTTPRequest::GET(url.c_str(), Query{{"op", "t"}}, limits);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

class HttpGet : public servertest::StandInServerTest {};

struct UrlCase {
  const char* name;
  Query query;
  std::string suffix;  // what follows the base URL
};

std::ostream& operator<<(std::ostream& out, const UrlCase& c) { return out << c.name; }

class HttpGetUrl : public HttpGet, public ::testing::WithParamInterface<UrlCase> {};

TEST_P(HttpGetUrl, IsTheBaseAndEveryPairInKeyOrderWithTheLastAmpersand) {
  const UrlCase& c = GetParam();
  const std::string base = server->baseUrl("/cgi/u");
  HTTPResponse response = HTTPRequest::GET(base.c_str(), c.query);
  EXPECT_EQ(std::string(response.get_request()), base + c.suffix);
  EXPECT_EQ(server->targets(), std::vector<std::string>{"/cgi/u" + c.suffix});
}

INSTANTIATE_TEST_SUITE_P(
    Queries, HttpGetUrl,
    ::testing::Values(
        UrlCase{"empty_map_gives_the_base", {}, ""},
        UrlCase{"ping_pairs", {{"rv", "2"}, {"op", "hi"}}, "?op=hi&rv=2&"},
        UrlCase{"keys_in_byte_order", {{"b", "1"}, {"a", "3"}, {"B", "2"}}, "?B=2&a=3&b=1&"},
        UrlCase{"nothing_escaped", {{"fp", "0000ABCD%20FFFF0000"}}, "?fp=0000ABCD%20FFFF0000&"},
        UrlCase{"empty_value", {{"x", ""}}, "?x=&"}),
    servertest::CaseName<UrlCase>);

TEST_F(HttpGet, BaseWithoutPathOrSchemeReachesTheRoot) {
  HTTPResponse response =
      HTTPRequest::GET(server->baseUrl().c_str(), Query{{"op", "hi"}, {"rv", "2"}});
  EXPECT_EQ(response.get_status(), 200);
  EXPECT_EQ(server->targets(), std::vector<std::string>{"/?op=hi&rv=2&"});
}

class HttpGetStatus : public HttpGet, public ::testing::WithParamInterface<int> {};

TEST_P(HttpGetStatus, ComesBackWithItsBodyWithoutAnException) {
  ASSERT_TRUE(server->setBody("t", "page text\n"));
  ASSERT_TRUE(server->addFault("t", "status " + std::to_string(GetParam())));
  HTTPResponse response = HTTPRequest::GET(server->baseUrl().c_str(), Query{{"op", "t"}});
  EXPECT_EQ(response.get_status(), GetParam());
  EXPECT_EQ(std::string(response.get_response()), "page text\n");
}

INSTANTIATE_TEST_SUITE_P(Codes, HttpGetStatus, ::testing::Values(200, 302, 404, 500));

TEST_F(HttpGet, BodyInSeveralChunksArrivesWholeAndInOrder) {
  std::string body;
  for (int i = 0; body.size() < 300000; ++i) body += std::to_string(i) + "\n";
  ASSERT_TRUE(server->setBody("t", body));
  LogCapture log;
  HTTPResponse response = HTTPRequest::GET(server->baseUrl().c_str(), Query{{"op", "t"}});
  ASSERT_EQ(response.get_length(), body.size());
  EXPECT_TRUE(std::string(response.get_response()) == body);

  const std::string text = log.text();
  size_t calls = 0;
  for (size_t at = text.find("rcv_data called"); at != std::string::npos;
       at = text.find("rcv_data called", at + 1))
    ++calls;
  EXPECT_GT(calls, 1u);
}

TEST_F(HttpGet, LogsTheUrlAndEachChunkPaddedToOneHundredColumns) {
  LogCapture log;
  const std::string base = server->baseUrl();
  HTTPRequest::GET(base.c_str(), Query{{"op", "hi"}});
  const std::string text = log.text();
  EXPECT_NE(text.find("GET(" + base + "?op=hi&)\n"), std::string::npos) << text;
  // The chunk "ok\n" is not 0-terminated: it is shown right-aligned in 100 columns and
  // nothing after its three bytes is read.
  const std::string head = "rcv_data called (..., 1, 3, ";
  const size_t at = text.find(head);
  ASSERT_NE(at, std::string::npos) << text;
  const std::string address = text.substr(at + head.size(), 8);
  EXPECT_EQ(address.find_first_not_of("0123456789ABCDEF"), std::string::npos) << address;
  EXPECT_EQ(text.substr(at + head.size() + 8),
            ") [" + std::string(97, ' ') + "ok\n]\nrcv_data returns 3\n");
}

TEST_F(HttpGet, UnreachableHostThrowsWithLibcurlsText) {
  const std::string url = "127.0.0.1:" + std::to_string(ClosedLoopbackPort());
  const std::string failure = FailureOf(url);
  EXPECT_TRUE(StartsWith(failure, curl_easy_strerror(CURLE_COULDNT_CONNECT))) << failure;
}

TEST_F(HttpGet, OnlyHttpAndHttpsAreFetched) {
  for (const std::string& url :
       {std::string("file:///etc/hostname"), "ftp://127.0.0.1:" + std::to_string(server->port())}) {
    const std::string failure = FailureOf(url);
    EXPECT_TRUE(StartsWith(failure, curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL)))
        << url << ": " << failure;
  }
  EXPECT_TRUE(server->targets().empty());
}

struct FaultCase {
  const char* name;
  std::string fault;
  std::string failure;  // how the thrown text begins
};

std::ostream& operator<<(std::ostream& out, const FaultCase& c) { return out << c.name; }

class HttpGetFault : public HttpGet, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(HttpGetFault, ThrowsWithinTheBound) {
  const FaultCase& c = GetParam();
  ASSERT_TRUE(server->setBody("t", "ok\nsecond line\n"));
  ASSERT_TRUE(server->addFault("t", c.fault));
  Stopwatch watch;
  const std::string failure = FailureOf(server->baseUrl(), ShortLimits());
  EXPECT_TRUE(StartsWith(failure, c.failure)) << failure;
  // A stall is noticed once the bytes before it have left libcurl's speed average.
  EXPECT_LT(watch.ms(), kSpeedWindowMs + kShortStallS * 1000 + kShortBoundSlackMs);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HttpGetFault,
    ::testing::Values(
        FaultCase{"cut_off_body", "cut", curl_easy_strerror(CURLE_PARTIAL_FILE)},
        FaultCase{"closed_without_reply", "close", curl_easy_strerror(CURLE_GOT_NOTHING)},
        FaultCase{"stall_before_headers", "stall", curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)},
        FaultCase{"stall_inside_body", "stall-body", curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)},
        FaultCase{"oversize_with_length", "oversize 997", "Reply body larger than 1000 bytes"},
        FaultCase{"oversize_without_length", "oversize-unsized 997",
                  "Reply body larger than 1000 bytes"}),
    servertest::CaseName<FaultCase>);

// A body that comes one byte every 100 ms: far above a floor of 1 byte/s, far below 1 KiB/s.
std::string TrickledBody() { return "ok\n" + std::string(kTrickledBodyBytes, 'T') + "\n"; }

TEST_F(HttpGet, ATransferBelowTheSpeedFloorIsAbandonedAsTooSlow) {
  ASSERT_TRUE(server->setBody("t", TrickledBody()));
  ASSERT_TRUE(server->addFault("t", "trickle " + std::to_string(kTrickleIntervalMs)));
  const std::string failure = FailureOf(server->baseUrl(), ShortLimits());
  EXPECT_TRUE(StartsWith(failure, std::string(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)) +
                                      ": the transfer was slower than 1024 bytes/s for 1 s"))
      << failure;
}

TEST_F(HttpGet, ATransferAboveTheFloorIsAbandonedAtTheDeadline) {
  ASSERT_TRUE(server->setBody("t", TrickledBody()));
  ASSERT_TRUE(server->addFault("t", "trickle " + std::to_string(kTrickleIntervalMs)));
  HTTPLimits limits;
  limits.deadlineMs = kShortDeadlineMs;  // shorter than the speed floor's window
  const std::string failure = FailureOf(server->baseUrl(), limits);
  EXPECT_TRUE(StartsWith(failure, std::string(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)) +
                                      ": the transfer did not end within 1500 ms"))
      << failure;
}

TEST_F(HttpGet, ATrickledBodyWithinTheBoundsArrivesWhole) {
  ASSERT_TRUE(server->setBody("t", "ok\n"));
  ASSERT_TRUE(server->addFault("t", "trickle 1"));
  HTTPResponse response = HTTPRequest::GET(server->baseUrl().c_str(), Query{{"op", "t"}});
  EXPECT_EQ(std::string(response.get_response()), "ok\n");
}

TEST_F(HttpGet, BodyOfExactlyTheCapIsTaken) {
  // "ok\n", 996 bytes and "\n": 1000 bytes, with and without a length.
  for (const char* fault : {"oversize 996", "oversize-unsized 996"}) {
    ASSERT_TRUE(server->reset());
    ASSERT_TRUE(server->addFault("t", fault));
    HTTPResponse response =
        HTTPRequest::GET(server->baseUrl().c_str(), Query{{"op", "t"}}, ShortLimits());
    EXPECT_EQ(response.get_length(), kSmallBodyCap) << fault;
  }
}

// A listening socket that never accepts: the kernel completes the TCP handshake of the
// first connections, then leaves further ones hanging.
class SilentListener {
 public:
  explicit SilentListener(int backlog) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        listen(fd_, backlog) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port_ = ntohs(address.sin_port);
  }
  ~SilentListener() {
    for (int fd : fillers_) close(fd);
    if (fd_ >= 0) close(fd_);
  }
  // Connections that fill the accept queue.
  void fill(int count) {
    for (int i = 0; i < count; ++i) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(static_cast<uint16_t>(port_));
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
      fillers_.push_back(fd);
    }
    usleep(kFillSettleUs);
  }
  int port() const { return port_; }

 private:
  static constexpr useconds_t kFillSettleUs = 100000;  // us for the filler handshakes to finish
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

TEST_F(HttpGet, ConnectionThatNeverCompletesEndsAtTheConnectBound) {
  SilentListener listener(0);
  ASSERT_NE(listener.port(), 0);
  listener.fill(2);
  Stopwatch watch;
  const std::string failure =
      FailureOf("127.0.0.1:" + std::to_string(listener.port()), ShortLimits());
  EXPECT_TRUE(StartsWith(failure, curl_easy_strerror(CURLE_OPERATION_TIMEDOUT))) << failure;
  EXPECT_NE(failure.find(": no connection within 500 ms"), std::string::npos) << failure;
  EXPECT_LT(watch.ms(), kShortConnectMs + kShortBoundSlackMs);
}

TEST_F(HttpGet, TlsHandshakeThatNeverAnswersEndsAtTheConnectBound) {
  SilentListener listener(8);
  ASSERT_NE(listener.port(), 0);
  Stopwatch watch;
  const std::string failure =
      FailureOf("https://127.0.0.1:" + std::to_string(listener.port()), ShortLimits());
  EXPECT_TRUE(StartsWith(failure, curl_easy_strerror(CURLE_OPERATION_TIMEDOUT))) << failure;
  EXPECT_LT(watch.ms(), kShortConnectMs + kShortBoundSlackMs);
}

// HTTPS: the chain is verified against the system store or the CURL_CA_BUNDLE file, and the
// certificate must name 127.0.0.1. The stand-in staples no status, so a success also shows
// that none is asked for.
class HttpsGet : public servertest::CertificatesTest<> {
 protected:
  void SetUp() override { ASSERT_TRUE(certificates->ok()) << certificates->error(); }
};

enum class Certificate { Good, WrongName, SelfSigned };

struct TlsCase {
  const char* name;
  Certificate certificate;
  bool testCa;  // CURL_CA_BUNDLE names the test CA; else the system store is used
  bool accepted;
};

std::ostream& operator<<(std::ostream& out, const TlsCase& c) { return out << c.name; }

class HttpsGetMatrix : public HttpsGet, public ::testing::WithParamInterface<TlsCase> {};

TEST_P(HttpsGetMatrix, ServerIsReachedOnlyWithAVerifiedCertificateForItsName) {
  const TlsCase& c = GetParam();
  const std::string& cert = c.certificate == Certificate::Good ? certificates->serverCert
                            : c.certificate == Certificate::WrongName
                                ? certificates->wrongNameCert
                                : certificates->selfSignedCert;
  const std::string& key = c.certificate == Certificate::Good        ? certificates->serverKey
                           : c.certificate == Certificate::WrongName ? certificates->wrongNameKey
                                                                     : certificates->selfSignedKey;
  kvsim::SimUpdateServer server(cert, key);
  ASSERT_TRUE(server.ready()) << server.error();
  if (c.testCa) setenv("CURL_CA_BUNDLE", certificates->caFile.c_str(), 1);

  const std::string base = server.baseUrl("/cgi/u");
  if (c.accepted) {
    HTTPResponse response = HTTPRequest::GET(base.c_str(), Query{{"op", "hi"}, {"rv", "2"}});
    EXPECT_EQ(response.get_status(), 200);
    EXPECT_EQ(std::string(response.get_response()), "ok\n");
    EXPECT_EQ(server.targets(), std::vector<std::string>{"/cgi/u?op=hi&rv=2&"});
  } else {
    const std::string failure = FailureOf(base);
    EXPECT_TRUE(StartsWith(failure, curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION))) << failure;
    EXPECT_TRUE(server.targets().empty()) << "the request must not reach a refused server";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, HttpsGetMatrix,
    ::testing::Values(TlsCase{"good_certificate_with_test_ca", Certificate::Good, true, true},
                      TlsCase{"wrong_name", Certificate::WrongName, true, false},
                      TlsCase{"self_signed", Certificate::SelfSigned, true, false},
                      TlsCase{"no_ca_for_the_chain", Certificate::Good, false, false}),
    servertest::CaseName<TlsCase>);

TEST_F(HttpsGet, WrongNameIsRefusedWithAMessageNamingTheHost) {
  kvsim::SimUpdateServer server(certificates->wrongNameCert, certificates->wrongNameKey);
  ASSERT_TRUE(server.ready()) << server.error();
  setenv("CURL_CA_BUNDLE", certificates->caFile.c_str(), 1);
  const std::string failure = FailureOf(server.baseUrl());
  EXPECT_NE(failure.find("'127.0.0.1'"), std::string::npos) << failure;
}

}  // namespace
