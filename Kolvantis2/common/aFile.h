// File handles over stdio streams, with the library's error codes.
//
// A handle belongs to one owner and is not locked. Every operation on a handle first checks
// it with aVALIDFILE and answers a bad one with aErrParam; an operation the open mode does not
// allow answers aErrMode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "aDefs.h"
#include "aError.h"

#define aFILECHECK 0xFEED
// Longest path, in characters, that the file functions accept.
#define aFILE_MAXPATH 4096

// Open modes.
#define aFileModeRead 0    // "rb"
#define aFileModeWrite 1   // "wb", truncating
#define aFileModeAppend 2  // "ab+", positioned at the end; reading allowed too

// Seek origins; any other value counts from the start.
#define aSeekStart 0
#define aSeekCurrent 1
#define aSeekEnd 2

struct aFile {
  FILE* file;      // the open stream; null when none
  uint32_t mode;   // aFileModeRead, aFileModeWrite or aFileModeAppend
  uint32_t check;  // aFILECHECK while the handle is valid
};

#define aVALIDFILE(f) aDefs_ValidRecord((f), static_cast<uint32_t>(aFILECHECK))

// True when the path names an existing entry that is not a directory; false for a null path,
// a path over 4096 characters, a missing entry or a directory.
bool aFile_Exists(const char* path);

// New handle, or null for a null or empty path, a path over 4096 characters, an unknown mode,
// memory shortage or an open failure (nothing stays allocated then).
aFile* aFile_Open(const char* path, uint32_t mode);

// Closes the stream, frees the record and nulls the caller's pointer. aErrIO when the stream
// could not be closed cleanly (buffered data lost), though the handle is released all the same.
// aErrParam for a null pointer or a null or invalid handle; an invalid handle is not freed, but
// the caller's pointer is still cleared.
aErr aFile_Close(aFile** handle);

// Reads up to n bytes; *count (when count is non-null) gets the number read. aErrEOF when
// nothing was read and n > 0.
aErr aFile_Read(aFile* file, uint8_t* buffer, size_t n, size_t* count);

// Writes n bytes; *count (when count is non-null) gets the number written. aErrIO when fewer
// than n bytes were written.
aErr aFile_Write(aFile* file, const uint8_t* data, size_t n, size_t* count);

// Moves to origin + offset. aErrRange when the target is below 0 or beyond the end of the file;
// aErrIO when the position or size cannot be read or the move fails.
aErr aFile_Seek(aFile* file, int64_t offset, int origin);

// The file's size in bytes; the position is kept. aErrIO on failure (size 0).
aErr aFile_GetSize(aFile* file, size_t* size);

// Current position, stored through position when it is non-null. aErrIO when it cannot be read.
aErr aFile_GetPosition(aFile* file, int64_t* position);

// Reads one line, newline kept, into buffer (at most size - 1 characters); *length gets its
// string length. aErrEOF at end of file, aErrIO on a read error, aErrOverrun when the line did
// not fit (the rest comes with the next call). aErrParam for a null length, a null buffer or a
// size below 2.
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);

// Switches the stream to unbuffered output. aErrMode in read mode or when the switch fails.
aErr aFile_SetUnbuffered(aFile* file);

// Formatted write. aErrIO when the write fails.
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Removes the file. aErrParam for a null path, aErrFileNameLength for a path over 4096
// characters, aErrNotFound when missing, aErrPermission when access is denied, aErrIO otherwise.
aErr aFile_Delete(const char* path);
