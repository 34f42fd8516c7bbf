#include "updater/KeyValueStore.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/Log.h"
#include "link/aTime.h"
#include "updater/AtomicFile.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";

namespace {

const size_t kLineSize = 2048;
// Other processes hold the lock only while they write a small file.
const unsigned long kLockWaitMs = 10000;
unsigned int sFailedSaves = 0;

// The directory part of `path` ("." when it has none).
std::string sDirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// An exclusive flock on a directory, released on destruction. Waits at most
// kLockWaitMs for another holder.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& dir) {
    fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    unsigned long start = aTime_GetMSTicks();
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) {
        error_ = errno;
        return;
      }
      if (aTime_GetMSTicks() - start > kLockWaitMs) {
        error_ = ETIMEDOUT;
        return;
      }
      aTime_MSSleep(5);
    }
    locked_ = true;
  }
  ~DirectoryLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  bool locked() const { return locked_; }
  int error() const { return error_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
  int error_ = 0;
};

bool sIsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// What atoi does, without its undefined behaviour on overflow.
int sToInt(const std::string& text) { return (int)strtol(text.c_str(), nullptr, 10); }

// The file format has no escapes: a line break inside a key or value would
// start a new entry on reload, so it is written as a blank.
std::string sOneLine(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return out;
}

}  // namespace

KeyValueStore::KeyValueStore(const char* name) {
  if (name) Load(name);
}

KeyValueStore::~KeyValueStore() {}

unsigned int KeyValueStore::FailedSaves() { return sFailedSaves; }

// Reads the entries of the file `name` into `into`. Only a regular file is
// read, never through a symbolic link (and never a named pipe, which would
// wait for a writer). False with *error set when it cannot be opened.
bool KeyValueStore::ReadFile(const char* name, std::map<std::string, std::string>& into,
                             int* error) {
  int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    fd = -1;
    errno = EINVAL;
  }
  FILE* file = fd >= 0 ? fdopen(fd, "r") : nullptr;
  if (!file) {
    *error = errno;
    if (fd >= 0) close(fd);
    return false;
  }
  char line[kLineSize];
  while (fgets(line, sizeof(line), file)) {
    size_t length = strlen(line);
    // A line that fills the buffer without ending ends the reading.
    if (length == sizeof(line) - 1 && line[length - 1] != '\n') break;
    ParseLine(line, length, into);
  }
  fclose(file);
  return true;
}

void KeyValueStore::Load(const char* name) {
  int error = EINVAL;
  std::map<std::string, std::string> read;
  if (!name || !ReadFile(name, read, &error)) {
    Log::FPrintf(stderr, DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", name ? name : "",
                 error);
    return;
  }
  filename = name;
  for (const auto& entry : read) {
    entries_[entry.first] = entry.second;
    base_[entry.first] = entry.second;
  }
}

void KeyValueStore::ParseLine(const char* line, size_t length,
                              std::map<std::string, std::string>& into) {
  if (length < 3 || line[0] == '#') return;
  const char* p = line;
  while (*p && sIsSpace(*p)) ++p;
  const char* equals = strchr(p, '=');
  if (!equals) return;  // no "=": not an entry

  const char* keyEnd = equals;
  while (keyEnd > p && sIsSpace(keyEnd[-1])) --keyEnd;
  if (keyEnd == p) return;  // an empty key cannot be asked for

  const char* value = equals + 1;
  while (*value && sIsSpace(*value)) ++value;
  const char* valueEnd = value + strlen(value);
  while (valueEnd > value && sIsSpace(valueEnd[-1])) --valueEnd;

  into[std::string(p, keyEnd)] = std::string(value, valueEnd);
}

bool KeyValueStore::Save(const char* name) {
  if (name) {
    filename = name;
  } else if (filename.empty()) {
    filename = DEFAULT_FILENAME;
    Log::FPrintf(stderr, DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n",
                 filename.c_str());
  }

  saveError_ = 0;
  DirectoryLock lock(sDirectoryOf(filename));
  bool ok = lock.locked() && WriteLocked(&saveError_);
  if (!lock.locked()) saveError_ = lock.error();
  if (!ok) {
    ++sFailedSaves;
    Log::FPrintf(stderr, DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), saveError_);
  }
  return ok;
}

// Under the lock: the file as it is now, with this object's changes applied.
bool KeyValueStore::WriteLocked(int* error) {
  std::map<std::string, std::string> merged;
  int readError = 0;
  struct stat st;
  if (lstat(filename.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    *error = ELOOP;  // never write through a link
    return false;
  }
  ReadFile(filename.c_str(), merged, &readError);  // a missing file is a new one
  for (const auto& entry : base_) {
    if (entries_.find(entry.first) == entries_.end()) merged.erase(entry.first);
  }
  for (const auto& entry : entries_) {
    auto old = base_.find(entry.first);
    if (old == base_.end() && entry.second.empty()) {
      // Added empty by a typed getter: it never replaces a value saved meanwhile.
      merged.emplace(entry.first, entry.second);
    } else if (old == base_.end() || old->second != entry.second) {
      merged[entry.first] = entry.second;
    }
  }

  ReplaceResult result = ReplaceFileAtomically(
      filename,
      [&merged](FILE* out) {
        for (const auto& entry : merged) {
          if (fprintf(out, "%s=%s\n", sOneLine(entry.first).c_str(),
                      sOneLine(entry.second).c_str()) < 0) {
            return false;
          }
        }
        return true;
      },
      error);
  if (result != ReplaceResult::kDone) return false;
  entries_ = merged;
  base_ = merged;
  return true;
}

bool KeyValueStore::Clear() {
  entries_.clear();
  return true;
}

const char* KeyValueStore::operator[](const char* key) const {
  if (!key) return nullptr;
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : it->second.c_str();
}

const std::string* KeyValueStore::LookupOrAdd(const char* key) {
  if (!key) return nullptr;
  return &entries_[key];  // adds an empty value when absent
}

int KeyValueStore::GetInt(const char* key, int def) {
  const std::string* value = LookupOrAdd(key);
  if (!value || value->empty()) return def;
  return sToInt(*value);
}

unsigned int KeyValueStore::GetHex(const char* key, unsigned int def) {
  const std::string* value = LookupOrAdd(key);
  if (!value || value->empty()) return def;
  return (unsigned int)strtol(value->c_str(), nullptr, 16);
}

bool KeyValueStore::GetBOOL(const char* key, bool def) {
  const std::string* value = LookupOrAdd(key);
  if (!value || value->empty()) return def;
  return sToInt(*value) != 0;
}

double KeyValueStore::GetDouble(const char* key, double def) {
  const std::string* value = LookupOrAdd(key);
  if (!value || value->empty()) return def;
  return atof(value->c_str());
}

std::string KeyValueStore::GetString(const char* key, const char* def) const {
  const char* value = (*this)[key];
  if (value) return value;
  return def ? def : "";
}

void KeyValueStore::Add(const char* key, int value) {
  char text[32];
  snprintf(text, sizeof(text), "%d", value);
  Add(key, text);
}

bool KeyValueStore::Add(const char* key, double value) {
  char text[512];  // "%f" of the largest double has 309 integer digits
  snprintf(text, sizeof(text), "%f", value);
  Add(key, text);
  return true;
}

void KeyValueStore::Add(const char* key, const char* value) {
  if (!key) return;
  entries_[key] = value ? value : "";
}

void KeyValueStore::Add(const char* key, const std::string& value) {
  if (!key) return;
  entries_[key] = value;
}

void KeyValueStore::AddHex(const char* key, unsigned int value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08X", value);
  Add(key, text);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  if (&other == this) return true;
  for (const auto& entry : other.entries_) entries_[entry.first] = entry.second;
  return true;
}
