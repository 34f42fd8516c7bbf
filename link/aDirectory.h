// Directories: existence, creation with parents, listing, deletion, and the
// few well-known paths (working directory, executable, home directory).
#ifndef QN_LINK_ADIRECTORY_H
#define QN_LINK_ADIRECTORY_H

#include <stddef.h>

#include "link/aErr.h"

#define aDIR_PATH_SEP "/"

// Handed to a listing callback; `path` is valid only during the callback.
typedef struct aDirectoryListData {
  const char* path;          // listed directory and entry name joined with "/"
  unsigned int size;         // low 32 bits of the entry's size in bytes
  unsigned int isDirectory;  // 1 or 0
} aDirectoryListData;

// Returns false to stop the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* entry, void* reference);

bool aDirectory_Exists(const char* path);
// Creates `path` and every missing parent; 0 or aErrPermission.
aErr aDirectory_Ensure(const char* path, unsigned int mode);
// aErrNotFound when the directory cannot be opened; entries that cannot be
// stat'ed are skipped; "." and ".." are listed too.
aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* reference);
aErr aDirectory_Delete(const char* path);
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
// QUILLNODE_HOME (when set and not empty), else the real user's password
// entry, else HOME. The result is always NUL-terminated.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
aErr aDirectory_JoinPath(char* destination, size_t size, const char* first, const char* second);
// Joins up to 10 components (first included) ended by a null pointer.
aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...);

#endif  // QN_LINK_ADIRECTORY_H
