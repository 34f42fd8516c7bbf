#include "updater/History.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "app/Log.h"

const char* const DeviceHistory::DEFAULT_FILENAME = ".history";
const char* const DeviceHistory::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const DeviceHistory::SEPARATOR = " | ";

namespace {
const size_t kMessageSize = 2048;
const size_t kTimestampSize = 32;
const size_t kReadChunk = 65536;
// Other processes hold the lock only for one write.
const int kLockAttempts = 2000;  // of 5 ms: 10 s

// An exclusive flock on `fd`, waiting at most kLockAttempts * 5 ms; 0 or the
// errno of the failure.
int sLock(int fd) {
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) return errno;
    usleep(5000);
  }
  return ETIMEDOUT;
}
}  // namespace

DeviceHistory::DeviceHistory(const char* name, int level) { Init(name, level); }

DeviceHistory::~DeviceHistory() { Close(); }

void DeviceHistory::Init(const char* name, int level) {
  Close();
  if (level >= 0) level_ = (unsigned int)level;
  if (!name) return;
  filename = name;
  // Never through a link; only regular files (reading a named pipe or a
  // device could block forever).
  int fd = open(name, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    fd = -1;
    errno = EINVAL;
  }
  if (fd < 0) {
    lastError_ = errno;
    ::Log::FPrintf(stderr, DEBUG_History, "History: Error opening file [%s] ==> %d\n", name,
                   lastError_);
    return;
  }
  fd_ = fd;
}

void DeviceHistory::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  buffer_.clear();
}

bool DeviceHistory::VLog(unsigned int level, const char* fmt, va_list args) {
  if (!fmt || level > level_) return true;
  char message[kMessageSize];
  if (vsnprintf(message, sizeof(message), fmt, args) < 0) return false;
  return WriteLog(message);
}

bool DeviceHistory::Log(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  bool ok = VLog(0, fmt, args);
  va_end(args);
  return ok;
}

bool DeviceHistory::Log(unsigned int level, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  bool ok = VLog(level, fmt, args);
  va_end(args);
  return ok;
}

bool DeviceHistory::Log(int level, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  bool ok = VLog((unsigned int)level, fmt, args);
  va_end(args);
  return ok;
}

bool DeviceHistory::WriteLog(const char* text) {
  if (fd_ < 0) {
    if (lastError_ == 0) lastError_ = EBADF;  // else why the open failed
    return false;
  }
  if (!text) return false;
  char stamp[kTimestampSize];
  GetTimestamp(stamp, sizeof(stamp));
  std::string line = stamp;
  line += SEPARATOR;
  line += text;
  size_t length = strlen(text);
  if (length > 0 && text[length - 1] != '\n') line += '\n';

  // One write per entry, under the lock, so entries of other processes never
  // land inside it; a short write is cut back off so that no torn entry
  // remains for the next one to be glued onto.
  lastError_ = sLock(fd_);
  struct stat st;
  bool ok = lastError_ == 0 && fstat(fd_, &st) == 0;
  if (ok) {
    errno = 0;
    ssize_t n = write(fd_, line.data(), line.size());
    if (n >= 0 && n < (ssize_t)line.size()) {
      // The rest fails with the system's reason (full disk, size limit).
      ssize_t more = write(fd_, line.data() + n, line.size() - (size_t)n);
      if (more > 0) n += more;
    }
    if (n != (ssize_t)line.size()) {
      lastError_ = errno != 0 ? errno : ENOSPC;
      if (n > 0 && ftruncate(fd_, st.st_size) != 0) lastError_ = errno;
      ok = false;
    }
  } else if (lastError_ == 0) {
    lastError_ = errno;
  }
  flock(fd_, LOCK_UN);
  return ok;
}

void DeviceHistory::GetTimestamp(char* buf, size_t size) {
  if (!buf || size == 0) return;
  time_t now = time(nullptr);
  struct tm utc;
  if (!gmtime_r(&now, &utc) || strftime(buf, size, TIMESTAMP_FORMAT, &utc) == 0) buf[0] = '\0';
}

char* DeviceHistory::ReadLineAt(size_t position, char* buf, size_t size) {
  if (fd_ < 0 || !buf || size < 2) return nullptr;
  buf[0] = '\0';
  size_t length = 0;
  while (length < size - 1) {
    size_t at = position + length;
    if (at < bufferStart_ || at >= bufferStart_ + buffer_.size()) {
      // Refill from the file: lines appended since the last read are seen.
      buffer_.resize(kReadChunk);
      ssize_t n = pread(fd_, buffer_.data(), buffer_.size(), (off_t)at);
      if (n <= 0) {
        buffer_.clear();
        break;
      }
      buffer_.resize((size_t)n);
      bufferStart_ = at;
    }
    char c = buffer_[at - bufferStart_];
    buf[length++] = c;
    if (c == '\n') break;
  }
  buf[length] = '\0';
  // The end of what was read: drop the buffer so the next read sees appends.
  if (length == 0) {
    buffer_.clear();
    return nullptr;
  }
  readPosition_ = position + length;
  return buf;
}

char* DeviceHistory::ReadFirstLine(char* buf, size_t size) { return ReadLineAt(0, buf, size); }

char* DeviceHistory::ReadNextLine(char* buf, size_t size) {
  return ReadLineAt(readPosition_, buf, size);
}
