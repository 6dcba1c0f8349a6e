#include "FileReplace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "Log.h"

namespace {

constexpr mode_t kNewFileMode = 0666;  // before the umask, as the stream functions create files
constexpr const char* kTemporarySuffix = ".tmp";
constexpr char kHostSeparator =
    '@';  // between the target's name and the host, never in a host name
constexpr size_t kHostNameSize = 256;  // bytes, terminator included; longer names are cut

// A handle of the kind aFile_Open returns, around an open stream; null (the stream closed)
// when there is no memory for it.
aFile* wrap_stream(FILE* stream, uint32_t mode) {
  aFile* file = new (std::nothrow) aFile;
  if (!file) {
    fclose(stream);
    errno = ENOMEM;
    return nullptr;
  }
  file->file = stream;
  file->mode = mode;
  file->check = aFILECHECK;
  return file;
}

bool refuse_unless_regular(const char* path, const struct stat& info) {
  if (S_ISREG(info.st_mode)) return false;
  Log::log(0, "Refused %s: not a regular file\n", path);
  errno = EINVAL;
  return true;
}

// This host's name as temporary names carry it (no "/", which cannot stand in a file name,
// and no separator); empty when it cannot be had.
std::string host_name() {
  char text[kHostNameSize] = {};
  if (gethostname(text, sizeof text - 1) != 0) return std::string();
  std::string host(text);
  for (char& c : host)
    if (c == '/' || c == kHostSeparator) c = '_';
  return host;
}

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string name_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The process id in a hidden temporary name of this host (".NAME@HOST.PID.tmp"), or 0 when
// the name is not one. Host names hold no "@", so the last one starts the host exactly.
pid_t temporary_owner(const std::string& name, const std::string& host) {
  if (name.size() < 2 || name[0] != '.' || !ends_with(name, kTemporarySuffix)) return 0;
  const std::string stem = name.substr(0, name.size() - strlen(kTemporarySuffix));
  const size_t dot = stem.rfind('.');
  const std::string digits = dot == std::string::npos ? std::string() : stem.substr(dot + 1);
  constexpr size_t kLongestPid = 9;  // digits: every process id of the system fits
  if (digits.empty() || digits.size() > kLongestPid ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  const std::string owner = stem.substr(0, dot);
  const size_t at = owner.rfind(kHostSeparator);
  // Something must stand between the leading "." and the host: the target's name.
  if (at == std::string::npos || at < 2 || owner.substr(at + 1) != host) return 0;
  return static_cast<pid_t>(std::stol(digits));
}

bool runs(pid_t pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

// Removes the hidden temporary files in directory that a process of this host left behind
// when it was killed: their process no longer runs and they are older than the minimum age.
void remove_stale_temporaries(const std::string& directory) {
  const std::string host = host_name();
  if (host.empty()) return;  // without the host, another host's files could not be told apart
  DIR* listing = opendir(directory.empty() ? "." : directory.c_str());
  if (!listing) return;
  const time_t now = time(nullptr);
  const int descriptor = dirfd(listing);
  for (dirent* entry = readdir(listing); entry; entry = readdir(listing)) {
    const std::string name(entry->d_name);
    const pid_t owner = temporary_owner(name, host);
    if (owner <= 0 || owner == getpid() || runs(owner)) continue;
    struct stat info;
    if (fstatat(descriptor, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode))
      continue;
    if (now == static_cast<time_t>(-1) || info.st_mtime > now - STALE_TEMPORARY_AGE_S) continue;
    if (unlinkat(descriptor, name.c_str(), 0) == 0)
      Log::log(DEBUG_Updater, "Removed stale temporary file %s%s\n", directory.c_str(),
               name.c_str());
  }
  closedir(listing);
}

// Creates the temporary file itself, never through a link that stands in its place. A file of
// that name can only be a leftover of an earlier process with this id, and is removed first.
aFile* create_temporary(const std::string& temporary) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int descriptor = open(temporary.c_str(), kFlags, kNewFileMode);
  if (descriptor < 0 && errno == EEXIST && unlink(temporary.c_str()) == 0)
    descriptor = open(temporary.c_str(), kFlags, kNewFileMode);
  if (descriptor < 0) return nullptr;
  FILE* stream = fdopen(descriptor, "wb");
  if (!stream) {
    const int error = errno;
    close(descriptor);
    (void)unlink(temporary.c_str());
    errno = error;
    return nullptr;
  }
  return wrap_stream(stream, aFileModeWrite);
}

// Gives the temporary file the permission bits of the regular file it replaces, so a
// replacement does not widen or narrow who may read it. Nothing to do for a new target or a
// link, which the new file replaces.
void keep_mode(const std::string& path, aFile* file) {
  struct stat info;
  if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
    (void)fchmod(fileno(file->file), info.st_mode & 07777);
}

ReplaceResult failure(aErr code, int systemError) {
  ReplaceResult result;
  result.code = code;
  result.opened = true;
  result.systemError = systemError;
  return result;
}

}  // namespace

aFile* OpenRegularFile(const char* path) {
  if (!path || path[0] == '\0' || strnlen(path, aFILE_MAXPATH + 1) > aFILE_MAXPATH) {
    errno = EINVAL;
    return nullptr;
  }
  // Looked at first, so that a device is not even opened; checked again on the descriptor,
  // which is what is read.
  struct stat info;
  if (stat(path, &info) != 0 || refuse_unless_regular(path, info)) return nullptr;
  const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  if (fstat(descriptor, &info) != 0 || refuse_unless_regular(path, info)) {
    const int error = errno;
    close(descriptor);
    errno = error;
    return nullptr;
  }
  const int flags = fcntl(descriptor, F_GETFL);
  if (flags >= 0) (void)fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
  FILE* stream = fdopen(descriptor, "rb");
  if (!stream) {
    const int error = errno;
    close(descriptor);
    errno = error;
    return nullptr;
  }
  return wrap_stream(stream, aFileModeRead);
}

std::string HiddenTemporaryName(const std::string& name) {
  std::string host = host_name();
  if (host.empty()) host = "unknown-host";
  return "." + name + kHostSeparator + host + "." + std::to_string(static_cast<long>(getpid())) +
         kTemporarySuffix;
}

ReplaceResult ReplaceFile(const std::string& path, const std::function<aErr(aFile*)>& write) {
  const std::string directory = directory_of(path);
  const std::string temporary = directory + HiddenTemporaryName(name_of(path));
  remove_stale_temporaries(directory);

  errno = 0;
  aFile* file = create_temporary(temporary);
  if (!file) {
    ReplaceResult result;
    result.code = aErrNotFound;
    result.systemError = errno;
    return result;
  }

  ReplaceResult result = failure(aErrNone, 0);
  keep_mode(path, file);

  errno = 0;
  const aErr written = write(file);
  if (written != aErrNone)
    result = failure(written, errno);
  else if (fflush(file->file) != 0 || fsync(fileno(file->file)) != 0)
    result = failure(aErrIO, errno);

  errno = 0;
  const aErr closed = aFile_Close(&file);
  if (result.code == aErrNone && closed != aErrNone) result = failure(aErrIO, errno);

  // rename replaces the entry named path itself: a symbolic link there gives way to the new
  // file, and what it pointed to stays as it was.
  if (result.code == aErrNone && rename(temporary.c_str(), path.c_str()) != 0)
    result = failure(aErrIO, errno);

  if (result.code != aErrNone) (void)unlink(temporary.c_str());
  return result;
}
