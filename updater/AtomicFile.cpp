#include "updater/AtomicFile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace {

const char kTemporaryMark[] = ".qnpart-";
const size_t kTemporarySuffix = 6;  // the XXXXXX of mkstemp

// The hidden sibling that receives the new content: "dir/.name.qnpart-XXXXXX".
std::string sTemporaryTemplate(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  if (leaf.empty() || leaf[0] != '.') leaf = "." + leaf;
  return dir + leaf + kTemporaryMark + std::string(kTemporarySuffix, 'X');
}

mode_t sModeFor(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

bool IsTemporaryName(const char* name) {
  if (!name || name[0] != '.') return false;
  size_t length = strlen(name);
  size_t mark = sizeof(kTemporaryMark) - 1;
  if (length < 1 + mark + kTemporarySuffix) return false;
  return strncmp(name + length - kTemporarySuffix - mark, kTemporaryMark, mark) == 0;
}

void RemoveStaleTemporaries(const std::string& dir, long ageSeconds) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  time_t now = time(nullptr);
  while (struct dirent* entry = readdir(d)) {
    if (!IsTemporaryName(entry->d_name)) continue;
    struct stat st;
    if (fstatat(dirfd(d), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || now - st.st_mtime < ageSeconds) continue;
    unlinkat(dirfd(d), entry->d_name, 0);
  }
  closedir(d);
}

ReplaceResult ReplaceFileAtomically(const std::string& path,
                                    const std::function<bool(FILE*)>& writer, int* error,
                                    const std::function<bool(const char*)>& check) {
  int dummy = 0;
  if (!error) error = &dummy;
  *error = 0;
  if (path.empty()) {
    *error = EINVAL;
    return ReplaceResult::kCannotCreate;
  }

  std::string name = sTemporaryTemplate(path);
  std::vector<char> temp(name.begin(), name.end());
  temp.push_back('\0');
  int fd = mkstemp(temp.data());
  if (fd < 0) {
    *error = errno;
    return ReplaceResult::kCannotCreate;
  }
  FILE* out = fdopen(fd, "wb");
  if (!out) {
    *error = errno;
    close(fd);
    unlink(temp.data());
    return ReplaceResult::kCannotCreate;
  }

  errno = 0;
  bool ok = writer(out);
  if (!ok) *error = errno ? errno : EIO;
  if (ok && fflush(out) != 0) {
    ok = false;
    *error = errno;
  }
  if (ok && fchmod(fd, sModeFor(path)) != 0) {
    ok = false;
    *error = errno;
  }
  if (ok && fsync(fd) != 0) {
    ok = false;
    *error = errno;
  }
  if (fclose(out) != 0 && ok) {
    ok = false;
    *error = errno;
  }
  if (ok && check && !check(temp.data())) {
    unlink(temp.data());
    *error = EINVAL;
    return ReplaceResult::kRejected;
  }
  if (ok && rename(temp.data(), path.c_str()) != 0) {
    ok = false;
    *error = errno;
  }
  if (!ok) {
    unlink(temp.data());
    return ReplaceResult::kCannotWrite;
  }
  // Best effort: make the rename itself durable.
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return ReplaceResult::kDone;
}
