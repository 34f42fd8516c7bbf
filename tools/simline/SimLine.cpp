#include "tools/simline/SimLine.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace qnsim {

namespace {
// How far a paced line may fall behind its schedule and still catch up.
const int64_t kCatchUpNs = 2000000;
}  // namespace

int64_t NowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void SleepUntilNs(int64_t dueNs) {
  struct timespec ts;
  ts.tv_sec = dueNs / 1000000000LL;
  ts.tv_nsec = dueNs % 1000000000LL;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

bool WriteFileAtomic(const std::string& path, const std::string& bytes) {
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      close(fd);
      unlink(tmp.c_str());
      return false;
    }
    done += (size_t)w;
  }
  if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool ParseU32(const std::string& text, uint32_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFULL) return false;
  *value = (uint32_t)v;
  return true;
}

SimLine::~SimLine() {
  if (!linkPath_.empty()) unlink(linkPath_.c_str());
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

bool SimLine::Open(const std::string& linkPath, std::string* error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    *error = std::string("cannot create a pseudo-terminal: ") + strerror(errno);
    return false;
  }
  const char* name = ptsname(master_);
  if (!name) {
    *error = std::string("cannot name the pseudo-terminal: ") + strerror(errno);
    return false;
  }
  slavePath_ = name;
  // Holding the slave open keeps the master readable while no client has it
  // open, and lets the simulator choose raw mode before any client arrives.
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) {
    *error = std::string("cannot open ") + name + ": " + strerror(errno);
    return false;
  }
  struct termios tio;
  if (tcgetattr(slave_, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
  }
  int flags = fcntl(master_, F_GETFL);
  fcntl(master_, F_SETFL, flags | O_NONBLOCK);
  if (!linkPath.empty()) {
    struct stat st;
    if (lstat(linkPath.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        *error = linkPath + " exists and is not a symlink";
        return false;
      }
      unlink(linkPath.c_str());
    }
    if (symlink(name, linkPath.c_str()) != 0) {
      *error = "cannot create symlink " + linkPath + ": " + strerror(errno);
      return false;
    }
    linkPath_ = linkPath;
  }
  return true;
}

void SimLine::PaceTo(int64_t dueNs) {
  if (dueNs > NowNs()) SleepUntilNs(dueNs);
}

int SimLine::ReadByte(uint8_t* byte, int timeoutMs) {
  if (next_ >= have_) {
    have_ = next_ = 0;
    struct pollfd pfd = {master_, POLLIN, 0};
    int r = poll(&pfd, 1, timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    ssize_t n = read(master_, buffer_, sizeof(buffer_));
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR || errno == EIO) return 0;
      return -1;
    }
    if (n == 0) return 0;
    have_ = (size_t)n;
  }
  if (baud_) {
    // The byte arrives one character time after the previous one at the
    // earliest.
    int64_t charNs = 10LL * 1000000000LL / baud_;
    int64_t now = NowNs();
    // Bytes keep to the line's schedule: a sleep that ends late does not
    // slow the line down (the bytes after it are due at once), or every
    // wake-up delay would be added to every character.
    int64_t due = rxFreeNs_ + charNs;
    if (due < now - kCatchUpNs) due = now;  // idle line: already arrived
    rxFreeNs_ = due;
    PaceTo(due);
  }
  *byte = buffer_[next_++];
  return 1;
}

void SimLine::FlushInput() {
  have_ = next_ = 0;
  uint8_t scratch[256];
  while (read(master_, scratch, sizeof(scratch)) > 0) {
  }
}

bool SimLine::Write(const std::string& bytes, bool reply) {
  if (reply && latencyMs_) {
    int64_t due = NowNs() + (int64_t)latencyMs_ * 1000000LL;
    if (txFreeNs_ < due) txFreeNs_ = due;
  }
  int64_t charNs = baud_ ? 10LL * 1000000000LL / baud_ : 0;
  size_t done = 0;
  int64_t giveUp = NowNs() + 1000000000LL;
  while (done < bytes.size()) {
    size_t chunk = bytes.size() - done;
    int64_t now = NowNs();
    if (txFreeNs_ < now - kCatchUpNs) txFreeNs_ = now;  // as in ReadByte
    if (charNs) {
      // Sleep until the next character is due, then release every
      // character whose time has come.
      PaceTo(txFreeNs_);
      chunk = 1;
    } else {
      PaceTo(txFreeNs_);
    }
    ssize_t w = write(master_, bytes.data() + done, chunk);
    if (w > 0) {
      done += (size_t)w;
      txFreeNs_ += charNs * w;
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (NowNs() > giveUp) return false;
    struct pollfd pfd = {master_, POLLOUT, 0};
    poll(&pfd, 1, 10);
  }
  return true;
}

}  // namespace qnsim
