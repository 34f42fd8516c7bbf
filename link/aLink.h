// Link engine: the live connection to one module over a byte stream, run by
// two worker threads.
//
// The input thread reads the stream byte by byte, assembles packets, answers
// the module's heartbeats itself, regains byte alignment after corruption
// with a sync exchange, and queues every other packet in the link's input
// FIFO. The output thread writes the packets of the output FIFO to the
// stream.
//
// Link control traffic (packet framing of aPacket.h):
//   AF 01 01                to module    sent once when the link starts
//   AF 01 00                to module    sent once when the link stops
//   AD 00 x 6               to module    sync request (twelve bytes)
//   a 00 a 00               from module  sync answer (a = module address)
//   a 02 00 00 / a 02 00 01 from module  heartbeat, phase 0 / phase 1
//   a 02 00 02 / a 02 00 03 to module    heartbeat answers
//
// Links live in a process-wide table under identifiers from 1 upwards (never
// reused; 0 means none) and are shared by use count between callers that
// open the same module. The table owns each link, its stream and its FIFOs.
//
// Thread-safety: every function may be called from any thread. A link must
// not be destroyed while another thread still uses its identifier. Packets
// returned by the packet functions belong to the caller (aPacket_Destroy);
// aLink_PutPacket copies the caller's packet.
#ifndef QN_LINK_ALINK_H
#define QN_LINK_ALINK_H

#include <stddef.h>
#include <stdint.h>

#include "link/aErr.h"
#include "link/aLinkTypes.h"
#include "link/aPacket.h"
#include "link/aPacketDebug.h"
#include "link/aPacketFifo.h"
#include "link/aStream.h"

// Link status values (aLink_GetStatus).
enum {
  aLINK_STATUS_STOPPED = 0,   // initialised but not started, or stopped
  aLINK_STATUS_STARTING = 1,  // threads being created
  aLINK_STATUS_RUNNING = 2,   // packets flow; the only state in which AwaitFirst waits
  aLINK_STATUS_STOPPING = 3,
  aLINK_STATUS_SYNCING = 4,     // a sync request is out
  aLINK_STATUS_NO_STREAM = 5,   // initialised without a stream; also an unknown link
  aLINK_STATUS_READ_ERROR = 6,  // the stream reported an error
  aLINK_STATUS_QUEUE_ERROR = 8  // a complete packet could not be queued
};

// Control addresses and traffic.
#define aLINK_CONTROL_ADDRESS 0xAF
#define aLINK_SYNC_ADDRESS 0xAD
#define aLINK_SYNC_REQUEST_SIZE 12

// At most this many received packets wait in a link's input FIFO: when it is
// full, the oldest queued packet makes room for the new one, so a module that
// floods the link (or replies nobody takes) cannot exhaust memory.
#define aLINK_MAX_INPUT_PACKETS 8192

// Opens (or shares) the link to the USB module with this serial number.
// Returns the link identifier, 0 when the module cannot be opened.
uint32_t aLink_CreateUSB(uint32_t serialNumber);
// The same; when the module cannot be opened, *openError (if not null) says
// why: aErrBusy when another process holds it, aErrPermission when this user
// may not use it, else the USB stream's error. aErrNone on success.
uint32_t aLink_CreateUSBResult(uint32_t serialNumber, aErr* openError);

// Opens (or shares) the link to a TCP/IP module: address in network byte
// order, port in host order (as in linkSpec). A link whose connection failed
// is still created and started without a stream: it reports status 6 once
// its input thread has run. Returns 0 only when the link cannot be started.
uint32_t aLink_CreateTCPIP(uint32_t address, uint32_t port);

// A link over a caller-supplied stream (never shared); the link takes
// ownership of the stream, also on failure. Returns 0 on failure.
uint32_t aLink_Create(aStreamRef stream);

// Drops one use of the link; the last one stops it (the stop packet goes
// out), joins both threads and frees the link, its FIFOs and its stream.
// Always sets *id to 0. aErrParam for an unknown link.
aErr aLink_Destroy(uint32_t* id);

// Stops the link, opens a new stream to the same module (up to 20 attempts,
// 100 ms apart) and starts it again without a packet log. aErrBusy at once
// when the link table is in use by another thread; aErrParam for an unknown
// link or a link over a caller-supplied stream.
aErr aLink_Reset(uint32_t id);

// The link's status; 5 for an unknown link.
uint32_t aLink_GetStatus(uint32_t id);

// Input FIFO readers (null for an unknown link) and the output FIFO writer.
aPacketRef aLink_GetPacket(uint32_t id);
aPacketRef aLink_AwaitPacket(uint32_t id, unsigned long timeoutMs);
aPacketRef aLink_GetFirst(uint32_t id, aPacketMatchProc match, void* ref);
size_t aLink_DrainPackets(uint32_t id, aPacketMatchProc match, void* ref);
aErr aLink_PutPacket(uint32_t id, const aPacket* packet);

// Waits up to timeoutMs for a matching packet while the link is running
// (status 2); a link that is syncing, in error or stopped gives null at once.
aPacketRef aLink_AwaitFirst(uint32_t id, aPacketMatchProc match, void* ref,
                            unsigned long timeoutMs);

// The per-link packet debug log functions (aLink_PacketDebug_*) are declared
// in aPacketDebug.h.

#endif  // QN_LINK_ALINK_H
