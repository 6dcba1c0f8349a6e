#include "FileReplace.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

// The temporary file of a target: same directory, "." + target name + "." + process id +
// ".tmp", so two processes replacing the same file never share one.
std::string temporary_path(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return directory + "." + name + "." + std::to_string(static_cast<long>(getpid())) + ".tmp";
}

// Gives the temporary file the permission bits of the file it replaces, so a replacement does
// not widen or narrow who may read it. Nothing to do for a new target.
void keep_mode(const std::string& path, aFile* file)
{
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
        (void)fchmod(fileno(file->file), info.st_mode & 07777);
}

// The file that is actually replaced: a symbolic link's target, so that a linked file is
// updated where it lies and the link stays. A dangling link is replaced itself.
std::string resolved_target(const std::string& path)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
        return path;
    char real[PATH_MAX];
    return realpath(path.c_str(), real) ? std::string(real) : path;
}

ReplaceResult failure(aErr code, int systemError)
{
    ReplaceResult result;
    result.code = code;
    result.opened = true;
    result.systemError = systemError;
    return result;
}

} // namespace

ReplaceResult ReplaceFile(const std::string& requested, const std::function<aErr(aFile*)>& write)
{
    const std::string path = resolved_target(requested);
    const std::string temporary = temporary_path(path);

    errno = 0;
    aFile* file = aFile_Open(temporary.c_str(), aFileModeWrite);
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
    if (result.code == aErrNone && closed != aErrNone)
        result = failure(aErrIO, errno);

    if (result.code == aErrNone && rename(temporary.c_str(), path.c_str()) != 0)
        result = failure(aErrIO, errno);

    if (result.code != aErrNone)
        (void)unlink(temporary.c_str());
    return result;
}
