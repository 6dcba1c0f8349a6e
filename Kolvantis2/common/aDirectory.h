// Directories, path building and the well-known directories of the process (working
// directory, executable, home).
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aDIR_PATH_SEP "/"
// Buffer size, terminator included, of the paths that listing and tree deletion build.
#define aDIR_MAXJOINEDPATH 2048
// Most components aDirectory_BuildPath joins, the first included.
#define aDIR_MAXCOMPONENTS 10

// One entry handed to the aDirectory_List callback.
struct aDirectoryListData {
  const char* path;      // directory and entry name joined; valid only during the call
  uint32_t size;         // size in bytes, low 32 bits
  uint32_t isDirectory;  // 1 for a directory, else 0
};

typedef bool (*aDirectoryListProc)(aDirectoryListData* entry, void* reference);

// True when the path names an existing directory; false for null.
bool aDirectory_Exists(const char* path);

// Creates the directory and every missing parent with the permission bits of mode (callers
// pass 0755). aErrPermission when a creation fails, or when the path or one of its parents
// exists but is not a directory; aErrParam for a null or empty path.
aErr aDirectory_Ensure(const char* path, uint16_t mode);

// Calls the callback for every entry, in system order, "." and ".." included, whose joined
// path fits aDIR_MAXJOINEDPATH bytes and can be examined; stops when the callback returns
// false. aErrNotFound when the directory cannot be opened; aErrParam for a null callback.
aErr aDirectory_List(const char* directory, aDirectoryListProc callback, void* reference);

// Removes an empty directory. aErrUnknown on failure; aErrParam for a null path.
aErr aDirectory_Delete(const char* path);

// Removes a directory and everything in it. Symbolic links are removed, never followed: one given
// as the path is removed itself, and the walk never passes through one. Trailing separators of
// the path are ignored; a path whose last part is "." or ".." is refused with aErrParam.
// aErrNotFound when the directory cannot be opened; aErrUnknown when anything inside could not
// be removed (also for an entry whose path does not fit aDIR_MAXJOINEDPATH bytes).
aErr aDirectory_DeleteTree(const char* path);

// Current working directory. aErrParam when it cannot be had or does not fit.
aErr aDirectory_CWD(char* buffer, size_t size);

// Full path of the running program, cut to size - 1 bytes and terminated. aErrRead when it
// cannot be read; aErrParam for a null buffer or a size of 0.
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);

// Home directory: the calling user's password-database entry, else the environment variable
// HOME. aErrNotFound when neither gives a non-empty directory; aErrOverrun when it does not
// fit the buffer (the buffer is then empty); aErrParam for a null buffer.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

// The choice behind aDirectory_GetHomeDirectory, given the password entry's directory and
// HOME's value (either may be null); kept apart so the fallback can be exercised directly.
aErr aDirectory_ChooseHomeDirectory(const char* passwordHome, const char* environmentHome,
                                    char* buffer, size_t size);

// Joins the components, ended by a null pointer, with "/": no separator is added when the
// path so far is empty or ends in "/" or the component begins with "/". aErrParam (nothing
// written) for a null destination or first component, a component inside the destination, or
// more than ten components; aErrOverrun when the path would not leave a spare byte in the
// destination, which is then left empty. Nothing is ever written past size bytes.
aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...)
    __attribute__((sentinel));

// aDirectory_BuildPath of the two components.
aErr aDirectory_JoinPath(char* destination, size_t size, const char* directory, const char* name);
