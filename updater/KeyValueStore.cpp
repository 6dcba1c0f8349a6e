#include "KeyValueStore.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "FileReplace.h"
#include "Log.h"
#include "aFile.h"

namespace {

constexpr size_t kLineBufferSize = 2048;  // bytes per line read, terminator included
constexpr size_t kShortestLine = 3;  // characters, line end included, of the shortest entry line
constexpr const char* kWhiteSpace = " \t\n\v\f\r";

bool is_white(char c) { return c != '\0' && strchr(kWhiteSpace, c) != nullptr; }

bool holds_line_end(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

// A key that reads back as itself: something before the "=", on one line, not taken for a
// comment and not trimmed on reading.
bool valid_key(const char* key) {
  if (!key || key[0] == '\0' || key[0] == '#') return false;
  if (strpbrk(key, "=\r\n")) return false;
  return !is_white(key[0]) && !is_white(key[strlen(key) - 1]);
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(kWhiteSpace);
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(kWhiteSpace);
  return text.substr(first, last - first + 1);
}

// One line of the file into a key and a value; false for lines that hold no entry: short
// lines, comments, lines without "=" and lines whose key is empty.
bool parse_line(const char* line, size_t length, std::string& key, std::string& value) {
  if (length < kShortestLine || line[0] == '#') return false;
  const char* equals = strchr(line, '=');
  if (!equals) return false;
  key = trimmed(std::string(line, static_cast<size_t>(equals - line)));
  if (key.empty()) return false;
  value = trimmed(std::string(equals + 1));
  return true;
}

std::string formatted_double(double value) {
  const int length = snprintf(nullptr, 0, "%f", value);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length) + 1, '\0');
  snprintf(&text[0], text.size(), "%f", value);
  text.resize(static_cast<size_t>(length));
  return text;
}

}  // namespace

KeyValueStore::KeyValueStore(const char* path_) {
  if (path_) Load(path_);
}

std::string KeyValueStore::LocalTimeText() {
  // Spelled out rather than left to the locale, so the files read the same everywhere.
  static const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const time_t now = time(nullptr);
  struct tm local;
  if (now == static_cast<time_t>(-1) || !localtime_r(&now, &local)) return std::string();
  char text[64];
  snprintf(text, sizeof text, "%s %s %2d %02d:%02d:%02d %d", kWeekdays[local.tm_wday % 7],
           kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
           local.tm_year + 1900);
  return text;
}

void KeyValueStore::Load(const char* path_) {
  if (!path_) return;
  const std::string target(path_);

  errno = 0;
  aFile* file = OpenRegularFile(target.c_str());
  if (!file) {
    const int error = errno;
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
             target.c_str(), error);
    if (error == ENOENT) {
      // Only a file that is not there is started afresh; one that exists but cannot be
      // read is never overwritten by a new, nearly empty one.
      unreadablePath.clear();
      set_entry(KEY_CREATED_TIME, LocalTimeText());
      Save(target.c_str());
    } else {
      unreadablePath = target;
    }
    path = target;
    dirty = false;
    return;
  }

  path = target;
  dirty = false;
  unreadablePath.clear();

  char line[kLineBufferSize];
  bool skippingLongLine = false;
  for (;;) {
    size_t length = 0;
    errno = 0;
    const aErr read = aFile_ReadLine(file, line, sizeof line, &length);
    if (read == aErrOverrun) {
      // A line too long for the buffer holds no entry we could keep whole: drop it
      // piece by piece up to its line end and go on with the next one.
      skippingLongLine = true;
      continue;
    }
    if (read != aErrNone) {
      if (read != aErrEOF) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot read attributes file: '%s' (%d)\n",
                 target.c_str(), errno);
        unreadablePath = target;
      }
      break;
    }
    if (skippingLongLine) {
      skippingLongLine = false;  // the tail of the long line
      continue;
    }
    std::string key;
    std::string value;
    if (parse_line(line, length, key, value)) entries[key] = value;
  }
  aFile_Close(&file);
}

void KeyValueStore::Save(const char* path_) {
  if (path_) {
    path = path_;
  } else if (path.empty()) {
    path = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
             path.c_str());
  }

  if (dirty) set_entry(KEY_UPDATED_TIME, LocalTimeText());

  if (!unreadablePath.empty() && path == unreadablePath) {
    Log::log(DEBUG_Attributes,
             "Attibutes: Error - not replacing attributes file that could not be read: '%s'\n",
             path.c_str());
    return;
  }

  const ReplaceResult result = ReplaceFile(path, [this](aFile* file) {
    for (const auto& entry : entries) {
      const aErr written = aFile_Printf(file, "%s=%s\n", entry.first.c_str(), entry.second.c_str());
      if (written != aErrNone) return written;
    }
    return aErrNone;
  });
  if (!result.opened) {
    Log::log(DEBUG_Attributes,
             "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             path.c_str(), result.systemError);
    return;
  }
  if (result.code != aErrNone) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
             path.c_str(), result.systemError);
    return;
  }
  dirty = false;
}

bool KeyValueStore::set_entry(const char* key, const std::string& text) {
  if (!valid_key(key)) {
    Log::log(DEBUG_Attributes,
             "Attibutes: Error - refused key '%s': not a single-line key without '='\n",
             key ? key : "(null)");
    return false;
  }
  if (holds_line_end(text) || text.find('\0') != std::string::npos) {
    Log::log(DEBUG_Attributes,
             "Attibutes: Error - refused value for key '%s': it holds a line end\n", key);
    return false;
  }
  std::string& value = entries[key];
  if (value != text) {
    dirty = true;
    value = text;
  }
  return true;
}

bool KeyValueStore::Add(const char* key, const char* text) {
  if (!text) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - refused value for key '%s': no text\n",
             key ? key : "(null)");
    return false;
  }
  return set_entry(key, text);
}

bool KeyValueStore::Add(const char* key, const std::string& text) { return set_entry(key, text); }

bool KeyValueStore::Add(const char* key, int value) {
  return set_entry(key, std::to_string(value));
}

bool KeyValueStore::Add(const char* key, double value) {
  return set_entry(key, formatted_double(value));
}

bool KeyValueStore::AddHex(const char* key, unsigned int value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", value);
  return set_entry(key, text);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  for (const auto& entry : other.entries) {
    entries[entry.first] = entry.second;
    dirty = true;
  }
  return true;
}

bool KeyValueStore::Clear() {
  entries.clear();
  dirty = true;
  return true;
}

// The value a number getter converts: the entry, inserted empty when missing. Null for a key
// that could not be written back, which is never inserted.
std::string* KeyValueStore::number_value(const char* key) {
  if (!valid_key(key)) return nullptr;
  return &entries[key];
}

int KeyValueStore::GetInt(const char* key, int defaultValue) {
  const std::string* value = number_value(key);
  if (!value || value->empty()) return defaultValue;
  const long number = strtol(value->c_str(), nullptr, 10);
  if (number > INT_MAX) return INT_MAX;
  if (number < INT_MIN) return INT_MIN;
  return static_cast<int>(number);
}

unsigned int KeyValueStore::GetHex(const char* key, unsigned int defaultValue) {
  const std::string* value = number_value(key);
  if (!value || value->empty()) return defaultValue;
  return static_cast<unsigned int>(strtoull(value->c_str(), nullptr, 16) & 0xFFFFFFFFull);
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue) {
  const std::string* value = number_value(key);
  if (!value || value->empty()) return defaultValue;
  return strtol(value->c_str(), nullptr, 10) != 0;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue) {
  const std::string* value = number_value(key);
  if (!value || value->empty()) return defaultValue;
  return strtod(value->c_str(), nullptr);
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const {
  if (key) {
    const auto found = entries.find(key);
    if (found != entries.end()) return found->second;
  }
  return defaultValue ? defaultValue : "";
}

const char* KeyValueStore::operator[](const char* key) const {
  if (!key) return nullptr;
  const auto found = entries.find(key);
  return found == entries.end() ? nullptr : found->second.c_str();
}
