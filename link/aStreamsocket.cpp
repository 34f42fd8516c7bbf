// TCP socket stream.
#include "link/aStreamsocket.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "link/aTime.h"

namespace {

const uint16_t aVALIDSS = 0xDEAD;
const uint32_t kConnected = 0x1;
const unsigned long kClosePauseMs = 10;

struct aSocketStream {
  uint16_t port;                // host order
  sockaddr_in address;          // port in network order
  int fd;                       // -1 when no socket exists
  std::atomic<uint32_t> flags;  // kConnected
  uint16_t tag;                 // aVALIDSS while valid
  // Serialises reconnections: the reading and the writing thread may both
  // meet a dropped connection at the same moment.
  pthread_mutex_t resetLock;
};

bool sValid(const aSocketStream* record) { return record && record->tag == aVALIDSS; }

bool sIsConnected(const aSocketStream* record) { return (record->flags.load() & kConnected) != 0; }

aErr sConnectError(int error) {
  switch (error) {
    case ECONNRESET:
    case EAGAIN:
    case ETIMEDOUT:
    case ECONNREFUSED:
      return aErrConnection;
    default:
      return aErrIO;
  }
}

// Non-blocking connect bounded by aSOCKET_CONNECT_TIMEOUT_MS; 0 or errno.
int sConnectBounded(int fd, const sockaddr_in* address) {
  int on = 1;
  if (ioctl(fd, FIONBIO, &on) != 0) return errno;
  if (connect(fd, (const sockaddr*)address, sizeof(*address)) == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  pollfd wait = {fd, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&wait, 1, aSOCKET_CONNECT_TIMEOUT_MS);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) return ETIMEDOUT;
  if (ready < 0) return errno;
  int error = 0;
  socklen_t length = sizeof(error);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

aErr sApplyOptions(int fd) {
  int on = 1;
  timeval noTimeout = {0, 0};
  linger abortive = {1, 0};  // close resets the connection
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof(noTimeout)) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive)) != 0 ||
      ioctl(fd, FIONBIO, &on) != 0) {
    return aErrIO;
  }
  // Bytes a vanished module never acknowledges fail the connection after
  // this long instead of after the system's many-minute retransmission
  // limit, so the link reports the loss. Best effort: not every system has it.
  unsigned int unacknowledgedMs = aSOCKET_USER_TIMEOUT_MS;
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledgedMs, sizeof(unacknowledgedMs));
  return aErrNone;
}

// Drops the current connection (if any) and connects again. The new socket
// takes the old one's descriptor number, and a failed attempt leaves an
// unconnected socket there, so the number stays valid for the stream's wait
// handle until the stream is deleted.
aErr sSocketStreamReset(aSocketStream* record) {
  if (!sValid(record)) return aErrInitialization;
  pthread_mutex_lock(&record->resetLock);
  aErr result = aErrNone;
  record->flags.fetch_and(~kConnected);
  int fresh = socket(AF_INET, SOCK_STREAM, 0);
  if (fresh < 0) {
    result = aErrIO;
  } else if (record->fd < 0) {
    record->fd = fresh;
  } else {
    // Closes the old connection (an abortive close: it resets) and puts the
    // fresh socket under the same number.
    if (dup2(fresh, record->fd) < 0) result = aErrIO;
    close(fresh);
    aTime_MSSleep(kClosePauseMs);
  }
  if (result == aErrNone) {
    int error = sConnectBounded(record->fd, &record->address);
    if (error != 0) {
      result = sConnectError(error);
    } else {
      result = sApplyOptions(record->fd);
      if (result == aErrNone) record->flags.fetch_or(kConnected);
    }
    if (result != aErrNone) {
      // Leave a fresh unconnected socket behind, not the failed one.
      int spare = socket(AF_INET, SOCK_STREAM, 0);
      if (spare >= 0) {
        dup2(spare, record->fd);
        close(spare);
      }
    }
  }
  pthread_mutex_unlock(&record->resetLock);
  return result;
}

void sSocketClose(aSocketStream* record) {
  record->flags.fetch_and(~kConnected);
  if (record->fd >= 0) {
    close(record->fd);
    record->fd = -1;
    aTime_MSSleep(kClosePauseMs);
  }
}

void sFreeRecord(aSocketStream* record) {
  record->tag = 0;
  pthread_mutex_destroy(&record->resetLock);
  delete record;
}

bool sDroppedConnection(int error) {
  return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT;
}

aErr sSocketStreamGet(uint8_t* byte, void* procRef) {
  aSocketStream* record = (aSocketStream*)procRef;
  if (!sValid(record) || !byte) return aErrParam;
  if (!sIsConnected(record)) return aErrConnection;
  uint8_t peeked;
  ssize_t n = recv(record->fd, &peeked, 1, MSG_PEEK);
  if (n < 0 && sDroppedConnection(errno)) {
    aErr reset = sSocketStreamReset(record);
    if (reset != aErrNone) return reset;
    n = recv(record->fd, &peeked, 1, MSG_PEEK);
  }
  if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? aErrNotReady : aErrConnection;
  if (n == 0) return aErrNotReady;  // the peer closed its side
  n = recv(record->fd, byte, 1, 0);
  if (n == 1) return aErrNone;
  if (n == 0) return aErrNotReady;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return aErrEOF;
  if (sDroppedConnection(errno)) return aErrNotReady;
  return aErrIO;
}

aErr sSocketStreamWrite(const uint8_t* data, size_t length, void* procRef) {
  aSocketStream* record = (aSocketStream*)procRef;
  if (!sValid(record) || (!data && length)) return aErrParam;
  if (!sIsConnected(record)) return aErrConnection;
  size_t sent = 0;
  int retry = 0;
  while (sent < length) {
    bool busy = false;
    ssize_t n = send(record->fd, data + sent, length - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += (size_t)n;
      if (sent < length) retry = 1;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      busy = true;
      retry++;
    } else if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) {
      aErr reset = sSocketStreamReset(record);
      if (reset != aErrNone) return reset;
      busy = true;
      retry++;
    } else {
      return aErrIO;
    }
    if (sent < length || busy) aTime_MSSleep(aSOCKET_RETRY_DELAY_MS);
    if (retry >= aSOCKET_MAX_SEND_RETRY) break;
  }
  return sent == length ? aErrNone : aErrWrite;
}

aErr sSocketStreamPut(uint8_t byte, void* procRef) { return sSocketStreamWrite(&byte, 1, procRef); }

aErr sSocketStreamDelete(void* procRef) {
  aSocketStream* record = (aSocketStream*)procRef;
  if (!sValid(record)) return aErrIO;
  sSocketClose(record);
  record->flags.store(0);
  sFreeRecord(record);
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream) {
  if (!stream) return aErrResource;
  *stream = nullptr;
  aSocketStream* record = new (std::nothrow) aSocketStream();
  if (!record) return aErrResource;
  record->port = port;
  memset(&record->address, 0, sizeof(record->address));
  record->address.sin_family = AF_INET;
  record->address.sin_port = htons(port);
  record->address.sin_addr.s_addr = address;
  record->fd = -1;
  record->flags.store(0);
  record->tag = aVALIDSS;
  pthread_mutex_init(&record->resetLock, nullptr);
  aStreamRef created = nullptr;
  if (sSocketStreamReset(record) == aErrNone) {
    created = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                             sSocketStreamDelete, record);
  }
  if (!created) {
    sSocketClose(record);
    sFreeRecord(record);
    return aErrResource;
  }
  aStream_SetWaitHandle(created, record->fd);
  *stream = created;
  return aErrNone;
}
