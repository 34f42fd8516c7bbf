// TCP socket stream: a non-blocking connection to a module's link service.
//
// Ownership: aStream_CreateSocket returns a stream owned by the caller (or by
// the link it is handed to); destroying the stream closes the connection.
// Thread-safety: one thread may read while another writes. A read or write
// that meets a dropped connection reconnects in place to the same address and
// port; the socket keeps its descriptor number across reconnections, so the
// stream's wait handle stays valid.
#ifndef QN_LINK_ASTREAMSOCKET_H
#define QN_LINK_ASTREAMSOCKET_H

#include <stdint.h>

#include "link/aErr.h"
#include "link/aStream.h"

#define aSOCKET_MAX_SEND_RETRY 10
#define aSOCKET_RETRY_DELAY_MS 60
// A (re)connection attempt gives up after this long, so that a module that
// vanished from the network cannot hold a link thread in connect.
#define aSOCKET_CONNECT_TIMEOUT_MS 3000
// Sent bytes unacknowledged for this long fail the connection (TCP user
// time-out), so a module that lost power shows as a lost connection.
#define aSOCKET_USER_TIMEOUT_MS 10000

// Connects to `address` (IPv4, network byte order, as it stands in a received
// socket address) and `port` (host order). Sets *stream to null first; on
// success stores the new stream and returns 0. Any failure (null handle, no
// memory, no connection) gives aErrResource.
//
// The stream's get never blocks: no byte pending, or the peer closed the
// connection, gives aErrNotReady; a connection that is gone and cannot be
// re-established gives aErrConnection (also for every later call). A write
// retries unsent bytes up to aSOCKET_MAX_SEND_RETRY times,
// aSOCKET_RETRY_DELAY_MS apart; bytes still unsent then give aErrWrite.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream);

#endif  // QN_LINK_ASTREAMSOCKET_H
