#pragma once

// One HTTP or HTTPS GET per call through libcurl; the reply body is collected whole.
// Status codes and bodies are not judged here: that is the caller's work.

#include <cstddef>
#include <map>
#include <string>

// Bounds of one GET, so that a dead, stalling or trickling server cannot hold the program.
constexpr long HTTP_CONNECT_TIMEOUT_MS = 15000;  // ms for the TCP connection and the TLS handshake
// A transfer slower than the floor over the whole window is abandoned. libcurl averages the
// speed over a few seconds, so a transfer that stops mid-body ends within about 20 s.
constexpr long HTTP_SPEED_FLOOR_BYTES_PER_S =
    1024;                                  // bytes/s below which a transfer counts as too slow
constexpr long HTTP_STALL_TIMEOUT_S = 15;  // s a too slow transfer lasts before it is abandoned
constexpr size_t HTTP_MAX_BODY_BYTES = 32u << 20;  // bytes a reply body may have (32 MiB)
// Backstops over the whole GET, connection included, for a transfer that keeps just above the
// floor: about a minute for the small requests, and for a build download room for a body of the
// whole cap at about 10 KiB/s.
constexpr long HTTP_REQUEST_DEADLINE_MS = 60000;     // ms a small request may take in all
constexpr long HTTP_DOWNLOAD_DEADLINE_MS = 3600000;  // ms a build download may take in all (1 h)

// The bounds of one GET; the defaults above unless a caller (a download, or a test) changes them.
struct HTTPLimits {
  long connectTimeoutMs = HTTP_CONNECT_TIMEOUT_MS;
  long stallTimeoutS = HTTP_STALL_TIMEOUT_S;
  long deadlineMs = HTTP_REQUEST_DEADLINE_MS;
  size_t maxBodyBytes = HTTP_MAX_BODY_BYTES;
};

// The reply of one GET: the URL asked for, the status (0 until the transfer completed) and
// every body byte in arrival order.
class HTTPResponse {
 public:
  explicit HTTPResponse(const char* request);
  ~HTTPResponse() = default;

  const char* get_request() const { return request.c_str(); }
  long get_status() const { return status; }
  void set_status(long value) { status = value; }
  // Appends the bytes to the body.
  void process(const char* data, unsigned long length);
  // The body's characters; callers may write into them but never change their length.
  char* get_response() { return body.data(); }
  size_t get_length() const { return body.size(); }

 private:
  std::string request;
  long status = 0;
  std::string body;
};

class HTTPRequest {
 public:
  // GET of base + "?" + "key=value&" for every pair in key order (nothing escaped; no "?"
  // for an empty map). Any status comes back in the response; a failure of the transfer
  // itself (no connection, TLS refused, time-out, oversize body) throws std::runtime_error. A
  // time-out's text begins with libcurl's and says which bound ended the transfer.
  static HTTPResponse GET(const char* base, const std::map<std::string, std::string>& query);
  static HTTPResponse GET(const char* base, const std::map<std::string, std::string>& query,
                          const HTTPLimits& limits);
};

// Initialises libcurl for the whole process. Call once at program start, before any thread
// is started; later calls do nothing and give the first call's result.
bool HTTPRequest_GlobalInit();
