// Replacing a file so that a crash or a full disk never leaves it half
// written: the new content goes to a hidden temporary file in the same
// directory, is flushed to the disk, optionally checked, and then renamed
// over the old file.
//
// Temporary files are named ".<name>.qnpart-XXXXXX"; a write killed before
// its rename leaves one behind, which RemoveStaleTemporaries clears later.
#ifndef QN_UPDATER_ATOMICFILE_H
#define QN_UPDATER_ATOMICFILE_H

#include <stdio.h>

#include <functional>
#include <string>

enum class ReplaceResult {
  kDone,          // the new file is in place
  kCannotCreate,  // no file could be created in the directory
  kCannotWrite,   // writing, flushing or renaming failed
  kRejected       // the check refused the new content
};

// Writes `path` through `writer`, which gets a stream open for writing and
// returns false when it could not write everything. When `check` is given it
// is called with the path of the complete temporary file before the rename;
// false keeps the old file. Unless the result is kDone, the old file (if any)
// is untouched, the temporary file is removed and *error (when not null)
// holds the errno of the failing step. A new file gets the permissions fopen
// would give it; a replaced file keeps its own. Not thread-safe (reads the
// umask).
ReplaceResult ReplaceFileAtomically(const std::string& path,
                                    const std::function<bool(FILE*)>& writer, int* error,
                                    const std::function<bool(const char*)>& check = nullptr);

// True for a name that ReplaceFileAtomically gives its temporary files.
bool IsTemporaryName(const char* name);

// Removes from the directory `dir` the temporary files of this program that
// are older than `ageSeconds` (writes killed before their rename). Nothing
// else is touched, links included.
void RemoveStaleTemporaries(const std::string& dir, long ageSeconds);

#endif  // QN_UPDATER_ATOMICFILE_H
