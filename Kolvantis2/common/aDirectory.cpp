#include "aDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Link that names the running program.
const char* const sSELF_EXE = "/proc/self/exe";
// First buffer size for getpwuid_r when the system gives no hint; doubled on ERANGE.
const size_t sPASSWD_BUFFER_START = 4096;
const size_t sPASSWD_BUFFER_MAX = 1024 * 1024;

enum class sKind { missing, directory, other };

sKind sExamine(const char* path) {
  struct stat info;
  if (stat(path, &info) != 0) return sKind::missing;
  return S_ISDIR(info.st_mode) ? sKind::directory : sKind::other;
}

// Creates one level unless it is already a directory. False when the level exists as
// something else or cannot be made.
bool sMakeLevel(const std::string& path, uint16_t mode) {
  switch (sExamine(path.c_str())) {
    case sKind::directory:
      return true;
    case sKind::other:
      return false;
    case sKind::missing:
      break;
  }
  if (mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return true;
  // Someone else may have made it in the meantime; only a directory will do.
  return errno == EEXIST && sExamine(path.c_str()) == sKind::directory;
}

// True when the pointer lies inside the size bytes starting at base (or equals base).
bool sInside(const char* pointer, const char* base, size_t size) {
  const uintptr_t p = reinterpret_cast<uintptr_t>(pointer);
  const uintptr_t b = reinterpret_cast<uintptr_t>(base);
  return p == b || (p > b && p - b < size);
}

// Joins the count components into destination (see aDirectory_BuildPath).
aErr sJoin(char* destination, size_t size, const char* const* components, size_t count) {
  if (size == 0) return aErrOverrun;

  size_t length = strlen(components[0]);
  if (length >= size - 1) return aErrOverrun;
  memcpy(destination, components[0], length);
  destination[length] = '\0';

  for (size_t i = 1; i < count; ++i) {
    const char* component = components[i];
    size_t remaining = size - length - 1;
    if (remaining > 1 && length > 0 && destination[length - 1] != '/' && component[0] != '/') {
      destination[length++] = '/';
      destination[length] = '\0';
      --remaining;
    }
    const size_t piece = strlen(component);
    if (piece >= remaining) {
      destination[0] = '\0';
      return aErrOverrun;
    }
    memcpy(destination + length, component, piece);
    length += piece;
    destination[length] = '\0';
  }
  return aErrNone;
}

// Shared by aDirectory_BuildPath and aDirectory_JoinPath once the components are gathered.
// A component inside the destination would be overwritten while it is read, so such a call
// writes nothing at all; too many components still leave the destination empty.
aErr sBuild(char* destination, size_t size, const char* const* components, size_t count,
            bool tooMany) {
  for (size_t i = 0; i < count; ++i) {
    if (sInside(components[i], destination, size)) return aErrParam;
  }
  if (size > 0) destination[0] = '\0';
  if (tooMany) return aErrParam;
  return sJoin(destination, size, components, count);
}

bool sDotEntry(const char* name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

// Removes everything inside the open directory (the descriptor is taken and closed), whose
// path is path, until the first failure; false on a failure. Entries are reached through the
// descriptor and a directory is entered only by an open that refuses a symbolic link, so a link
// put in place of a directory between the check and the use is removed, never followed.
bool sDeleteContents(int directory, const std::string& path) {
  DIR* listing = fdopendir(directory);
  if (listing == nullptr) {
    close(directory);
    return false;
  }
  bool failed = false;
  std::vector<char> entryPath(aDIR_MAXJOINEDPATH);
  for (struct dirent* entry = readdir(listing); entry != nullptr && !failed;
       entry = readdir(listing)) {
    const char* name = entry->d_name;
    if (sDotEntry(name)) continue;
    // A path that does not fit is refused, as everywhere else; it is also what the messages name.
    if (aDirectory_JoinPath(entryPath.data(), entryPath.size(), path.c_str(), name) != aErrNone) {
      failed = true;
      break;
    }
    struct stat info;
    if (fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      const int inner = openat(directory, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (inner >= 0) {
        if (!sDeleteContents(inner, entryPath.data()) ||
            unlinkat(directory, name, AT_REMOVEDIR) != 0) {
          failed = true;
        }
        continue;
      }
      // Replaced by something else since the check: removed below like any other entry.
      if (errno != ELOOP && errno != ENOTDIR) {
        failed = true;
        continue;
      }
    }
    if (unlinkat(directory, name, 0) != 0) {
      perror("aDirectory_DeleteTree");
      printf("---error unlink-ing file [%s]\n", entryPath.data());
      failed = true;
    }
  }
  closedir(listing);
  return !failed;
}

}  // namespace

bool aDirectory_Exists(const char* path) {
  return path != nullptr && sExamine(path) == sKind::directory;
}

aErr aDirectory_Ensure(const char* path, uint16_t mode) {
  if (path == nullptr || path[0] == '\0') return aErrParam;
  if (aDirectory_Exists(path)) return aErrNone;

  // Walk the levels from the top. The empty level before a leading "/" is the root, which
  // exists; empty levels from doubled separators are skipped.
  const std::string whole(path);
  for (size_t cut = whole.find('/'); cut != std::string::npos; cut = whole.find('/', cut + 1)) {
    if (cut == 0 || whole[cut - 1] == '/') continue;
    if (!sMakeLevel(whole.substr(0, cut), mode)) return aErrPermission;
  }
  return sMakeLevel(whole, mode) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* directory, aDirectoryListProc callback, void* reference) {
  if (callback == nullptr) return aErrParam;
  if (directory == nullptr) return aErrNotFound;
  DIR* listing = opendir(directory);
  if (listing == nullptr) return aErrNotFound;

  std::vector<char> path(aDIR_MAXJOINEDPATH);
  for (struct dirent* entry = readdir(listing); entry != nullptr; entry = readdir(listing)) {
    // An entry whose path would be cut is left out rather than shown under a wrong name.
    if (aDirectory_JoinPath(path.data(), path.size(), directory, entry->d_name) != aErrNone) {
      continue;
    }
    struct stat info;
    if (stat(path.data(), &info) != 0) continue;

    aDirectoryListData data;
    data.path = path.data();
    data.size = static_cast<uint32_t>(info.st_size);
    data.isDirectory = S_ISDIR(info.st_mode) ? 1 : 0;
    if (!callback(&data, reference)) break;
  }
  closedir(listing);
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (path == nullptr) return aErrParam;
  // With a trailing separator the kernel resolves a symbolic link at the end of the path before
  // the no-follow checks see it, so the separators go; the root keeps its own.
  std::string tree(path);
  while (tree.size() > 1 && tree.back() == '/') tree.pop_back();
  // "." or ".." last reaches a directory through whatever comes before, a link included, and
  // names no entry that could be removed: refused before anything goes.
  const size_t slash = tree.find_last_of('/');
  if (sDotEntry(tree.c_str() + (slash == std::string::npos ? 0 : slash + 1))) return aErrParam;

  const int top = open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (top < 0) {
    // A symbolic link given as the tree is removed itself; its target is left alone.
    struct stat info;
    if (lstat(tree.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
      return unlink(tree.c_str()) == 0 ? aErrNone : aErrUnknown;
    }
    return aErrNotFound;
  }
  const bool emptied = sDeleteContents(top, tree);
  const aErr removed = aDirectory_Delete(tree.c_str());
  return emptied ? removed : aErrUnknown;
}

aErr aDirectory_CWD(char* buffer, size_t size) {
  // getcwd would allocate for a null buffer.
  if (buffer == nullptr || size == 0) return aErrParam;
  return getcwd(buffer, size) != nullptr ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  const ssize_t length = readlink(sSELF_EXE, buffer, size - 1);
  if (length < 0) {
    buffer[0] = '\0';
    return aErrRead;
  }
  buffer[length] = '\0';
  return aErrNone;
}

aErr aDirectory_ChooseHomeDirectory(const char* passwordHome, const char* environmentHome,
                                    char* buffer, size_t size) {
  if (buffer == nullptr) return aErrParam;
  if (size > 0) buffer[0] = '\0';

  const char* home = nullptr;
  if (passwordHome != nullptr && passwordHome[0] != '\0') {
    home = passwordHome;
  } else if (environmentHome != nullptr && environmentHome[0] != '\0') {
    home = environmentHome;
  }
  if (home == nullptr) return aErrNotFound;

  const size_t length = strlen(home);
  if (length >= size) return aErrOverrun;
  memcpy(buffer, home, length + 1);
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (buffer == nullptr) return aErrParam;

  const long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(hint > 0 ? static_cast<size_t>(hint) : sPASSWD_BUFFER_START);
  struct passwd entry;
  struct passwd* found = nullptr;
  for (;;) {
    const int rc = getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found);
    if (rc != ERANGE || scratch.size() >= sPASSWD_BUFFER_MAX) {
      if (rc != 0) found = nullptr;
      break;
    }
    scratch.resize(scratch.size() * 2);
  }

  const char* passwordHome = found != nullptr ? found->pw_dir : nullptr;
  return aDirectory_ChooseHomeDirectory(passwordHome, getenv("HOME"), buffer, size);
}

aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...) {
  if (destination == nullptr || first == nullptr) return aErrParam;

  const char* components[aDIR_MAXCOMPONENTS];
  size_t count = 0;
  components[count++] = first;

  va_list arguments;
  va_start(arguments, first);
  bool tooMany = false;
  for (const char* next = va_arg(arguments, const char*); next != nullptr;
       next = va_arg(arguments, const char*)) {
    if (count == aDIR_MAXCOMPONENTS) {
      tooMany = true;
      break;
    }
    components[count++] = next;
  }
  va_end(arguments);

  return sBuild(destination, size, components, count, tooMany);
}

aErr aDirectory_JoinPath(char* destination, size_t size, const char* directory, const char* name) {
  if (destination == nullptr || directory == nullptr || name == nullptr) return aErrParam;
  const char* components[] = {directory, name};
  return sBuild(destination, size, components, 2, false);
}
