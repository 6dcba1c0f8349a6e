#pragma once

// The update server's protocol from the client's side: one GET per operation, the answer
// read from the reply's lines, and the ordering of build lists by version. The operations
// keep no state, never throw and report every failure as false, with a line in the
// diagnostic log (DEBUG_ServerComm).
//
// A reply counts only with status 200 and a first line beginning "ok"; the lines after it
// carry the answer. Empty lines are skipped.

#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
 public:
  UpdateServerRequest() = delete;

  static const char* const default_url;  // the base URL used when a caller passes null
  static const char* const delimiters;   // what separates the lines of a reply

  static bool ping(const char* url);
  // The latest build number text (line 2, a carriage return kept) and the firmware token
  // (line 3, cut at its first CR or LF); each set only when its line is there.
  static bool QueryBuild(unsigned int serial, std::string& build, std::string& firmwareToken,
                         const char* url);
  // The build's firmware file as base64 text (line 2); emptied when the line is missing.
  static bool GetBuild(unsigned int serial, const char* firmwareToken, const char* build,
                       std::string& base64Text, const char* url, bool no_cal);
  // Build number text -> version text ("" when none); emptied first.
  static bool GetBuildList(unsigned int serial, std::map<std::string, std::string>& builds,
                           const char* url);
  // The serial number and build of the module a chip (four words) belongs to. A reply
  // without a usable serial number fails and leaves both outputs alone; the build is
  // set only when its line is there.
  static bool GetRecoveryInfo(unsigned int* words, unsigned int* serial, unsigned int* build,
                              const char* url);
  // The module's feature token, three parts joined by ".".
  static bool GetDeviceJWT(unsigned int serial, std::string& token, const char* url);

  // Newest version first; builds whose version is not three numbers come last, and
  // builds that compare equal keep their key order.
  static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(
      const std::map<std::string, std::string>& builds);
  // The three parts of "major.minor.patch", or an empty list when there are not three.
  static std::vector<std::string> SplitKolvantisVersion(std::string version);
};
