#pragma once

// Opening and replacing the updater's stored files.
//
// Reading: only a regular file is opened; anything else (a FIFO, a device, a socket, a
// directory) is refused at once, never waited on.
//
// Replacing a file in one step: the new content goes into a hidden temporary file beside the
// target (its name begins with ".", so store listings skip it), which is renamed over the
// target only once every byte is written, flushed to disk and closed. The target therefore
// holds either its old or its new content, never a part of either.

#include <functional>
#include <string>

#include "aError.h"
#include "aFile.h"

// Seconds a hidden temporary file of a process that no longer runs must have gone unchanged
// before a later write into its directory removes it, so that a file still being written
// (by a run on another host sharing the directory, too) is never taken.
constexpr long STALE_TEMPORARY_AGE_S = 10 * 60;

// A read handle (aFileModeRead) on path, or null. The file is opened without blocking, so a
// FIFO without a writer never holds the caller; a path that is not a regular file is refused
// with errno EINVAL and the always-written log line "Refused PATH: not a regular file\n".
// Otherwise null keeps the errno of the failing call (ENOENT for a missing file).
aFile* OpenRegularFile(const char* path);

// The hidden name under which this process writes name's new content in name's directory:
// "." + name + "@" + host name + "." + process id + ".tmp" (the host name, with "/" and "@"
// replaced by "_", tells a run on another host sharing the directory apart).
std::string HiddenTemporaryName(const std::string& name);

struct ReplaceResult {
  aErr code = aErrNone;  // aErrNone, or what failed
  bool opened = false;   // the temporary file could be created
  int systemError = 0;   // errno of the failing call; 0 when none was reported
};

// Fills the temporary file through write, which returns aErrNone or the failure that stops the
// replacement, then moves it over path. Codes: aErrNotFound when the temporary file cannot be
// created (opened false); the writer's own code; aErrIO when flushing, closing or renaming
// fails. The temporary file is removed on every failure, and the target is then untouched.
// A target that is a regular file keeps its permission bits. A target that is a symbolic
// link is replaced by a plain file; the link's target is never written. Links among the
// directories of path are followed. Before writing, hidden temporary files in the directory
// that a process of this host left behind (it no longer runs, and the file is older than
// STALE_TEMPORARY_AGE_S) are removed.
ReplaceResult ReplaceFile(const std::string& path, const std::function<aErr(aFile*)>& write);
