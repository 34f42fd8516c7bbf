#include "updater/Updater.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "app/Log.h"
#include "updater/AtomicFile.h"

bool UpdaterClass::echo_bytes = false;

namespace {

const unsigned int kDirectoryMode = 0755;
const size_t kPathSize = 2048;
// A temporary file this old belongs to a write that was killed.
const long kStaleTemporarySeconds = 3600;

// A name from outside (a server reply) must stay inside its directory.
bool sIsPlainFileName(const char* name) {
  return name && *name && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 &&
         strcmp(name, "..") != 0;
}

}  // namespace

std::string BuildPath(const char* first, ...) {
  if (!first) return std::string();
  std::string path = first;
  va_list args;
  va_start(args, first);
  const char* next;
  while ((next = va_arg(args, const char*)) != nullptr) {
    path += "/";
    path += next;
  }
  va_end(args);
  return path;
}

// ------------------------------------------------------------------ items

UpdaterItemClass::UpdaterItemClass(const char* itemPath, const char* itemName,
                                   unsigned char directory, unsigned long itemSize)
    : path(itemPath ? itemPath : ""),
      name(itemName ? itemName : ""),
      isDirectory(directory != 0),
      size(itemSize),
      updater(nullptr) {}

UpdaterItemClass::~UpdaterItemClass() { delete updater; }

aErr UpdaterItemClass::Write_Birdfile(const char* filename, const unsigned char* data,
                                      unsigned long length,
                                      const std::function<bool(const char*)>& check, int* error) {
  int dummy = 0;
  if (!error) error = &dummy;
  *error = EINVAL;
  if (!sIsPlainFileName(filename)) return aErrParam;
  if (!data) return aErrNotFound;

  std::string target = BuildPath(path.c_str(), name.c_str(), filename, nullptr);
  ReplaceResult result = ReplaceFileAtomically(
      target, [&](FILE* out) { return length == 0 || fwrite(data, 1, length, out) == length; },
      error, check);
  switch (result) {
    case ReplaceResult::kDone:
      return aErrNone;
    case ReplaceResult::kCannotCreate:
      return aErrNotFound;
    case ReplaceResult::kRejected:
      return aErrParse;
    default:
      return aErrIO;
  }
}

// ------------------------------------------------------------------ stores

UpdaterClass::UpdaterClass(const char* root, const char* name)
    : visited_(std::make_shared<Visited>()) {
  Open(root, name, true);
}

UpdaterClass::UpdaterClass(const char* root, const char* name,
                           const std::shared_ptr<Visited>& visited)
    : visited_(visited) {
  Open(root, name, false);
}

UpdaterClass::~UpdaterClass() {
  for (UpdaterItemClass* item : items) delete item;
}

// The top directory may itself be reached through a link (a store kept on
// another disk); below it no link is followed.
void UpdaterClass::Open(const char* root, const char* name, bool top) {
  if (root && name) {
    path = BuildPath(root, name, nullptr);
  } else {
    path = root ? root : (name ? name : "");
  }
  if (path.empty()) return;  // nothing to open

  struct stat st;
  auto look = [&]() { return top ? stat(path.c_str(), &st) : lstat(path.c_str(), &st); };
  if (look() != 0) {
    if (aDirectory_Ensure(path.c_str(), kDirectoryMode) != aErrNone || look() != 0) {
      Log::FPrintf(stdout, DEBUG_Updater, "UpdaterClass: could not make directory [%s]\n",
                   path.c_str());
      return;
    }
  }
  if (!S_ISDIR(st.st_mode)) {
    Log::FPrintf(stdout, DEBUG_Updater, "UpdaterClass: [%s] is not a directory\n", path.c_str());
    return;
  }
  if (!visited_->insert(std::make_pair(st.st_dev, st.st_ino)).second) {
    Log::FPrintf(stdout, DEBUG_Updater, "UpdaterClass: [%s] was opened already\n", path.c_str());
    return;
  }

  Log::FPrintf(stdout, DEBUG_Updater, "UpdaterClass: creating updater for [%s]\n", path.c_str());
  RemoveStaleTemporaries(path, kStaleTemporarySeconds);
  settings.Load(BuildPath(path.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr).c_str());
  history.Init(BuildPath(path.c_str(), DeviceHistory::DEFAULT_FILENAME, nullptr).c_str(), 0);
  List();

  for (UpdaterItemClass* item : items) {
    if (item->isDirectory && !item->updater) item->updater = OpenChild(item->name.c_str());
  }
}

UpdaterClass* UpdaterClass::OpenChild(const char* name) {
  return new UpdaterClass(path.c_str(), name, visited_);
}

// Lists the directory without following links: a link is an item that is
// never a directory, whatever it points at.
aErr UpdaterClass::List() {
  DIR* dir = opendir(path.c_str());
  if (!dir) return aErrNotFound;
  while (struct dirent* entry = readdir(dir)) {
    struct stat st;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    std::string full = BuildPath(path.c_str(), entry->d_name, nullptr);
    aDirectoryListData data;
    data.path = full.c_str();
    data.size = (unsigned int)((unsigned long long)st.st_size & 0xFFFFFFFFu);
    data.isDirectory = S_ISDIR(st.st_mode) ? 1 : 0;
    UpdaterFileEnum(&data, this);
  }
  closedir(dir);
  return aErrNone;
}

aErr UpdaterClass::Refresh() { return List(); }

UpdaterItemClass* UpdaterClass::Find(const char* name) {
  if (!name) return nullptr;
  for (UpdaterItemClass* item : items) {
    if (item->name == name) return item;
  }
  return nullptr;
}

UpdaterItemClass* UpdaterClass::Find(unsigned int serial) {
  char name[16];
  snprintf(name, sizeof(name), "%08X", serial);
  return Find(name);
}

UpdaterItemClass* UpdaterClass::Create(const char* name) {
  if (!name) return nullptr;
  UpdaterItemClass* item = new UpdaterItemClass(path.c_str(), name, 1, 0);
  items.push_back(item);
  std::string full = BuildPath(path.c_str(), name, nullptr);
  if (aDirectory_Ensure(full.c_str(), kDirectoryMode) == aErrNone) item->updater = OpenChild(name);
  return item;
}

bool UpdaterFileEnum(const aDirectoryListData* entry, void* reference) {
  UpdaterClass* store = static_cast<UpdaterClass*>(reference);
  if (!entry || !entry->path || !store) return true;
  Log::FPrintf(stdout, DEBUG_Updater, "Callback UpdaterFileEnum([%s], %d, %08X)\n", entry->path,
               (int)entry->size, (unsigned int)(uintptr_t)store);

  // The name is what follows the store's path; the listing joined them with
  // one "/" (or none when the path already ended with one).
  const char* name = entry->path;
  const std::string& prefix = store->path;
  if (!prefix.empty() && strncmp(name, prefix.c_str(), prefix.size()) == 0) {
    name += prefix.size();
    while (*name == '/') ++name;
  } else {
    const char* slash = strrchr(name, '/');
    if (slash) name = slash + 1;
  }

  if (name[0] == '\0' || name[0] == '.') return true;  // ".", "..", hidden files
  if (!store->Find(name)) {
    Log::FPrintf(stdout, DEBUG_Updater, "UpdaterClass: creating updater item for [%s]\n", name);
    store->items.push_back(
        new UpdaterItemClass(store->path.c_str(), name, entry->isDirectory ? 1 : 0, entry->size));
  }
  return true;
}

UpdaterClass* OpenUpdaterStore() {
  char home[kPathSize];
  aErr err = aDirectory_GetHomeDirectory(home, sizeof(home));
  if (err != aErrNone) {
    Log::FPrintf(stdout, DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
    return nullptr;
  }
  char path[kPathSize];
  err = aDirectory_BuildPath(path, sizeof(path), home, ".vorlaine", (const char*)nullptr);
  if (err != aErrNone) {
    Log::FPrintf(stdout, DEBUG_APP, "Updater: FailedaDirectory_BuildPath(%s/.vorlaine)==> %d\n",
                 home, err);
    return nullptr;
  }
  err = aDirectory_Ensure(path, kDirectoryMode);
  if (err != aErrNone) {
    Log::FPrintf(stdout, DEBUG_APP, "Updater: FailedaDirectory_Ensure(%s)==> %d\n", path, err);
    return nullptr;
  }
  return new UpdaterClass(path, "updater");
}
