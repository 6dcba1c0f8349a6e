#include "HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "Log.h"

namespace {

constexpr long VERIFY_HOST_NAME = 2;    // curl's value: the certificate must name the host
constexpr int CHUNK_LOG_COLUMNS = 100;  // characters of a received chunk shown in the log
const char* const ALLOWED_PROTOCOLS = "http,https";
const char* const CA_BUNDLE_VARIABLE = "CURL_CA_BUNDLE";  // the curl tool's variable for a CA file
// ms by which libcurl's deadline may fire before our clock shows it: libcurl rounds the time
// it has spent to whole milliseconds when it checks the deadline
constexpr long CURL_TIMER_ROUNDING_MS = 1;

// What the write callback fills: the response and the body's bound.
struct Receiver {
  HTTPResponse* response;
  size_t limit;
  bool overflowed;
};

// libcurl's write callback: every byte is taken, unless the body would grow past its
// bound; then nothing is taken and libcurl aborts the transfer.
size_t _rcv_data(char* data, size_t size, size_t count, void* target) {
  Receiver* receiver = static_cast<Receiver*>(target);
  const size_t length = size * count;
  const int shown = static_cast<int>(std::min<size_t>(length, CHUNK_LOG_COLUMNS));
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n",
           static_cast<int>(size), static_cast<int>(count),
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(receiver->response)), shown, data);

  if (length > receiver->limit - std::min(receiver->limit, receiver->response->get_length())) {
    receiver->overflowed = true;
    return 0;
  }
  receiver->response->process(data, length);
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(length));
  return length;
}

struct EasyHandleDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

std::string _build_url(const char* base, const std::map<std::string, std::string>& query) {
  std::string url = base ? base : "";
  if (!query.empty()) {
    url += "?";
    for (const auto& pair : query) url += pair.first + "=" + pair.second + "&";
  }
  return url;
}

// Which bound a transfer that timed out ran into: the deadline when the whole time is up, the
// connect bound when the request never went out, else the speed floor.
std::string _timeout_text(CURL* handle, long elapsedMs, const HTTPLimits& limits) {
  if (elapsedMs + CURL_TIMER_ROUNDING_MS >= limits.deadlineMs)
    return "the transfer did not end within " + std::to_string(limits.deadlineMs) + " ms";
  curl_off_t sentAtUs = 0;
  if (curl_easy_getinfo(handle, CURLINFO_PRETRANSFER_TIME_T, &sentAtUs) != CURLE_OK ||
      sentAtUs == 0)
    return "no connection within " + std::to_string(limits.connectTimeoutMs) + " ms";
  return "the transfer was slower than " + std::to_string(HTTP_SPEED_FLOOR_BYTES_PER_S) +
         " bytes/s for " + std::to_string(limits.stallTimeoutS) + " s";
}

std::string _failure_text(CURLcode code, const char* detail, const Receiver& receiver,
                          const std::string& timeout) {
  if (receiver.overflowed || code == CURLE_FILESIZE_EXCEEDED)
    return "Reply body larger than " + std::to_string(receiver.limit) + " bytes";
  std::string text = curl_easy_strerror(code);
  if (code == CURLE_OPERATION_TIMEDOUT) text += ": " + timeout;
  if (detail[0] != '\0') text += std::string(" (") + detail + ")";
  return text;
}

}  // namespace

HTTPResponse::HTTPResponse(const char* request_) : request(request_ ? request_ : "") {}

void HTTPResponse::process(const char* data, unsigned long length) { body.append(data, length); }

HTTPResponse HTTPRequest::GET(const char* base, const std::map<std::string, std::string>& query) {
  return GET(base, query, HTTPLimits());
}

HTTPResponse HTTPRequest::GET(const char* base, const std::map<std::string, std::string>& query,
                              const HTTPLimits& limits) {
  std::unique_ptr<CURL, EasyHandleDeleter> curl(curl_easy_init());
  const std::string url = _build_url(base, query);
  HTTPResponse response(url.c_str());
  if (!curl) throw std::runtime_error("Could not create curl instance");

  Receiver receiver = {&response, limits.maxBodyBytes, false};
  char detail[CURL_ERROR_SIZE] = "";
  CURL* handle = curl.get();
  CURLcode code = curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, detail);
  // No signals for time-outs: a download runs on a worker thread.
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, _rcv_data);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_WRITEDATA, &receiver);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, ALLOWED_PROTOCOLS);
  // Firmware is not signed: the transport is its only protection, so the server's
  // certificate chain and name are both checked. No status (OCSP) request is made.
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, VERIFY_HOST_NAME);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  // Off is libcurl's default; a TLS backend without status requests reports the option as
  // not built in, which leaves it off all the same.
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYSTATUS, 0L);
    if (code == CURLE_NOT_BUILT_IN) code = CURLE_OK;
  }
  const char* caBundle = getenv(CA_BUNDLE_VARIABLE);
  if (code == CURLE_OK && caBundle && caBundle[0] != '\0')
    code = curl_easy_setopt(handle, CURLOPT_CAINFO, caBundle);
  if (code == CURLE_OK)
    code = curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
  if (code == CURLE_OK)
    code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, HTTP_SPEED_FLOOR_BYTES_PER_S);
  if (code == CURLE_OK)
    code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, limits.stallTimeoutS);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, limits.deadlineMs);
  if (code == CURLE_OK)
    code = curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE,
                            static_cast<curl_off_t>(limits.maxBodyBytes));

  const auto started = std::chrono::steady_clock::now();
  if (code == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", url.c_str());
    code = curl_easy_perform(handle);
  }
  const long elapsedMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - started)
                                               .count());
  long status = 0;
  if (code == CURLE_OK) code = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  const std::string timeout =
      code == CURLE_OPERATION_TIMEDOUT ? _timeout_text(handle, elapsedMs, limits) : "";
  curl.reset();  // before the buffers it was given go
  if (code != CURLE_OK) throw std::runtime_error(_failure_text(code, detail, receiver, timeout));

  response.set_status(status);
  return response;
}

bool HTTPRequest_GlobalInit() {
  static std::once_flag once;
  static bool initialised = false;
  std::call_once(once, [] { initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return initialised;
}
