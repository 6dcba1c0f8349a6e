// Helpers of the update-server client tests: a clean environment for libcurl, the
// diagnostic log captured into memory, a stopwatch, and fixtures with the stand-in server
// or the test certificates for a whole test suite.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "HTTPRequest.h"
#include "Log.h"
#include "update_server_test_support.h"

namespace servertest {

// Test names of table cases: the case's name field.
template <class Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& parameter) {
  return parameter.param.name;
}

// The variables that would send the code under test through a proxy or to another CA.
inline void ClearClientEnvironment() {
  kvsim::ClearProxyAndCaVariables();
  HTTPRequest_GlobalInit();
}

// Log::log output of the update-server client, while the capture lives.
class LogCapture {
 public:
  LogCapture() : file_(tmpfile()) {
    Log::SetOutput(file_);
    Log::ActivatePackage(DEBUG_ServerComm);
  }
  ~LogCapture() {
    Log::DeactivatePackage(DEBUG_ServerComm);
    Log::SetOutput(nullptr);
    if (file_) fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const {
    std::string all;
    if (!file_) return all;
    fflush(file_);
    rewind(file_);
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file_)) > 0) all.append(chunk, got);
    fseek(file_, 0, SEEK_END);
    return all;
  }
  bool holds(const std::string& piece) const { return text().find(piece) != std::string::npos; }

 private:
  FILE* file_;
};

class Stopwatch {
 public:
  long ms() const {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start_)
                                 .count());
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The stand-in server or the test certificates for a whole suite, with the client's global
// set-up done.
template <class Base = ::testing::Test>
class StandInServerSuite : public kvsim::StandInServerSuite<Base> {
 protected:
  static void SetUpTestSuite() {
    kvsim::StandInServerSuite<Base>::SetUpTestSuite();
    HTTPRequest_GlobalInit();
  }
};
using StandInServerTest = StandInServerSuite<>;

template <class Base = ::testing::Test>
class CertificatesTest : public kvsim::TestCertificatesSuite<Base> {
 protected:
  static void SetUpTestSuite() {
    kvsim::TestCertificatesSuite<Base>::SetUpTestSuite();
    HTTPRequest_GlobalInit();
  }
};

}  // namespace servertest
