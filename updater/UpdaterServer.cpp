// The commands that work with the update server or list builds: the download of a build into
// the module's store directory (-G), the server's build list (-B), the builds in the store
// (-L) and the module's feature token (-J), and the console output of their results.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "BirdFile.h"
#include "FileReplace.h"
#include "KeyValueStore.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "base64.h"
#include "path.h"

namespace {

// The spinner turns while the download's worker runs.
constexpr std::chrono::milliseconds SPINNER_TURN_MS(100);  // ms between turns
const char* const SPINNER_LABEL = "Downloading";

const char* const BIRD_SUFFIX = ".bird";
constexpr char UNPRINTABLE =
    '?';  // stands in for each byte of a server text a terminal must not get

// The leading decimal number of a text: white space may come first, anything may follow the
// digits. False for a text without a number, a negative one or one beyond 32 bits.
bool _leading_number(const std::string& text, uint32_t& value) {
  const size_t first = text.find_first_not_of(" \t\n\v\f\r");
  if (first == std::string::npos || text[first] == '-') return false;
  try {
    const unsigned long long number = std::stoull(text.substr(first), nullptr, 10);
    if (number > UINT32_MAX) return false;
    value = static_cast<uint32_t>(number);
    return true;
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
  return false;
}

// A build number the server gave as text; 0, with a log line, when it holds none.
uint32_t _server_build_number(const std::string& text) {
  uint32_t value = 0;
  if (_leading_number(text, value)) return value;
  Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
  return 0;
}

// True when the build is one of those the server lists for the module.
bool _valid_build(uint32_t serialNumber, uint32_t build, const char* url) {
  BuildList builds;
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, url)) return false;
  for (const auto& entry : builds)
    if (_server_build_number(entry.first) == build) return true;
  return false;
}

// What the download's worker needs, moved into its thread. The result text and the promise
// belong to the calling thread, which reads the text only after the worker was joined.
struct _DownloadJob {
  std::string url;
  std::promise<bool>* fetched;
  uint32_t serialNumber;
  std::string firmwareToken;
  std::string build;
  std::string* base64Text;
  bool noCal;
};

void _download_worker(_DownloadJob job) {
  bool fetched = false;
  // GetBuild reports its failures as false; anything else must not end the thread with an
  // exception, which would end the program.
  try {
    fetched = UpdateServerRequest::GetBuild(job.serialNumber, job.firmwareToken.c_str(),
                                            job.build.c_str(), *job.base64Text, job.url.c_str(),
                                            job.noCal);
  } catch (...) {
    fetched = false;
  }
  job.fetched->set_value(fetched);
}

// Joins the worker on every way out of the download, so no thread outlives the texts it
// writes.
class _JoinOnExit {
 public:
  explicit _JoinOnExit(std::thread& thread) : thread_(thread) {}
  ~_JoinOnExit() {
    if (thread_.joinable()) thread_.join();
  }
  _JoinOnExit(const _JoinOnExit&) = delete;
  _JoinOnExit& operator=(const _JoinOnExit&) = delete;

 private:
  std::thread& thread_;
};

// Runs GetBuild on one worker thread while the spinner turns on this one; false when the
// fetch failed or its thread could not be started.
bool _fetch_with_spinner(UpdaterDisplayInterface& display, _DownloadJob job) {
  std::promise<bool> fetched;
  std::future<bool> answer = fetched.get_future();
  job.fetched = &fetched;

  std::thread worker;
  try {
    worker = std::thread(_download_worker, std::move(job));
  } catch (const std::system_error& error) {
    Log::log(DEBUG_Updater, "Could not start the download thread: %s\n", error.what());
    return false;
  }
  _JoinOnExit joiner(worker);

  display.update_spinner(true, SPINNER_LABEL);
  while (answer.wait_for(SPINNER_TURN_MS) != std::future_status::ready)
    display.update_spinner(true, SPINNER_LABEL);
  display.update_spinner(false, SPINNER_LABEL);
  const bool ok = answer.get();
  worker.join();
  return ok;
}

// The bytes checked with the store's own reader before they take the build's name: written
// under a hidden temporary name (listings skip it, and a later write removes it when this run
// was killed before it could), loaded as a BIRD file, then removed again.
bool _loads_as_bird_file(UpdaterDisplayInterface& display, UpdaterStoreItem& item,
                         const std::string& build, const unsigned char* bytes,
                         unsigned long length) {
  const std::string probe = HiddenTemporaryName(build + BIRD_SUFFIX + ".check");
  const aErr written = item.WriteFile(probe.c_str(), bytes, length);
  if (written != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to write file with %d",
                    static_cast<int>(written));
    return false;
  }
  bool loads = false;
  try {
    BirdFile file = item.ReadBirdFile(probe.c_str());
    loads = true;
  } catch (const std::runtime_error& error) {
    Log::log(DEBUG_Updater, "Downloaded build %s does not load: %s\n", build.c_str(), error.what());
  }
  const std::string probePath =
      BuildPath(item.directory.c_str(), item.name.c_str(), probe.c_str(), nullptr);
  if (unlink(probePath.c_str()) != 0)
    Log::log(DEBUG_Updater, "Could not remove %s\n", probePath.c_str());
  if (!loads)
    display.message(UpdaterDisplayInterface::ERROR,
                    "Build %s from the server is not a valid BIRD file; nothing was stored",
                    build.c_str());
  return loads;
}

// A server's text as the console shows it: every byte outside printable ASCII, which could
// steer the terminal, replaced.
std::string _printable(const std::string& text) {
  constexpr unsigned char FIRST_PRINTABLE = 0x20;
  constexpr unsigned char LAST_PRINTABLE = 0x7E;
  std::string shown = text;
  for (char& c : shown) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < FIRST_PRINTABLE || byte > LAST_PRINTABLE) c = UNPRINTABLE;
  }
  return shown;
}

}  // namespace

uint32_t Updater::Download_Firmware(uint32_t serialNumber, std::string buildText, bool override,
                                    bool noCal) {
  uint32_t build = 0;
  if (!buildText.empty() && !_leading_number(buildText, build)) {
    display.message(UpdaterDisplayInterface::ERROR, "Build number '%s' must be an number",
                    buildText.c_str());
    return 0;
  }
  if (serialNumber == 0) {
    display.message(UpdaterDisplayInterface::ERROR, "Serial Number must be non-zero");
    return 0;
  }
  if (!UpdateServerRequest::ping(url.c_str())) {
    display.message(UpdaterDisplayInterface::ERROR, "Server request failed for %s", url.c_str());
    return 0;
  }

  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(display, storeDirectory, "Download_Firmware");
  if (!store) return 0;
  UpdaterStoreItem item;
  if (!_find_or_add_device(display, *store, serialNumber, &item)) return 0;

  std::string latest;
  std::string firmwareToken;
  if (!UpdateServerRequest::QueryBuild(serialNumber, latest, firmwareToken, url.c_str())) {
    display.message(UpdaterDisplayInterface::ERROR, "No build information for device");
    return 0;
  }
  if (build == 0) {
    build = _server_build_number(latest);
    // Without a latest build there is nothing to fetch: a build 0 would be stored under a
    // name that no update takes, and reported as a failure all the same.
    if (build == 0) {
      display.message(UpdaterDisplayInterface::ERROR, "No build information for device");
      return 0;
    }
  }

  display.message(UpdaterDisplayInterface::INFO, "Retrieving build %u", build);
  if (override) {
    display.message(UpdaterDisplayInterface::INFO,
                    "Override specified, skipping validation of build %u", build);
  } else {
    display.message(UpdaterDisplayInterface::INFO, "Validating build %u with server", build);
    if (!_valid_build(serialNumber, build, url.c_str())) {
      display.message(UpdaterDisplayInterface::ERROR, "No valid build %u", build);
      return 0;
    }
    display.message(UpdaterDisplayInterface::INFO, "Build %u is valid", build);
  }
  buildText = std::to_string(build);

  std::string base64Text;
  const bool fetched = _fetch_with_spinner(
      display,
      _DownloadJob{url, nullptr, serialNumber, firmwareToken, buildText, &base64Text, noCal});
  if (!fetched) display.message(UpdaterDisplayInterface::ERROR, "Download failed");
  if (!fetched || base64Text.empty()) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to retrieve a valid BIRD file");
    return 0;
  }

  // The file is checked before it is stored, so a bad answer never replaces a good file and
  // never becomes the latest download.
  unsigned long length = 0;
  std::unique_ptr<unsigned char, decltype(&free)> bytes(
      base64_decode(base64Text.c_str(), base64Text.size(), &length), &free);
  if (!bytes) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "Build %u from the server is not valid base64 text; nothing was stored", build);
    return 0;
  }
  if (!_loads_as_bird_file(display, item, buildText, bytes.get(), length)) return 0;
  const std::string name = buildText + BIRD_SUFFIX;
  const std::string timeText = KeyValueStore::LocalTimeText();
  const aErr written = item.WriteFile(name.c_str(), bytes.get(), length);
  if (written != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to write file with %d",
                    static_cast<int>(written));
    return 0;
  }
  bytes.reset();

  item.attributes.Add("LATEST_DOWNLOAD", name);
  item.attributes.Add("LAST_DOWNLOAD_DATE", timeText);
  item.attributes.Save(nullptr);
  if (item.attributes.IsDirty())
    display.message(UpdaterDisplayInterface::ERROR, "Failed to record the download of %s in %s",
                    name.c_str(), item.attributes.Path().c_str());
  return build;
}

uint32_t Updater::Download_Firmware(const Fingerprint& fingerprint, std::string buildText,
                                    bool override) {
  uint32_t build = 0;
  if (!buildText.empty()) build = _server_build_number(buildText);

  unsigned int words[4] = {fingerprint.word[0], fingerprint.word[1], fingerprint.word[2],
                           fingerprint.word[3]};
  unsigned int serialNumber = 0;
  unsigned int serverBuild = 0;
  if (!UpdateServerRequest::GetRecoveryInfo(words, &serialNumber, &serverBuild, url.c_str())) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "Failed to retrieve recovery information from Zentrova update server");
    return 0;
  }
  if (build == 0) build = serverBuild;
  return Download_Firmware(serialNumber, std::to_string(build), override, false);
}

BuildList Updater::Get_BuildList(uint32_t serialNumber) {
  BuildList builds;
  if (!UpdateServerRequest::ping(url.c_str())) {
    display.message(UpdaterDisplayInterface::ERROR, "Server request failed for %s", url.c_str());
    return builds;
  }
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, url.c_str()))
    display.message(UpdaterDisplayInterface::ERROR, "Failed to retrieve builds for %08X",
                    serialNumber);
  return builds;
}

std::string Updater::Get_JWT(uint32_t serialNumber) {
  std::string token;
  if (!UpdateServerRequest::ping(url.c_str())) {
    display.message(UpdaterDisplayInterface::ERROR, "Server request failed for %s", url.c_str());
    return token;
  }
  if (!UpdateServerRequest::GetDeviceJWT(serialNumber, token, url.c_str()))
    display.message(UpdaterDisplayInterface::ERROR, "Failed to retrieve jwt for %08X",
                    serialNumber);
  return token;
}

BuildList Updater::Get_BuildListLocal(uint32_t serialNumber) {
  BuildList builds;
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(display, storeDirectory, "Get_BuildListLocal");
  if (!store) return builds;
  std::vector<UpdaterStoreItem> items;
  store->FindLocalBuilds(serialNumber, items);
  for (const UpdaterStoreItem& item : items) {
    const std::string key = item.name.substr(0, item.name.find(BIRD_SUFFIX));
    std::string version;
    if (item.IsValid()) {
      const std::string path = item.directory + "/" + item.name;
      // Builds are regular files (a linked one too); a directory, FIFO or device is not
      // one and is never opened.
      struct stat info;
      if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        Log::log(DEBUG_Updater, "Not a build, not a regular file: %s\n", path.c_str());
        continue;
      }
      if (BirdFile::VerifyFile(path.c_str())) {
        try {
          const BirdFile file(path.c_str());
          version = file.GetVersion();
          if (!version.empty())
            Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: %s\n", path.c_str(),
                     version.c_str());
        } catch (const std::runtime_error&) {
          version.clear();
        }
      } else {
        Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
      }
    }
    builds.insert({key, version});
  }
  return builds;
}

void _display_builds(CLI_Display& display, BuildList& builds, uint32_t serialNumber) {
  if (builds.empty()) {
    display.message(UpdaterDisplayInterface::INFO, "No builds found for device [%08X]",
                    serialNumber);
    return;
  }
  display.message(UpdaterDisplayInterface::INFO, "Build List for device [%08X]:\n", serialNumber);
  display.message(UpdaterDisplayInterface::INFO, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds))
    display.message(UpdaterDisplayInterface::INFO, "%-15.15s\t%-15.15s",
                    _printable(entry.first).c_str(), _printable(entry.second).c_str());
}

void _display_jwt(CLI_Display& display, std::string token) {
  display.message(UpdaterDisplayInterface::INFO, "%s", _printable(token).c_str());
}
