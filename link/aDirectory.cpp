// Directories on a POSIX file system.
#include "link/aDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <vector>

namespace {

const size_t kMaxComponents = 10;
const size_t kListPathSize = 2048;

// Copies `text` into `buffer` (`size` > 0), cut to fit and always terminated.
void sCopyBounded(char* buffer, size_t size, const char* text) {
  size_t len = strnlen(text, size - 1);
  memcpy(buffer, text, len);
  buffer[len] = '\0';
}

bool sIsDotOrDotDot(const char* name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

}  // namespace

bool aDirectory_Exists(const char* path) {
  if (!path) return false;
  struct stat st;
  if (stat(path, &st) != 0) return false;
  return S_ISDIR(st.st_mode);
}

aErr aDirectory_Ensure(const char* path, unsigned int mode) {
  if (!path || !*path) return aErrParam;
  if (aDirectory_Exists(path)) return aErrNone;

  aErr result = aErrNone;
  std::vector<char> copy(path, path + strlen(path) + 1);
  for (size_t i = 0; copy[i] != '\0'; ++i) {
    if (copy[i] != '/') continue;
    // A separator at the start or right after another one ends no prefix.
    if (i == 0 || copy[i - 1] == '/') continue;
    copy[i] = '\0';
    if (!aDirectory_Exists(copy.data()) && mkdir(copy.data(), (mode_t)mode) != 0 &&
        errno != EEXIST) {
      result = aErrPermission;
    }
    copy[i] = '/';
    if (result != aErrNone) break;
  }

  if (!aDirectory_Exists(path) && mkdir(path, (mode_t)mode) != 0 && errno != EEXIST) {
    return aErrPermission;
  }
  // EEXIST also comes from a plain file of that name; that is no directory.
  if (!aDirectory_Exists(path)) return aErrPermission;
  return result;
}

aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* reference) {
  if (!path || !callback) return aErrParam;
  DIR* dir = opendir(path);
  if (!dir) return aErrNotFound;

  char full[kListPathSize];
  struct dirent* entry;
  while ((entry = readdir(dir)) != nullptr) {
    // An entry whose full path does not fit is skipped like one that cannot be stat'ed.
    if (aDirectory_JoinPath(full, sizeof(full), path, entry->d_name) != aErrNone) continue;
    struct stat st;
    if (stat(full, &st) != 0) continue;
    aDirectoryListData data;
    data.path = full;
    data.size = (unsigned int)((unsigned long long)st.st_size & 0xFFFFFFFFu);
    data.isDirectory = S_ISDIR(st.st_mode) ? 1 : 0;
    if (!callback(&data, reference)) break;
  }
  closedir(dir);
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (!path) return aErrParam;
  if (rmdir(path) != 0) return aErrUnexpected;
  return aErrNone;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (!path) return aErrParam;
  DIR* dir = opendir(path);
  if (!dir) return aErrNotFound;

  char full[kListPathSize];
  struct dirent* entry;
  while ((entry = readdir(dir)) != nullptr) {
    if (sIsDotOrDotDot(entry->d_name)) continue;
    // A path that does not fit ends the walk; the final rmdir then reports the failure.
    if (aDirectory_JoinPath(full, sizeof(full), path, entry->d_name) != aErrNone) break;
    struct stat st;
    // lstat: a symbolic link to a directory is removed as a link, never followed,
    // so nothing outside the tree is deleted.
    if (lstat(full, &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (aDirectory_DeleteTree(full) != aErrNone) break;
    } else if (unlink(full) != 0) {
      perror("aDirectory_DeleteTree");
      printf("---error unlink-ing file [%s]\n", full);
      break;
    }
  }
  closedir(dir);
  return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
  if (!buffer || size == 0) return aErrParam;
  if (!getcwd(buffer, size)) return aErrParam;
  return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (!buffer || size == 0) return aErrParam;
  ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  if (n < 0) {
    buffer[0] = '\0';
    return aErrRead;
  }
  buffer[n] = '\0';
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (!buffer || size == 0) return aErrParam;

  const char* over = getenv("QUILLNODE_HOME");
  if (over && *over) {
    sCopyBounded(buffer, size, over);
    return aErrNone;
  }

  long bufSize = sysconf(_SC_GETPW_R_SIZE_MAX);
  if (bufSize <= 0) bufSize = 16384;
  std::vector<char> pwBuffer((size_t)bufSize);
  struct passwd pw;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &pw, pwBuffer.data(), pwBuffer.size(), &found) == 0 && found &&
      found->pw_dir && *found->pw_dir) {
    sCopyBounded(buffer, size, found->pw_dir);
    return aErrNone;
  }

  const char* home = getenv("HOME");
  if (home && *home) {
    sCopyBounded(buffer, size, home);
    return aErrNone;
  }

  // Neither a password entry nor HOME: there is no home directory to use.
  buffer[0] = '\0';
  return aErrNotFound;
}

aErr aDirectory_JoinPath(char* destination, size_t size, const char* first, const char* second) {
  return aDirectory_BuildPath(destination, size, first, second, (const char*)nullptr);
}

aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...) {
  if (!destination || size == 0) return aErrParam;

  // Collect the components first so that too many of them, or one that is the
  // destination itself, are refused before anything is written.
  const char* parts[kMaxComponents];
  size_t count = 0;
  bool tooMany = false;
  if (first) {
    parts[count++] = first;
    va_list args;
    va_start(args, first);
    const char* next;
    while ((next = va_arg(args, const char*)) != nullptr) {
      if (count == kMaxComponents) {
        tooMany = true;
        break;
      }
      parts[count++] = next;
    }
    va_end(args);
  }

  bool aliased = false;
  for (size_t i = 0; i < count; ++i) {
    if (parts[i] == destination) aliased = true;
  }
  // An aliased destination is left alone: emptying it would clobber a component.
  if (aliased) return aErrParam;
  destination[0] = '\0';
  if (!first || tooMany) return aErrParam;

  size_t length = strlen(first);
  if (length >= size - 1) return aErrOverrun;
  memcpy(destination, first, length + 1);

  for (size_t i = 1; i < count; ++i) {
    const char* part = parts[i];
    size_t left = size - length - 1;
    if (left > 1 && (length == 0 || destination[length - 1] != '/') && part[0] != '/') {
      destination[length++] = '/';
      destination[length] = '\0';
      --left;
    }
    size_t partLength = strlen(part);
    if (partLength >= left) return aErrOverrun;
    memcpy(destination + length, part, partLength + 1);
    length += partLength;
  }
  return aErrNone;
}
