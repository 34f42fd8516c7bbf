#include "updater/KeyValueStore.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "app/Log.h"
#include "link/aFile.h"
#include "updater/AtomicFile.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";

namespace {

const size_t kLineSize = 2048;

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

void KeyValueStore::Load(const char* name) {
  // Only regular files: opening a named pipe would wait for a writer forever.
  struct stat st;
  bool special = name && stat(name, &st) == 0 && !S_ISREG(st.st_mode);
  aFileRef file = name && !special ? aFile_Open(name, aFileModeRead) : nullptr;
  if (!file) {
    int error = name && !special ? errno : EINVAL;
    Log::FPrintf(stderr, DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", name ? name : "",
                 error);
    return;
  }
  filename = name;

  char line[kLineSize];
  size_t length = 0;
  while (aFile_ReadLine(file, line, sizeof(line), &length) == aErrNone) {
    ParseLine(line, length);
  }
  aFile_Close(&file);
}

void KeyValueStore::ParseLine(const char* line, size_t length) {
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

  entries_[std::string(p, keyEnd)] = std::string(value, valueEnd);
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

  int error = 0;
  ReplaceResult result = ReplaceFileAtomically(
      filename,
      [this](FILE* out) {
        for (const auto& entry : entries_) {
          if (fprintf(out, "%s=%s\n", sOneLine(entry.first).c_str(),
                      sOneLine(entry.second).c_str()) < 0) {
            return false;
          }
        }
        return true;
      },
      &error);
  bool ok = result == ReplaceResult::kDone;
  if (!ok) {
    Log::FPrintf(stderr, DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), error);
  }
  return ok;
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
