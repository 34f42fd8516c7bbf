// Packet debug log: a ring of records {direction, length, bytes} that a link
// fills with the packets crossing it, read back oldest first.
//
// Record layout in the ring (bytes wrap around the end of the buffer):
//   offset 0  direction  aPACKETLOG_OUTBOUND (1) or aPACKETLOG_INBOUND (2)
//   offset 1  length n   of the recorded bytes (at most 255)
//   offset 2  n bytes    for link traffic, the packet's wire bytes
// The ring never fills completely, so equal indexes always mean empty. When a
// new record does not fit, the oldest records are dropped.
//
// This file provides the ring (aPacketLog_*). The per-link functions
// aLink_PacketDebug_* are declared here and implemented by the link engine
// (unix_link.cpp), which owns each link's log and its log mutex.
//
// Ownership: aPacketLog_Create returns a log owned by the caller, released with
// aPacketLog_Destroy. Thread-safety: a log has no lock of its own; the link
// serialises every put and get on its log with the link's log mutex.
#ifndef QN_LINK_APACKETDEBUG_H
#define QN_LINK_APACKETDEBUG_H

#include <stddef.h>
#include <stdint.h>

#include "link/aErr.h"

#define aPACKETLOG_OUTBOUND 1u  // written to the module
#define aPACKETLOG_INBOUND 2u   // received from the module
#define aPACKETLOG_DEFAULT_SIZE 65536u
#define aPACKETLOG_MAX_SIZE 0x4000000u
#define aPACKETLOG_MAX_RECORD 255u

typedef struct aPacketLog {
  bool enabled;         // set by enable, cleared by disable
  uint8_t* buffer;      // ring storage
  uint32_t size;        // ring capacity in bytes
  uint32_t readIndex;   // start of the oldest record
  uint32_t writeIndex;  // where the next record goes
} aPacketLog;

// A log with a ring of `size` bytes; null when size is 0 or memory runs out.
aPacketLog* aPacketLog_Create(uint32_t size);

// Appends a record, dropping the oldest records until it fits. aErrOverrun
// (nothing changed) when length + 2 is at least the ring size or length is
// above aPACKETLOG_MAX_RECORD; aErrParam for a null log, or null bytes with a
// non-zero length.
aErr aPacketLog_Put(aPacketLog* log, uint8_t direction, unsigned int length, const uint8_t* bytes);

// Takes the oldest record. On entry *length is the capacity of buffer; on
// return the record's length. aErrNotFound when empty; aErrOverrun when the
// record is longer than the capacity (*length set to its length, nothing
// consumed); aErrParam for null arguments.
aErr aPacketLog_Get(aPacketLog* log, uint8_t* direction, unsigned int* length, uint8_t* buffer);

// Frees the log and nulls the pointer; a null log (or location) gives 0.
aErr aPacketLog_Destroy(aPacketLog** log);

// Per-link packet log (implemented by the link engine). An unknown link gives
// aErrParam.
// Size of the log to be created: above aPACKETLOG_MAX_SIZE aErrParam; aErrBusy
// when the link already has a log; a negative size is stored as 0 (default).
aErr aLink_PacketDebug_SetLogSize(uint32_t linkId, long size);
// Creates the log (stored size, 0 meaning aPACKETLOG_DEFAULT_SIZE) and its
// mutex when missing (aErrResource when either cannot be made); sets enabled.
aErr aLink_PacketDebug_Enable(uint32_t linkId);
// aErrNotReady without a log; otherwise clears enabled.
aErr aLink_PacketDebug_Disable(uint32_t linkId);
// aErrNotReady without a log; otherwise aPacketLog_Get under the log mutex.
aErr aLink_PacketDebug_Read(uint32_t linkId, uint8_t* direction, unsigned int* length,
                            uint8_t* buffer);
// aErrNotReady without a log; otherwise aPacketLog_Put under the log mutex.
aErr aLink_PacketDebug_Write(uint32_t linkId, uint8_t direction, unsigned int length,
                             const uint8_t* bytes);

#endif  // QN_LINK_APACKETDEBUG_H
