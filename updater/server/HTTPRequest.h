#pragma once

// One HTTP or HTTPS GET per call through libcurl; the reply body is collected whole.
// Status codes and bodies are not judged here: that is the caller's work.

#include <cstddef>
#include <map>
#include <string>

// Bounds of one GET, so that a dead or stalling server cannot hold the program.
constexpr long HTTP_CONNECT_TIMEOUT_MS = 15000;        // ms for the TCP connection and the TLS handshake
constexpr long HTTP_STALL_SPEED_BYTES_PER_S = 1;       // a transfer slower than this counts as stalled
// A stall is noticed once the bytes before it have left libcurl's speed average (a few
// seconds), so a transfer that stops mid-body ends within about 20 s.
constexpr long HTTP_STALL_TIMEOUT_S = 15;              // s a stalled transfer lasts before it is aborted
constexpr size_t HTTP_MAX_BODY_BYTES = 32u << 20;      // bytes a reply body may have (32 MiB)

// The bounds of one GET; the defaults above unless a caller (a test) narrows them.
struct HTTPLimits {
    long connectTimeoutMs = HTTP_CONNECT_TIMEOUT_MS;
    long stallTimeoutS = HTTP_STALL_TIMEOUT_S;
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
    // itself (no connection, TLS refused, time-out, oversize body) throws std::runtime_error.
    static HTTPResponse GET(const char* base, const std::map<std::string, std::string>& query);
    static HTTPResponse GET(const char* base, const std::map<std::string, std::string>& query,
                            const HTTPLimits& limits);
};

// Initialises libcurl for the whole process. Call once at program start, before any thread
// is started; later calls do nothing and give the first call's result.
bool HTTPRequest_GlobalInit();
