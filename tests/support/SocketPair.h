// A stream over one end of a socket pair, so that a test can play the module
// on the other end byte by byte.
#ifndef QN_TESTS_SUPPORT_SOCKETPAIR_H
#define QN_TESTS_SUPPORT_SOCKETPAIR_H

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/aStream.h"

namespace qntest {
namespace socketpair_stream {

inline aErr Get(uint8_t* byte, void* ref) {
  ssize_t r = read(*static_cast<int*>(ref), byte, 1);
  if (r == 1) return aErrNone;
  if (r == 0) return aErrEOF;
  return (errno == EAGAIN || errno == EWOULDBLOCK) ? aErrNotReady : aErrIO;
}

inline aErr Write(const uint8_t* data, size_t length, void* ref) {
  size_t done = 0;
  while (done < length) {
    ssize_t w = write(*static_cast<int*>(ref), data + done, length - done);
    if (w <= 0) return aErrIO;
    done += (size_t)w;
  }
  return aErrNone;
}

inline aErr Put(uint8_t byte, void* ref) { return Write(&byte, 1, ref); }

inline aErr Delete(void* ref) {
  int* fd = static_cast<int*>(ref);
  close(*fd);
  delete fd;
  return aErrNone;
}

}  // namespace socketpair_stream

// A non-blocking stream over one end of a new socket pair (closed with the
// stream); `*peer` receives the other end, which the caller closes. Without
// `waitHandle` a reader has to poll the stream. Null when no pair can be made.
inline aStreamRef SocketPairStream(int* peer, bool waitHandle = true) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return nullptr;
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  namespace s = socketpair_stream;
  aStreamRef stream = aStream_Create(s::Get, s::Put, s::Write, s::Delete, new int(fds[0]));
  if (stream && waitHandle) aStream_SetWaitHandle(stream, fds[0]);
  *peer = fds[1];
  return stream;
}

}  // namespace qntest

#endif  // QN_TESTS_SUPPORT_SOCKETPAIR_H
