// Replacing a file so that a crash or a full disk never leaves it half
// written: the new content goes to a hidden temporary file in the same
// directory, is flushed to the disk and then renamed over the old file.
#ifndef QN_UPDATER_ATOMICFILE_H
#define QN_UPDATER_ATOMICFILE_H

#include <stdio.h>

#include <functional>
#include <string>

enum class ReplaceResult {
  kDone,          // the new file is in place
  kCannotCreate,  // no file could be created in the directory
  kCannotWrite    // writing, flushing or renaming failed
};

// Writes `path` through `writer`, which gets a stream open for writing and
// returns false when it could not write everything. Unless the result is
// kDone, the old file (if any) is untouched, the temporary file is removed
// and *error (when not null) holds the errno of the failing step. A new file
// gets the permissions fopen would give it; a replaced file keeps its own.
// Not thread-safe (reads the umask).
ReplaceResult ReplaceFileAtomically(const std::string& path,
                                    const std::function<bool(FILE*)>& writer, int* error);

#endif  // QN_UPDATER_ATOMICFILE_H
