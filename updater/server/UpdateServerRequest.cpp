#include "UpdateServerRequest.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "HTTPRequest.h"
#include "Log.h"
#include "aVersion.h"

const char* const UpdateServerRequest::default_url = "http://update.zentrova.com/cgi/u";
const char* const UpdateServerRequest::delimiters = "\n";

namespace {

constexpr long HTTP_OK = 200;
constexpr size_t SHORTEST_ENTRY = 3;          // characters of the shortest build-list or token line
constexpr size_t SHORTEST_TOKEN_PART = 2;     // characters of each part of a feature token
constexpr size_t VERSION_PARTS = 3;           // major, minor, patch
constexpr size_t SERIAL_TEXT_SIZE = 9;        // "%08X" and its terminator
constexpr size_t FINGERPRINT_TEXT_SIZE = 48;  // four "%08X" words joined by "%20", terminated

const char* const PING = "ping";
const char* const QUERY_BUILD = "QueryBuild";
const char* const GET_BUILD = "GetBuild";
const char* const GET_BUILD_LIST = "GetBuildList";
const char* const GET_RECOVERY_INFO = "GetRecoveryInfo";
const char* const GET_DEVICE_JWT = "GetDeviceJWT";
const char* const SORT_VERSION = "_sortVersion";

typedef std::map<std::string, std::string> Query;

// Pieces of a text the way strtok cuts them: leading delimiters are skipped, a piece runs to
// the next delimiter, and that one delimiter is stepped over. The text ends at its first 0.
class _Tokens {
 public:
  explicit _Tokens(const char* text) : text_(text ? text : "") {}

  bool next(const char* delims, std::string& piece) {
    const size_t start = text_.find_first_not_of(delims, position_);
    if (start == std::string::npos) {
      position_ = text_.size();
      return false;
    }
    const size_t end = text_.find_first_of(delims, start);
    if (end == std::string::npos) {
      piece = text_.substr(start);
      position_ = text_.size();
    } else {
      piece = text_.substr(start, end - start);
      position_ = end + 1;
    }
    return true;
  }

 private:
  std::string text_;
  size_t position_ = 0;
};

std::string _serial_text(unsigned int serial) {
  char text[SERIAL_TEXT_SIZE];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

bool _failed(const char* name, const std::exception& error) {
  Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, error.what());
  return false;
}

// The bounds of a build download: the small requests' but for the longer deadline.
HTTPLimits _download_limits() {
  HTTPLimits limits;
  limits.deadlineMs = HTTP_DOWNLOAD_DEADLINE_MS;
  return limits;
}

// One GET to the base URL (the default when null); true with the reply's lines when the
// status is 200 and the first line begins "ok". Throws what the GET throws.
bool _ask(const char* name, const char* url, const Query& query, std::vector<std::string>& lines,
          const HTTPLimits& limits = HTTPLimits()) {
  HTTPResponse response =
      HTTPRequest::GET(url ? url : UpdateServerRequest::default_url, query, limits);
  if (response.get_status() != HTTP_OK) {
    if (strcmp(name, PING) == 0)
      Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
               response.get_response());
    else
      Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name,
               static_cast<int>(response.get_status()), response.get_response());
    return false;
  }

  lines.clear();
  _Tokens tokens(response.get_response());
  std::string line;
  while (tokens.next(UpdateServerRequest::delimiters, line)) lines.push_back(line);
  if (lines.empty() || lines[0].compare(0, 2, "ok") != 0) {
    Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
    return false;
  }
  return true;
}

// The text up to its first CR or LF.
std::string _cut_at_line_end(const std::string& text) {
  return text.substr(0, text.find_first_of("\r\n"));
}

// A serial number in hexadecimal (an optional "0x" before the digits); false when the text
// holds no digit there or the number is 0, which names no module.
bool _read_serial(const std::string& text, unsigned int& serial) {
  size_t i = 0;
  while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0) i += 2;
  uint32_t value = 0;
  size_t digits = 0;
  for (; i < text.size() && isxdigit(static_cast<unsigned char>(text[i])); ++i, ++digits) {
    const char c = static_cast<char>(tolower(static_cast<unsigned char>(text[i])));
    value = value << 4 | static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  if (digits == 0 || value == 0) return false;
  serial = value;
  return true;
}

// A version's three numbers, each taken modulo 256; valid only when all three convert.
struct _Version {
  bool threeParts = false;
  bool valid = false;
  uint8_t number[VERSION_PARTS] = {0, 0, 0};
  std::string error;
};

_Version _convert_version(const std::string& text) {
  _Version version;
  const std::vector<std::string> parts = UpdateServerRequest::SplitKolvantisVersion(text);
  if (parts.size() != VERSION_PARTS) {
    version.error = "'" + text + "' is not major.minor.patch";
    return version;
  }
  version.threeParts = true;
  for (size_t i = 0; i < VERSION_PARTS; ++i) {
    try {
      version.number[i] = static_cast<uint8_t>(std::stoi(parts[i]));
    } catch (const std::invalid_argument&) {
      version.error = "'" + parts[i] + "' in '" + text + "' is not a number";
      return version;
    } catch (const std::out_of_range&) {
      version.error = "'" + parts[i] + "' in '" + text + "' is out of range";
      return version;
    }
  }
  version.valid = true;
  return version;
}

// True when a's version is newer than b's. Only well-formed versions have an order among
// themselves; every other entry goes after them, so the order stays strict and weak.
bool _sortVersion(const std::pair<std::string, std::string>& a,
                  const std::pair<std::string, std::string>& b) {
  const _Version vb = _convert_version(b.second);
  const _Version va = _convert_version(a.second);
  if (va.valid && vb.valid)
    return !aVersion_IsAtLeastCompare(vb.number[0], vb.number[1], vb.number[2], va.number[0],
                                      va.number[1], va.number[2]);
  if (va.threeParts || vb.threeParts)
    Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", SORT_VERSION,
             (vb.valid ? va : vb).error.c_str());
  return va.valid && !vb.valid;
}

}  // namespace

bool UpdateServerRequest::ping(const char* url) {
  try {
    std::vector<std::string> lines;
    return _ask(PING, url, Query{{"op", "hi"}, {"rv", "2"}}, lines);
  } catch (const std::exception& error) {
    return _failed(PING, error);
  }
}

bool UpdateServerRequest::QueryBuild(unsigned int serial, std::string& build,
                                     std::string& firmwareToken, const char* url) {
  try {
    std::vector<std::string> lines;
    if (!_ask(QUERY_BUILD, url, Query{{"op", "qu"}, {"sn", _serial_text(serial)}}, lines))
      return false;
    if (lines.size() > 1) build = lines[1];
    if (lines.size() > 2) firmwareToken = _cut_at_line_end(lines[2]);
    return true;
  } catch (const std::exception& error) {
    return _failed(QUERY_BUILD, error);
  }
}

bool UpdateServerRequest::GetBuild(unsigned int serial, const char* firmwareToken,
                                   const char* build, std::string& base64Text, const char* url,
                                   bool no_cal) {
  try {
    if (!firmwareToken || !build) throw std::invalid_argument("no firmware token or build given");
    const Query query{{"bld", build},
                      {"fw", firmwareToken},
                      {"no_cal", no_cal ? "true" : "false"},
                      {"op", "bird"},
                      {"sn", _serial_text(serial)}};
    std::vector<std::string> lines;
    if (!_ask(GET_BUILD, url, query, lines, _download_limits())) return false;
    base64Text.clear();
    if (lines.size() > 1) base64Text = lines[1];
    return true;
  } catch (const std::exception& error) {
    return _failed(GET_BUILD, error);
  }
}

bool UpdateServerRequest::GetBuildList(unsigned int serial,
                                       std::map<std::string, std::string>& builds,
                                       const char* url) {
  builds.clear();
  try {
    std::vector<std::string> lines;
    if (!_ask(GET_BUILD_LIST, url, Query{{"op", "builds"}, {"sn", _serial_text(serial)}}, lines))
      return false;
    for (size_t i = 1; i < lines.size(); ++i) {
      if (lines[i].size() < SHORTEST_ENTRY) continue;
      Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", GET_BUILD_LIST, lines[i].c_str());
      _Tokens pieces(lines[i].c_str());
      std::string build;
      std::string version;
      if (!pieces.next(";\r\n", build)) continue;
      pieces.next(";\r\n", version);
      builds.insert({build, version});
      Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", GET_BUILD_LIST, build.c_str(),
               version.c_str());
    }
    return true;
  } catch (const std::exception& error) {
    return _failed(GET_BUILD_LIST, error);
  }
}

bool UpdateServerRequest::GetRecoveryInfo(unsigned int* words, unsigned int* serial,
                                          unsigned int* build, const char* url) {
  try {
    if (!words || !serial || !build) throw std::invalid_argument("no chip words or outputs given");
    char fingerprint[FINGERPRINT_TEXT_SIZE];
    snprintf(fingerprint, sizeof fingerprint, "%08X%%20%08X%%20%08X%%20%08X", words[0], words[1],
             words[2], words[3]);
    std::vector<std::string> lines;
    if (!_ask(GET_RECOVERY_INFO, url, Query{{"brief", "true"}, {"fp", fingerprint}, {"op", "fix"}},
              lines))
      return false;

    const std::string serialLine = lines.size() > 1 ? lines[1] : std::string();
    const std::string buildLine = lines.size() > 2 ? lines[2] : std::string();
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", GET_RECOVERY_INFO, lines[0].c_str(),
             serialLine.c_str(), buildLine.c_str());
    // A recovery must not go on for a module without a serial number.
    unsigned int serialNumber = 0;
    if (!_read_serial(serialLine, serialNumber)) {
      Log::log(DEBUG_ServerComm, "ServerCommClass: %s gave no serial number [%.20s]\n",
               GET_RECOVERY_INFO, serialLine.c_str());
      return false;
    }
    *serial = serialNumber;
    if (lines.size() > 2)
      *build = static_cast<unsigned int>(strtoull(buildLine.c_str(), nullptr, 0));
    return true;
  } catch (const std::exception& error) {
    return _failed(GET_RECOVERY_INFO, error);
  }
}

bool UpdateServerRequest::GetDeviceJWT(unsigned int serial, std::string& token, const char* url) {
  try {
    std::vector<std::string> lines;
    const Query query{{"json", "false"}, {"op", "ent_jwt"}, {"sn", _serial_text(serial)}};
    if (!_ask(GET_DEVICE_JWT, url, query, lines)) return false;
    if (lines.size() < 2 || lines[1].size() < SHORTEST_ENTRY) return false;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", GET_DEVICE_JWT, lines[1].c_str());

    _Tokens parts(lines[1].c_str());
    std::string header;
    std::string payload;
    std::string signature;
    if (!parts.next(".", header) || !parts.next(".", payload) || !parts.next("\r\n", signature))
      return false;
    if (header.size() < SHORTEST_TOKEN_PART || payload.size() < SHORTEST_TOKEN_PART ||
        signature.size() < SHORTEST_TOKEN_PART)
      return false;
    token = header + "." + payload + "." + signature;
    return true;
  } catch (const std::exception& error) {
    return _failed(GET_DEVICE_JWT, error);
  }
}

std::vector<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(
    const std::map<std::string, std::string>& builds) {
  std::vector<std::pair<std::string, std::string>> sorted(builds.begin(), builds.end());
  std::stable_sort(sorted.begin(), sorted.end(), _sortVersion);
  return sorted;
}

std::vector<std::string> UpdateServerRequest::SplitKolvantisVersion(std::string version) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t dot = version.find('.', start);
    parts.push_back(
        version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (parts.size() != VERSION_PARTS) parts.clear();
  return parts;
}
