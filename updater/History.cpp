#include "updater/History.h"

#include <errno.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "app/Log.h"

const char* const DeviceHistory::DEFAULT_FILENAME = ".history";
const char* const DeviceHistory::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const DeviceHistory::SEPARATOR = " | ";

namespace {
const size_t kMessageSize = 2048;
const size_t kTimestampSize = 32;
}  // namespace

DeviceHistory::DeviceHistory(const char* name, int level) { Init(name, level); }

DeviceHistory::~DeviceHistory() { Close(); }

void DeviceHistory::Init(const char* name, int level) {
  Close();
  if (level >= 0) level_ = (unsigned int)level;
  if (!name) return;
  filename = name;
  // Only regular files: reading a named pipe or a device could block forever.
  struct stat st;
  bool special = stat(name, &st) == 0 && !S_ISREG(st.st_mode);
  file_ = special ? nullptr : aFile_Open(name, aFileModeAppend);
  if (!file_) {
    ::Log::FPrintf(stderr, DEBUG_History, "History: Error opening file [%s] ==> %d\n", name,
                   special ? EINVAL : errno);
    return;
  }
  aFile_SetUnbuffered(file_);
}

void DeviceHistory::Close() {
  if (file_) aFile_Close(&file_);
  file_ = nullptr;
}

void DeviceHistory::VLog(unsigned int level, const char* fmt, va_list args) {
  if (!file_ || !fmt || level > level_) return;
  char message[kMessageSize];
  if (vsnprintf(message, sizeof(message), fmt, args) < 0) return;
  WriteLog(message);
}

void DeviceHistory::Log(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  VLog(0, fmt, args);
  va_end(args);
}

void DeviceHistory::Log(unsigned int level, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  VLog(level, fmt, args);
  va_end(args);
}

void DeviceHistory::Log(int level, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  VLog((unsigned int)level, fmt, args);
  va_end(args);
}

void DeviceHistory::WriteLog(const char* text) {
  if (!file_ || !text) return;
  char stamp[kTimestampSize];
  GetTimestamp(stamp, sizeof(stamp));
  // One write per entry, so a crash cannot leave a stamp without its text.
  std::string line = stamp;
  line += SEPARATOR;
  line += text;
  size_t length = strlen(text);
  if (length > 0 && text[length - 1] != '\n') line += '\n';
  if (aFile_Seek(file_, 0, aSeekEnd) != aErrNone) return;
  aFile_Write(file_, (const unsigned char*)line.data(), line.size(), nullptr);
}

void DeviceHistory::GetTimestamp(char* buf, size_t size) {
  if (!buf || size == 0) return;
  time_t now = time(nullptr);
  struct tm utc;
  if (!gmtime_r(&now, &utc) || strftime(buf, size, TIMESTAMP_FORMAT, &utc) == 0) buf[0] = '\0';
}

char* DeviceHistory::ReadLineAt(size_t position, char* buf, size_t size) {
  if (!file_ || !buf || size < 2) return nullptr;
  buf[0] = '\0';
  if (aFile_Seek(file_, (long)position, aSeekStart) != aErrNone) return nullptr;
  size_t length = 0;
  aErr err = aFile_ReadLine(file_, buf, size, &length);
  if ((err != aErrNone && err != aErrOverrun) || length == 0) return nullptr;
  size_t after = 0;
  if (aFile_GetPosition(file_, &after) != aErrNone) return nullptr;
  readPosition_ = after;
  return buf;
}

char* DeviceHistory::ReadFirstLine(char* buf, size_t size) { return ReadLineAt(0, buf, size); }

char* DeviceHistory::ReadNextLine(char* buf, size_t size) {
  return ReadLineAt(readPosition_, buf, size);
}
