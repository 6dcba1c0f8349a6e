#pragma once

// Replacing a file in one step: the new content goes into a hidden temporary file beside the
// target (its name begins with ".", so store listings skip it), which is renamed over the
// target only once every byte is written, flushed to disk and closed. The target therefore
// holds either its old or its new content, never a part of either.

#include <functional>
#include <string>

#include "aError.h"
#include "aFile.h"

struct ReplaceResult {
    aErr code = aErrNone;  // aErrNone, or what failed
    bool opened = false;   // the temporary file could be created
    int systemError = 0;   // errno of the failing call; 0 when none was reported
};

// Fills the temporary file through write, which returns aErrNone or the failure that stops the
// replacement, then moves it over path. Codes: aErrNotFound when the temporary file cannot be
// created (opened false); the writer's own code; aErrIO when flushing, closing or renaming
// fails. The temporary file is removed on every failure, and the target is then untouched.
// A target that exists keeps its permission bits; a target that is a symbolic link has the file
// it points to replaced, and stays a link.
ReplaceResult ReplaceFile(const std::string& path, const std::function<aErr(aFile*)>& write);
