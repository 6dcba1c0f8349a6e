#include "UpdaterStore.h"

#include <sys/stat.h>

#include <cstdio>
#include <stdexcept>

#include "FileReplace.h"
#include "Log.h"
#include "aDirectory.h"
#include "aFile.h"
#include "path.h"

namespace {

constexpr uint16_t kDirectoryMode = 0755;

// What a search of one directory hands to its listing callback.
struct result_t {
  bool found = false;
  std::string text;                  // the entry name searched for
  UpdaterStoreItem* item = nullptr;  // filled from the match when set
};

std::string serial_text(unsigned int serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

std::string after_last_slash(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string before_last_slash(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// A name that stays inside the directory it is joined to.
bool plain_name(const char* name) {
  if (!name || name[0] == '\0') return false;
  const std::string text(name);
  return text != "." && text != ".." && text.find('/') == std::string::npos;
}

store_item_t kind_of(const aDirectoryListData* entry) {
  return entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE;
}

void ensure_directory(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode))
      throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    return;
  }
  const aErr created = aDirectory_Ensure(path.c_str(), kDirectoryMode);
  if (created != aErrNone)
    throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                             std::to_string(static_cast<int>(created)));
  Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

bool _find_item(aDirectoryListData* entry, void* reference) {
  result_t* result = static_cast<result_t*>(reference);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
           static_cast<int>(entry->isDirectory), static_cast<int>(entry->size),
           result->text.c_str());

  const std::string path(entry->path);
  // The whole name must match: a directory "1234ABCD-old", or a root whose own path holds
  // the serial text, is not the module 1234ABCD.
  if (after_last_slash(path) != result->text) return true;

  result->found = true;
  if (result->item)
    *result->item = UpdaterStoreItem(before_last_slash(path).c_str(),
                                     after_last_slash(path).c_str(), kind_of(entry));
  return false;
}

// Searches one directory for an entry named exactly text.
bool search(const std::string& directory, const char* text, UpdaterStoreItem* item) {
  result_t result;
  result.text = text ? text : "";
  result.item = item;
  // "." and ".." never equal a real search text; an empty text finds nothing.
  if (!result.text.empty() && result.text != "." && result.text != "..")
    aDirectory_List(directory.c_str(), _find_item, &result);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found",
           result.text.c_str());
  return result.found;
}

bool _find_items(aDirectoryListData* entry, void* reference) {
  auto* items = static_cast<std::vector<UpdaterStoreItem>*>(reference);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path,
           static_cast<int>(entry->isDirectory), static_cast<int>(entry->size));

  const std::string path(entry->path);
  const std::string name = after_last_slash(path);
  if (name.empty() || name[0] == '.')
    return true;  // ".", "..", ".settings" and other hidden entries

  UpdaterStoreItem item;
  item.directory = before_last_slash(path);
  item.name = name;
  item.kind = kind_of(entry);
  // A listing only reads: an entry without an attribute file does not get one.
  const std::string settings = BuildPath(item.directory.c_str(), item.name.c_str(),
                                         KeyValueStore::DEFAULT_FILENAME, nullptr);
  if (aFile_Exists(settings.c_str())) item.attributes.Load(settings.c_str());
  items->push_back(item);
  return true;
}

}  // namespace

UpdaterStoreItem::UpdaterStoreItem() : kind(STORE_ITEM_UNSET) {}

UpdaterStoreItem::UpdaterStoreItem(const char* directory_, const char* name_, store_item_t kind_)
    : directory(directory_ ? directory_ : ""), name(name_ ? name_ : ""), kind(kind_) {
  // Without both parts the joined path would point into the file system's root.
  if (IsValid())
    attributes.Load(
        BuildPath(directory.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr)
            .c_str());
}

bool UpdaterStoreItem::IsValid() const { return !directory.empty() && !name.empty(); }

bool UpdaterStoreItem::FileExists(const char* text) const {
  if (!IsValid()) return search(std::string(), nullptr, nullptr);
  return search(BuildPath(directory.c_str(), name.c_str(), nullptr), text, nullptr);
}

aErr UpdaterStoreItem::WriteFile(const char* file, const unsigned char* data,
                                 unsigned long length) {
  if (!data || !IsValid()) return aErrNotFound;
  if (!plain_name(file)) {
    Log::log(DEBUG_Updater, "UpdaterStore: refused file name [%s] in %s/%s.\n",
             file ? file : "(null)", directory.c_str(), name.c_str());
    return aErrParam;
  }

  const std::string path = BuildPath(directory.c_str(), name.c_str(), file, nullptr);
  const ReplaceResult result = ReplaceFile(path, [data, length](aFile* handle) {
    if (length == 0) return aErrNone;
    size_t written = 0;
    const aErr code = aFile_Write(handle, data, length, &written);
    return code == aErrNone && written != length ? aErrIO : code;
  });
  if (result.code != aErrNone)
    Log::log(DEBUG_Updater, "UpdaterStore: cannot write %s: error %d (%d).\n", path.c_str(),
             static_cast<int>(result.code), result.systemError);
  return result.code;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* file) {
  const std::string path = BuildPath(directory.c_str(), name.c_str(), file ? file : "", nullptr);
  if (!BirdFile::VerifyFile(path.c_str())) throw std::runtime_error("Invalid bird " + path);
  return BirdFile(path.c_str());
}

UpdaterStore::UpdaterStore(const char* base) : basePath(base ? base : "") {
  ensure_directory(basePath);
}

const char* UpdaterStore::BasePath() const { return basePath.c_str(); }

UpdaterStoreItem UpdaterStore::AddDevice(unsigned int serial) {
  return AddDevice(serial_text(serial).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* text) {
  if (!plain_name(text))
    throw std::runtime_error(std::string("UpdaterStore: invalid module directory name [") +
                             (text ? text : "") + "]");
  ensure_directory(BuildPath(basePath.c_str(), text, nullptr));
  return UpdaterStoreItem(basePath.c_str(), text, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(unsigned int serial, UpdaterStoreItem* item) {
  return FindDevice(serial_text(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* text, UpdaterStoreItem* item) {
  return search(basePath, text, item);
}

bool UpdaterStore::FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& items) {
  UpdaterStoreItem module;
  if (!FindDevice(serial, &module)) return true;
  aDirectory_List(BuildPath(module.directory.c_str(), module.name.c_str(), nullptr).c_str(),
                  _find_items, &items);
  return true;
}
