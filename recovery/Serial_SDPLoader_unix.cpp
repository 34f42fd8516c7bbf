// Serial download protocol over a serial port: the UART form carries the
// command and data bytes without the HID report id.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "recovery/SDPLoader.h"

struct PrivateSerial_SDPLoader {
  int fd = -1;  // -1 while closed (0 is a valid descriptor when stdin is closed)
  const char* portName = nullptr;
  struct termios settings;
};

namespace {

const unsigned SETTLE_MS = 1000;

void sSleepMs(unsigned ms) {
  struct timespec t = {time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

long sNowMs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

}  // namespace

Serial_SDPLoader::Serial_SDPLoader(const char* portName) : p_(new PrivateSerial_SDPLoader) {
  p_->portName = portName;
  memset(&p_->settings, 0, sizeof(p_->settings));
}

Serial_SDPLoader::~Serial_SDPLoader() {
  if (p_->fd >= 0) {
    tcflush(p_->fd, TCIOFLUSH);
    close(p_->fd);
    p_->fd = -1;
  }
  delete p_;
}

bool Serial_SDPLoader::init() {
  if (p_->fd >= 0) {
    close(p_->fd);
    p_->fd = -1;
  }
  if (p_->portName == nullptr || p_->portName[0] == '\0') return false;
  int fd = open(p_->portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  if (!isatty(fd)) {
    close(fd);
    return false;
  }
  p_->fd = fd;

  // Raw: no translation, no echo, no signals; reads return what is there.
  struct termios& t = p_->settings;
  memset(&t, 0, sizeof(t));
  t.c_cflag = CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  tcsetattr(fd, TCSAFLUSH, &t);
  sSleepMs(SETTLE_MS);
  tcflush(fd, TCIOFLUSH);
  return true;
}

ssize_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& packet) {
  if (p_->fd < 0) return -1;
  if (packet.size() < 2) return 0;
  const uint8_t* bytes = packet.data() + 1;
  size_t left = packet.size() - 1;
  size_t written = 0;
  long lastProgress = sNowMs();
  while (written < left) {
    ssize_t n = write(p_->fd, bytes + written, left - written);
    if (n > 0) {
      written += (size_t)n;
      lastProgress = sNowMs();
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      return written > 0 ? (ssize_t)written : -1;
    if (sNowMs() - lastProgress >= (long)WRITE_STALL_MS) break;
    sSleepMs(1);
  }
  return (ssize_t)written;
}

ssize_t Serial_SDPLoader::readData(std::vector<uint8_t>& reply, unsigned waitMs) {
  if (p_->fd < 0) return 0;
  if (waitMs > 0) sSleepMs(waitMs);
  ssize_t count = 0;
  uint8_t byte = 0;
  while ((size_t)count < MAX_REPLY_BYTES && read(p_->fd, &byte, 1) == 1) {
    reply.push_back(byte);
    ++count;
  }
  return count;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset,
                                         unsigned& value) {
  if (offset > 15 || reply.size() < (offset + 2) * 4) return false;
  const uint8_t* p = reply.data() + offset + 4;
  value |= unsigned(p[0]) | unsigned(p[1]) << 8 | unsigned(p[2]) << 16 | unsigned(p[3]) << 24;
  return true;
}
