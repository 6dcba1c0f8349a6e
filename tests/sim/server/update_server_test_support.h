// Test fixtures around the stand-in update server: one server, or one set of test
// certificates, for a whole test suite. Base is the GoogleTest fixture to build on.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "sim_update_server.h"
#include "support.h"

namespace kvsim {

// Removes the variables that would send a client through a proxy or to another CA.
inline void ClearProxyAndCaVariables() {
  for (const char* name :
       {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy",
        "NO_PROXY", "no_proxy", "CURL_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR"})
    unsetenv(name);
}

// One stand-in server over plain HTTP for the whole suite, ready and reset before each test.
template <class Base = ::testing::Test>
class StandInServerSuite : public Base {
 protected:
  static void SetUpTestSuite() {
    ClearProxyAndCaVariables();
    server = new SimUpdateServer();
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server->ready()) << server->error();
    ASSERT_TRUE(server->reset()) << server->error();
  }

  static inline SimUpdateServer* server = nullptr;
};

// The test certificates, made once for the whole suite in a temporary directory; the CA
// variable a test sets is removed after it.
template <class Base = ::testing::Test>
class TestCertificatesSuite : public Base {
 protected:
  static void SetUpTestSuite() {
    ClearProxyAndCaVariables();
    directory = new TempDir();
    certificates = new TestCertificates(directory->path());
  }
  static void TearDownTestSuite() {
    delete certificates;
    certificates = nullptr;
    delete directory;
    directory = nullptr;
  }
  void TearDown() override { unsetenv("CURL_CA_BUNDLE"); }

  static inline TempDir* directory = nullptr;
  static inline TestCertificates* certificates = nullptr;
};

}  // namespace kvsim
