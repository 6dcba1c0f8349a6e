#pragma once

// A module's attribute file (".settings"): text keys and text values, one "KEY=VALUE" line per
// entry in byte-wise key order, held in memory as an ordered set.
//
// It never throws and reports nothing to its caller: a file that cannot be read or written is
// logged under DEBUG_Attributes and the work goes on with what is in memory. A copy is an
// independent set that saves on its own; destruction discards the set without saving.

#include <map>
#include <string>

class KeyValueStore {
 public:
  static constexpr const char* DEFAULT_FILENAME = ".settings";
  static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
  static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

  // An empty set; a non-null path is then loaded.
  explicit KeyValueStore(const char* path = nullptr);

  // Reads the file into the set (entries already there stay unless a line replaces them);
  // afterwards the path is the argument and the set is clean. A missing file is created
  // with "CREATED_TIME" (and "UPDATED_TIME"); a file that exists but cannot be read, or is
  // not a regular file (refused at once, never waited on), is left alone, and later saves to
  // it are refused so that its content is not lost.
  void Load(const char* path);

  // Writes the whole set to path, or to the path already held when it is null (".settings"
  // in the working directory when there is none). A set changed since it was loaded or last
  // saved first gets "UPDATED_TIME". The file is replaced in one step; on any failure the
  // old file stays as it was and the set stays dirty. A file that is a symbolic link is
  // replaced by a plain file, and the link's target is left as it was.
  void Save(const char* path);

  // Setters: true once the entry holds the text. A key must be non-empty, hold no "=" or
  // line end, not begin with "#" and not begin or end with white space; a value must hold
  // no line end. Anything else is refused (false, logged) and the set is unchanged.
  bool Add(const char* key, const char* text);
  bool Add(const char* key, const std::string& text);
  bool Add(const char* key, int value);              // "%d"
  bool Add(const char* key, double value);           // "%f"
  bool AddHex(const char* key, unsigned int value);  // "0x%08X"

  // Copies every entry of the other set, replacing values of equal keys; always true.
  bool Add(const KeyValueStore& other);

  // Removes every entry and marks the set changed; the path stays. Always true.
  bool Clear();

  // Number getters. A missing key is inserted with an empty value (the set's changed flag
  // is not touched); an empty value gives the default, a value without a number gives 0.
  int GetInt(const char* key, int defaultValue);
  unsigned int GetHex(const char* key, unsigned int defaultValue);  // "0x" allowed, cut to 32 bits
  bool GetBOOL(const char* key, bool defaultValue);
  double GetDouble(const char* key, double defaultValue);

  // The value when the key is present (also when empty), else the default, else "".
  std::string GetString(const char* key, const char* defaultValue) const;

  // The value's characters when the key is present, null otherwise; valid until the entry
  // changes.
  const char* operator[](const char* key) const;

  // The file last loaded or saved; empty until then.
  const std::string& Path() const { return path; }
  // True when the set changed since the last Load or successful Save.
  bool IsDirty() const { return dirty; }

  // The current local time as the attribute files store it: "Www Mmm dd hh:mm:ss yyyy".
  static std::string LocalTimeText();

 private:
  bool set_entry(const char* key, const std::string& text);
  std::string* number_value(const char* key);

  std::string path;
  std::map<std::string, std::string> entries;
  bool dirty = false;
  // A file whose last Load could not read it whole: saving over it would drop what was not
  // read. Empty when there is none.
  std::string unreadablePath;
};
