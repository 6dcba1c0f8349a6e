#pragma once

// The per-module store: one directory per module under the store's root, named by the
// module's serial number in eight upper-case hexadecimal digits, holding the firmware files
// downloaded for it (BUILD.bird) and its attribute file (".settings").
//
//   base/
//     1234ABCD/
//       .settings
//       900.bird
//
// The store never deletes or renames entries of its own accord, except the hidden temporary
// files that a killed run left behind (see ReplaceFile); the firmware files it writes replace
// an older file of the same name in one step. Its operations throw
// std::runtime_error, which the controller catches per step.

#include <cstdint>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

enum store_item_t : uint8_t {
  STORE_ITEM_FILE = 0,
  STORE_ITEM_DIRECTORY = 1,
  STORE_ITEM_UNSET = 2,
};

// One entry of the store: a module's directory, or a file in it when builds are listed,
// with the attribute set of the entry's ".settings". A value: copies are independent.
class UpdaterStoreItem {
 public:
  // Empty directory and name, kind unset, an empty attribute set with no path.
  UpdaterStoreItem();
  // The entry name inside directory; its attribute set is loaded from
  // directory/name/.settings (and created there when missing, see KeyValueStore::Load).
  // An item lacking the directory or the name loads nothing.
  UpdaterStoreItem(const char* directory, const char* name, store_item_t kind);

  // Directory and name are both set.
  bool IsValid() const;

  // True when the entry's directory holds an entry named exactly text.
  bool FileExists(const char* text) const;

  // Writes the bytes as the file named file inside the entry, replacing an older file in
  // one step. aErrNotFound when data is null, the item is not valid or the file cannot be
  // created; aErrParam for a file name that is empty, ".", ".." or holds a "/"; aErrIO when
  // the bytes cannot all be written or the file cannot be put in place. The old file is
  // untouched on every failure. A file there that is a symbolic link is replaced by a plain
  // file (the link's target is never written); linked store and module directories are
  // followed.
  aErr WriteFile(const char* file, const unsigned char* data, unsigned long length);

  // The firmware file named file inside the entry. Throws std::runtime_error("Invalid bird "
  // + path) when the file is not a BIRD file or not a regular file (refused without waiting,
  // with a line naming it); a file that does not load throws the BirdFile constructor's
  // exception.
  BirdFile ReadBirdFile(const char* file);

  std::string directory;  // the directory holding the entry
  std::string name;       // the entry's own name
  store_item_t kind;
  KeyValueStore attributes;
};

class UpdaterStore {
 public:
  // Keeps the root and creates it (with missing parents, mode 0755) when missing. Throws
  // std::runtime_error when it exists as a file or cannot be created.
  explicit UpdaterStore(const char* base);

  const char* BasePath() const;

  // The module's entry, its directory created when missing and its attribute file loaded
  // (created when missing). Throws std::runtime_error when the directory cannot be had, or
  // for a name that is empty, ".", ".." or holds a "/".
  UpdaterStoreItem AddDevice(unsigned int serial);
  UpdaterStoreItem AddDevice(const char* text);

  // True when the root holds an entry named exactly text (for a serial number its "%08X"
  // text). A given item is replaced by that entry, with its attribute file loaded.
  bool FindDevice(unsigned int serial, UpdaterStoreItem* item);
  bool FindDevice(const char* text, UpdaterStoreItem* item);

  // Appends one item for every entry of the module's directory except hidden ones
  // (names beginning with "."), in listing order, whatever its kind (callers that want
  // builds keep the regular files); nothing when the module has no entry.
  // Listed entries' attribute files are read when present, never created. Always true.
  bool FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& items);

 private:
  std::string basePath;
};
