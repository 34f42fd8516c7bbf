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

#include "tools/simline/Clock.h"

namespace qnsim {

namespace {
// Bytes may be handed over this much before their time so that a busy
// machine does not sleep once per character; the average rate stays exact
// because the schedule itself never moves ahead.
constexpr int64_t kEarlyNs = 300000;
}  // namespace

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

int SimLine::ReadByte(uint8_t* byte, int timeoutMs) {
  int64_t deadline = NowNs() + (int64_t)timeoutMs * 1000000LL;
  while (true) {
    if (!Pump()) dropped_ = true;
    int64_t now = NowNs();
    if (next_ < have_) {
      if (!baud_) {
        *byte = buffer_[next_++];
        return 1;
      }
      // A byte arrives one character time after the previous one. The
      // schedule starts when the bytes were taken from the terminal, so a
      // late wake-up here is caught up, as a UART's FIFO would.
      int64_t charNs = 10LL * 1000000000LL / baud_;
      int64_t arrival = rxFreeNs_ + charNs;
      if (arrival <= now + kEarlyNs) {
        rxFreeNs_ = arrival;
        *byte = buffer_[next_++];
        return 1;
      }
      int64_t until = arrival;
      if (sent_ < queue_.size() && due_[sent_] < until) until = due_[sent_];
      SleepUntilNs(until);
      continue;
    }
    if (now >= deadline) return 0;
    int64_t until = deadline;
    if (sent_ < queue_.size() && due_[sent_] < until) until = due_[sent_];
    int waitMs = (int)((until - now + 999999) / 1000000);
    struct pollfd pfd = {master_, POLLIN, 0};
    if (sent_ < queue_.size() && due_[sent_] <= now) {
      // Output is due but the client has not made room for it yet.
      pfd.events |= POLLOUT;
      waitMs = waitMs < 10 ? waitMs : 10;
    }
    int r = poll(&pfd, 1, waitMs);
    if (r < 0) {
      if (errno == EINTR) return 0;
      return -1;
    }
    if (r == 0 || !(pfd.revents & (POLLIN | POLLHUP | POLLERR))) continue;
    ssize_t n = read(master_, buffer_, sizeof(buffer_));
    if (n > 0) {
      have_ = (size_t)n;
      next_ = 0;
      // After an idle spell the first byte is there at once.
      int64_t charNs = baud_ ? 10LL * 1000000000LL / baud_ : 0;
      if (rxFreeNs_ < NowNs() - charNs) rxFreeNs_ = NowNs() - charNs;
    } else if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
      return -1;
    } else {
      // No client has the terminal open (EIO) or nothing was there.
      struct timespec ts = {0, 2000000};
      nanosleep(&ts, nullptr);
    }
  }
}

void SimLine::FlushInput() {
  have_ = next_ = 0;
  uint8_t scratch[256];
  while (read(master_, scratch, sizeof(scratch)) > 0) {
  }
}

void SimLine::DiscardOutput() {
  queue_.clear();
  due_.clear();
  sent_ = 0;
}

bool SimLine::Write(const std::string& bytes, bool reply) {
  int64_t now = NowNs();
  int64_t charNs = baud_ ? 10LL * 1000000000LL / baud_ : 0;
  if (txFreeNs_ < now) txFreeNs_ = now;
  if (reply && latencyMs_) {
    int64_t due = now + (int64_t)latencyMs_ * 1000000LL;
    if (txFreeNs_ < due) txFreeNs_ = due;
  }
  for (char c : bytes) {
    txFreeNs_ += charNs;
    queue_ += c;
    due_.push_back(txFreeNs_);
  }
  bool ok = Pump() && !dropped_;
  dropped_ = false;
  return ok;
}

bool SimLine::Pump() {
  int64_t now = NowNs();
  while (sent_ < queue_.size() && due_[sent_] <= now + kEarlyNs) {
    size_t n = 0;
    while (sent_ + n < queue_.size() && due_[sent_ + n] <= now + kEarlyNs) ++n;
    ssize_t w = write(master_, queue_.data() + sent_, n);
    if (w > 0) {
      sent_ += (size_t)w;
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) break;
    if (now - due_[sent_] > 1000000000LL) {
      // Nobody has read the line for a second: the bytes are lost.
      queue_.clear();
      due_.clear();
      sent_ = 0;
      return false;
    }
    break;
  }
  if (sent_ == queue_.size()) {
    queue_.clear();
    due_.clear();
    sent_ = 0;
  } else if (sent_ > 4096) {
    queue_.erase(0, sent_);
    due_.erase(due_.begin(), due_.begin() + (long)sent_);
    sent_ = 0;
  }
  return true;
}

}  // namespace qnsim
