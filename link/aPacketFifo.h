// Packet FIFOs: thread-safe packet queues named by 64-bit identifiers.
//
// FIFOs live in a process-wide registry; identifiers start at 1 and are never
// reused, so 0 never names a FIFO. Every function takes the identifier and
// looks the FIFO up; an identifier that names no FIFO gives aErrParam (put),
// null (readers) or 0 (counts).
//
// Ownership: a FIFO keeps its own copy of every packet put into it; the caller
// of aPacketFifo_Put still owns and destroys its packet. Every packet returned
// by a reader is a new record owned by the caller (aPacket_Destroy).
//
// Thread-safety: every function may be called from any thread at any time.
// Queue state is changed under the FIFO's own lock; the registry has one lock
// of its own, never held while a FIFO's lock is taken. Destroying a FIFO
// wakes every thread waiting on it (they return null) and is safe while other
// threads are inside calls on it: the record is freed when the last of them
// has left.
#ifndef QN_LINK_APACKETFIFO_H
#define QN_LINK_APACKETFIFO_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "link/aErr.h"
#include "link/aPacket.h"

typedef uint64_t aPacketFifoId;

#define aVALIDFIFO_TAG 0xFEEDu

// Match function of the first-match and drain operations: true when `packet`
// is the one wanted. It runs while the FIFO's lock is held: it must be cheap
// and must not call any aPacketFifo_ function on the same FIFO. It must not
// keep the packet pointer after returning.
typedef bool (*aPacketMatchProc)(const aPacket* packet, void* ref);

// A new FIFO's identifier; 0 when memory runs out.
aPacketFifoId aPacketFifo_Create(void);

// Removes the FIFO from the registry, discards its packets and wakes every
// waiter. Sets *id to 0 on success; aErrNotFound for a null handle or an
// identifier that names no FIFO.
aErr aPacketFifo_Destroy(aPacketFifoId* id);

// Number of queued packets; 0 for an identifier that names no FIFO.
size_t aPacketFifo_GetLength(aPacketFifoId id);

// Appends a copy of `packet` and wakes the waiters. aErrParam for an unknown
// FIFO or an invalid packet, aErrResource when no memory, aErrCancel when the
// FIFO is being destroyed.
aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet);

// Takes the oldest packet; null when empty (never waits).
aPacketRef aPacketFifo_Get(aPacketFifoId id);

// Takes the oldest packet, waiting up to timeoutMs for one to arrive; null
// on time-out, destroy or no memory. A timeout of 0 never waits.
aPacketRef aPacketFifo_Await(aPacketFifoId id, unsigned long timeoutMs);

// As aPacketFifo_Await, but the wait also ends (null when the FIFO is empty)
// as soon as *keepWaiting is false. A thread that clears the flag calls
// aPacketFifo_Wake afterwards, so that a waiter sees it at once.
aPacketRef aPacketFifo_AwaitWhile(aPacketFifoId id, unsigned long timeoutMs,
                                  const std::atomic<bool>* keepWaiting);

// Makes every thread waiting on the FIFO look at its wait condition again.
// aErrParam for an identifier that names no FIFO.
aErr aPacketFifo_Wake(aPacketFifoId id);

// Takes the first packet for which match(packet, ref) is true; the others
// keep their order. Null when none matches (never waits) or match is null.
aPacketRef aPacketFifo_GetFirst(aPacketFifoId id, aPacketMatchProc match, void* ref);

// As aPacketFifo_GetFirst, waiting up to timeoutMs for a matching packet.
// Between searches the caller sleeps on the FIFO until the next put (or the
// deadline, or destroy); it does not spin over non-matching packets.
aPacketRef aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketMatchProc match, void* ref,
                                  unsigned long timeoutMs);

// Removes and frees every queued packet for which match(packet, ref) is true;
// the rest keep their order. Returns the number removed (0 for an unknown FIFO
// or a null match).
size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketMatchProc match, void* ref);

#endif  // QN_LINK_APACKETFIFO_H
