// Serial-port stream over a Linux terminal device: raw, non-blocking reads
// (VMIN = VTIME = 0), the port's own settings restored when the stream goes.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "link/aSerialInternal.h"
#include "link/aStream.h"

#define aSERIAL_TAG 0xBEEFu
#define aSERIAL_MAX_PATH 4096

namespace {

struct aUnixSerialStream {
  unsigned int baud;            // aSerial_Baud index
  char path[aSERIAL_MAX_PATH];  // NUL-terminated
  int fd;                       // 0 when not open
  struct termios saved;         // settings found at open, restored at close
  struct termios working;       // settings applied while open
  uint16_t tag;                 // aSERIAL_TAG while valid
};

const speed_t kSpeeds[aSERIAL_BAUD_COUNT] = {B2400,  B4800,  B9600,   B19200,
                                             B38400, B57600, B115200, B230400};

aUnixSerialStream* sSerial(void* procRef) {
  aUnixSerialStream* serial = static_cast<aUnixSerialStream*>(procRef);
  return serial != nullptr && serial->tag == aSERIAL_TAG ? serial : nullptr;
}

aErr sSerialGet(uint8_t* byte, void* procRef) {
  aUnixSerialStream* serial = sSerial(procRef);
  if (serial == nullptr || byte == nullptr) return aErrParam;
  ssize_t got = read(serial->fd, byte, 1);
  if (got == 1) return aErrNone;
  if (got == 0) return aErrNotReady;
  // The descriptor is blocking with VMIN = VTIME = 0, but a port opened by
  // someone else non-blocking, or a signal, may still report these.
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return aErrNotReady;
  return aErrIO;
}

aErr sSerialWrite(const uint8_t* data, size_t length, void* procRef) {
  aUnixSerialStream* serial = sSerial(procRef);
  if (serial == nullptr || data == nullptr) return aErrParam;
  ssize_t written = write(serial->fd, data, length);
  return written >= 0 && static_cast<size_t>(written) == length ? aErrNone : aErrIO;
}

aErr sSerialPut(uint8_t byte, void* procRef) { return sSerialWrite(&byte, 1, procRef); }

aErr sSerialDelete(void* procRef) {
  aUnixSerialStream* serial = sSerial(procRef);
  if (serial == nullptr) return aErrParam;
  if (serial->fd > 0) {
    tcsetattr(serial->fd, TCSANOW, &serial->saved);
    close(serial->fd);
    serial->fd = 0;
    memset(&serial->saved, 0, sizeof(serial->saved));
    memset(&serial->working, 0, sizeof(serial->working));
  }
  serial->tag = 0;
  free(serial);
  return aErrNone;
}

aErr sSerialOpen(aUnixSerialStream* serial, bool parity, aSerial_Bits dataBits,
                 aSerial_Stop_bits stopBits) {
  int fd = open(serial->path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return aErrNotFound;
    if (errno == EACCES) return aErrPermission;
    return aErrIO;
  }
  // From here on the descriptor belongs to the record; delete closes it.
  serial->fd = fd;
  if (fcntl(fd, F_SETFL, 0) != 0) return aErrIO;
  if (tcgetattr(fd, &serial->saved) != 0) return aErrIO;

  struct termios t;
  if (aSerial_MakeSettings(&serial->saved, static_cast<aSerial_Baud>(serial->baud), parity,
                           dataBits, stopBits, &t) != aErrNone) {
    return aErrIO;
  }
  serial->working = t;
  if (tcsetattr(fd, TCSANOW, &serial->working) != 0) return aErrIO;
  if (tcflush(fd, TCIOFLUSH) != 0) return aErrIO;
  return aErrNone;
}

}  // namespace

aErr aSerial_MakeSettings(const struct termios* saved, aSerial_Baud baudSelector, bool parity,
                          aSerial_Bits dataBits, aSerial_Stop_bits stopBits,
                          struct termios* working) {
  if (saved == nullptr || working == nullptr ||
      static_cast<unsigned>(baudSelector) >= aSERIAL_BAUD_COUNT) {
    return aErrParam;
  }
  struct termios t = *saved;
  t.c_iflag = IGNBRK;
  if (parity) t.c_iflag |= IGNPAR;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = CLOCAL | CREAD | (dataBits == aSerialBits7 ? CS7 : CS8);
  if (parity) t.c_cflag |= PARENB;
  if (stopBits == aSerialStopBits2) t.c_cflag |= CSTOPB;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, kSpeeds[baudSelector]) != 0 || cfsetospeed(&t, kSpeeds[baudSelector]) != 0) {
    return aErrIO;
  }
  *working = t;
  return aErrNone;
}

aErr aStream_CreateSerial(const char* portPath, aSerial_Baud baudSelector, bool parity,
                          aSerial_Bits dataBits, aSerial_Stop_bits stopBits, aStreamRef* stream) {
  // Signed checks: a negative value is refused too. A selector outside the
  // table would mean speed B0, which hangs the line up.
  if (portPath == nullptr || stream == nullptr || static_cast<int>(dataBits) < 0 ||
      static_cast<int>(dataBits) >= 2 || static_cast<int>(stopBits) < 0 ||
      static_cast<int>(stopBits) >= 2 ||
      static_cast<unsigned>(baudSelector) >= aSERIAL_BAUD_COUNT) {
    return aErrResource;
  }
  if (strlen(portPath) >= aSERIAL_MAX_PATH) return aErrFileNameLength;
  *stream = nullptr;

  aUnixSerialStream* serial = static_cast<aUnixSerialStream*>(calloc(1, sizeof(aUnixSerialStream)));
  if (serial == nullptr) return aErrResource;
  serial->baud = static_cast<unsigned>(baudSelector);
  memcpy(serial->path, portPath, strlen(portPath) + 1);
  serial->tag = aSERIAL_TAG;

  aStreamRef created = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, serial);
  if (created == nullptr) {
    sSerialDelete(serial);
    return aErrResource;
  }
  aErr err = sSerialOpen(serial, parity, dataBits, stopBits);
  if (err != aErrNone) {
    aStream_Destroy(&created);
    return err;
  }
  aStream_SetWaitHandle(created, serial->fd);
  *stream = created;
  return aErrNone;
}
