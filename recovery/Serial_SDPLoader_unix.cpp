// Serial download protocol over a serial port: the UART form carries the
// command and data bytes without the HID report id.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "link/aBytes.h"
#include "recovery/SDPLoader.h"

struct PrivateSerial_SDPLoader {
  int fd = -1;  // -1 while closed (0 is a valid descriptor when stdin is closed)
  const char* portName = nullptr;
  struct termios settings;
  // Bytes written since the last waiting read, and when the last write
  // returned (monotonic microseconds): the line may still be sending them.
  long long unansweredBytes = 0;
  long long lastWriteUs = 0;
};

namespace {

const unsigned SETTLE_MS = 1000;
const long long BAUD = 115200;
const long long BITS_PER_BYTE = 10;  // start bit, 8 data bits, stop bit
// An answer is complete once the line has been quiet this long after it.
const int ANSWER_GAP_MS = 10;
// Realignment: the filler byte and how long a probe waits for an answer.
const uint8_t ALIGN_FILLER = 0x05;
const int ALIGN_WAIT_MS = 100;
const int COMMAND_BYTES = 16;

void sSleepMs(unsigned ms) {
  struct timespec t = {time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

long long sNowUs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

long long sLineTimeUs(long long bytes) { return bytes * BITS_PER_BYTE * 1000000LL / BAUD; }

// Appends every byte that is there now, up to `room`; the count taken.
size_t sTakeAvailable(int fd, std::vector<uint8_t>& reply, size_t room) {
  size_t count = 0;
  uint8_t byte = 0;
  while (count < room && read(fd, &byte, 1) == 1) {
    reply.push_back(byte);
    ++count;
  }
  return count;
}

// Waits up to `us` microseconds for input; false when none came.
bool sWaitInput(int fd, long long us) {
  if (us <= 0) return false;
  struct pollfd p = {fd, POLLIN, 0};
  int r = poll(&p, 1, (int)((us + 999) / 1000));
  return r > 0 && (p.revents & POLLIN);
}

// Writes `count` filler bytes (the ERROR_STATUS type byte) and tells whether
// an answer came back within ALIGN_WAIT_MS; the whole answer is taken.
bool sFillerAnswered(int fd, int count) {
  std::vector<uint8_t> filler((size_t)count, ALIGN_FILLER);
  size_t written = 0;
  long long start = sNowUs();
  while (written < filler.size() && sNowUs() - start < ALIGN_WAIT_MS * 1000LL) {
    ssize_t n = write(fd, filler.data() + written, filler.size() - written);
    if (n > 0)
      written += (size_t)n;
    else
      sSleepMs(1);
  }
  if (written < filler.size()) return false;
  std::vector<uint8_t> answer;
  if (!sWaitInput(fd, sLineTimeUs(count) + ALIGN_WAIT_MS * 1000LL)) return false;
  size_t got = sTakeAvailable(fd, answer, 64);
  while (got < 64 && sWaitInput(fd, ANSWER_GAP_MS * 1000LL)) got += sTakeAvailable(fd, answer, 64);
  return got > 0;
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
  p_->unansweredBytes = 0;

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
  long long lastProgress = sNowUs();
  while (written < left) {
    ssize_t n = write(p_->fd, bytes + written, left - written);
    if (n > 0) {
      written += (size_t)n;
      lastProgress = sNowUs();
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    if (sNowUs() - lastProgress >= (long long)WRITE_STALL_MS * 1000) break;
    sSleepMs(1);
  }
  p_->unansweredBytes += (long long)written;
  p_->lastWriteUs = sNowUs();
  if (written == 0 && left > 0) return -1;
  return (ssize_t)written;
}

ssize_t Serial_SDPLoader::readData(std::vector<uint8_t>& reply, unsigned waitMs) {
  if (p_->fd < 0) return 0;
  if (waitMs == 0) return (ssize_t)sTakeAvailable(p_->fd, reply, MAX_REPLY_BYTES);

  sSleepMs(waitMs);
  size_t count = sTakeAvailable(p_->fd, reply, MAX_REPLY_BYTES);
  // A write returns once the driver (or the terminal's buffer) holds the
  // bytes; up to all of those written since the last answer may still be on
  // their way at 115200 baud, and the ROM answers only once it has them. So
  // while nothing came, the wait goes on until they can all have arrived,
  // plus waitMs for the answer itself.
  long long deadline = p_->lastWriteUs + sLineTimeUs(p_->unansweredBytes) + waitMs * 1000LL;
  p_->unansweredBytes = 0;
  while (count == 0 && sWaitInput(p_->fd, deadline - sNowUs()))
    count += sTakeAvailable(p_->fd, reply, MAX_REPLY_BYTES);
  // The rest of an answer that is still arriving.
  while (count > 0 && count < MAX_REPLY_BYTES && sWaitInput(p_->fd, ANSWER_GAP_MS * 1000LL))
    count += sTakeAvailable(p_->fd, reply, MAX_REPLY_BYTES - count);
  return (ssize_t)count;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset,
                                         unsigned& value) {
  if (offset > 15 || reply.size() < (offset + 2) * 4) return false;
  const uint8_t* p = reply.data() + offset + 4;
  value |= aBytes_GetLE32(p);
  return true;
}

bool Serial_SDPLoader::realign() {
  if (p_->fd < 0) return false;
  tcflush(p_->fd, TCIFLUSH);
  // 16 filler bytes complete the command the ROM holds, whatever it is (an
  // answer to it means nothing), and leave it holding 0 to 15 filler bytes.
  sFillerAnswered(p_->fd, COMMAND_BYTES);
  int low = 0, high = COMMAND_BYTES - 1;
  while (low < high) {
    int mid = (low + high + 1) / 2;
    if (sFillerAnswered(p_->fd, COMMAND_BYTES - mid)) {
      // It held mid..high: one command completed, high - mid at most remain.
      high -= mid;
      low = 0;
    } else {
      low += COMMAND_BYTES - mid;
      high = COMMAND_BYTES - 1;
    }
  }
  // low == 0 is reached only through an answer, right at a command boundary.
  bool inStep = low == 0 || sFillerAnswered(p_->fd, COMMAND_BYTES - low);
  p_->unansweredBytes = 0;
  return inStep;
}
