#include "aFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// True when the path is non-null and at most aFILE_MAXPATH characters long.
bool sPathLengthOk(const char* path) {
  return path != nullptr && strnlen(path, aFILE_MAXPATH + 1) <= aFILE_MAXPATH;
}

bool sCanRead(const aFile* file) {
  return file->mode == aFileModeRead || file->mode == aFileModeAppend;
}

bool sCanWrite(const aFile* file) {
  return file->mode == aFileModeWrite || file->mode == aFileModeAppend;
}

// Size of the stream's file; the position is restored. False when any step fails.
bool sStreamSize(FILE* stream, int64_t* size) {
  const off_t former = ftello(stream);
  if (former < 0) return false;
  if (fseeko(stream, 0, SEEK_END) != 0) return false;
  const off_t end = ftello(stream);
  const bool back = fseeko(stream, former, SEEK_SET) == 0;
  if (end < 0 || !back) return false;
  *size = end;
  return true;
}

}  // namespace

bool aFile_Exists(const char* path) {
  if (!sPathLengthOk(path)) return false;
  struct stat info;
  if (stat(path, &info) != 0) return false;
  return !S_ISDIR(info.st_mode);
}

aFile* aFile_Open(const char* path, uint32_t mode) {
  if (!sPathLengthOk(path) || path[0] == '\0') return nullptr;

  const char* how = nullptr;
  switch (mode) {
    case aFileModeRead:
      how = "rb";
      break;
    case aFileModeWrite:
      how = "wb";
      break;
    case aFileModeAppend:
      how = "ab+";
      break;
    default:
      return nullptr;
  }

  aFile* file = new (std::nothrow) aFile;
  if (file == nullptr) return nullptr;

  file->file = fopen(path, how);
  if (file->file == nullptr) {
    delete file;
    return nullptr;
  }
  // "a+" leaves the read position at the start; the handle starts at the end instead.
  if (mode == aFileModeAppend && fseeko(file->file, 0, SEEK_END) != 0) {
    fclose(file->file);
    delete file;
    return nullptr;
  }
  file->mode = mode;
  file->check = aFILECHECK;
  return file;
}

aErr aFile_Close(aFile** handle) {
  if (handle == nullptr) return aErrParam;
  aFile* file = *handle;
  *handle = nullptr;
  if (!aVALIDFILE(file)) return aErrParam;

  aErr result = aErrNone;
  if (file->file != nullptr && fclose(file->file) != 0) result = aErrIO;
  file->file = nullptr;
  file->check = 0;
  delete file;
  return result;
}

aErr aFile_Read(aFile* file, uint8_t* buffer, size_t n, size_t* count) {
  if (count != nullptr) *count = 0;
  if (!aVALIDFILE(file) || buffer == nullptr) return aErrParam;
  if (!sCanRead(file)) return aErrMode;

  const size_t got = fread(buffer, 1, n, file->file);
  if (count != nullptr) *count = got;
  if (got == 0 && n > 0) return aErrEOF;
  return aErrNone;
}

aErr aFile_Write(aFile* file, const uint8_t* data, size_t n, size_t* count) {
  if (count != nullptr) *count = 0;
  if (!aVALIDFILE(file) || data == nullptr) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;

  const size_t put = fwrite(data, 1, n, file->file);
  if (count != nullptr) *count = put;
  return put < n ? aErrIO : aErrNone;
}

aErr aFile_Seek(aFile* file, int64_t offset, int origin) {
  if (!aVALIDFILE(file)) return aErrParam;

  int64_t size = 0;
  if (!sStreamSize(file->file, &size)) return aErrIO;

  int64_t base = 0;
  if (origin == aSeekCurrent) {
    const off_t here = ftello(file->file);
    if (here < 0) return aErrIO;
    base = here;
  } else if (origin == aSeekEnd) {
    base = size;
  }

  int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target)) return aErrRange;
  if (target < 0 || target > size) return aErrRange;
  if (fseeko(file->file, static_cast<off_t>(target), SEEK_SET) != 0) return aErrIO;
  return aErrNone;
}

aErr aFile_GetSize(aFile* file, size_t* size) {
  if (!aVALIDFILE(file) || size == nullptr) return aErrParam;
  *size = 0;
  int64_t bytes = 0;
  if (!sStreamSize(file->file, &bytes)) return aErrIO;
  *size = static_cast<size_t>(bytes);
  return aErrNone;
}

aErr aFile_GetPosition(aFile* file, int64_t* position) {
  if (!aVALIDFILE(file)) return aErrParam;
  const off_t here = ftello(file->file);
  if (here < 0) return aErrIO;
  if (position != nullptr) *position = here;
  return aErrNone;
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length) {
  if (length != nullptr) *length = 0;
  if (buffer != nullptr && size > 0) buffer[0] = '\0';

  if (!aVALIDFILE(file)) return aErrParam;
  // A buffer of one byte holds no character, so a read could never make progress.
  if (buffer == nullptr || size < 2 || length == nullptr) return aErrParam;
  if (!sCanRead(file)) return aErrMode;

  const int chunk = size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
  if (fgets(buffer, chunk, file->file) == nullptr) {
    buffer[0] = '\0';
    return feof(file->file) ? aErrEOF : aErrIO;
  }
  *length = strlen(buffer);
  if (*length == static_cast<size_t>(chunk) - 1 && buffer[*length - 1] != '\n') return aErrOverrun;
  return aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file) {
  if (!aVALIDFILE(file)) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;
  if (setvbuf(file->file, nullptr, _IONBF, 0) != 0) return aErrMode;
  return aErrNone;
}

aErr aFile_Printf(aFile* file, const char* format, ...) {
  if (!aVALIDFILE(file) || format == nullptr) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;

  va_list arguments;
  va_start(arguments, format);
  const int written = vfprintf(file->file, format, arguments);
  va_end(arguments);
  return written < 0 ? aErrIO : aErrNone;
}

aErr aFile_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  if (!sPathLengthOk(path)) return aErrFileNameLength;
  if (unlink(path) == 0) return aErrNone;
  switch (errno) {
    case ENOENT:
      return aErrNotFound;
    case EACCES:
      return aErrPermission;
    default:
      return aErrIO;
  }
}
