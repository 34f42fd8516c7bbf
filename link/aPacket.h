// Link packets: the record, its byte-by-byte assembler and the wire framing.
//
// Wire form of a packet, 2 + length bytes with nothing around them:
//   offset 0  address  module address (even, non-zero; 0xAD and 0xAF are link
//                      control addresses)
//   offset 1  length   number of data bytes, 0 to aPACKET_MAX_DATA
//   offset 2  data     `length` bytes
// No start marker, checksum or escaping; after corruption the link regains
// alignment with its sync exchange.
//
// The record's fields `address`, `length` and `data` are adjacent, so the wire
// bytes of a packet `p` are the aPacket_WireSize(p) bytes at aPacket_Wire(p).
//
// Ownership: every aPacketRef returned by a function of this header or of
// aPacketFifo.h belongs to the caller, who releases it with aPacket_Destroy.
// Thread-safety: a packet record has no lock; one thread uses it at a time.
#ifndef QN_LINK_APACKET_H
#define QN_LINK_APACKET_H

#include <stddef.h>
#include <stdint.h>

#include <memory>

#include "link/aErr.h"

#define aPACKET_TAG 0xBEEFu
#define aPACKET_MAX_DATA 28
#define aPACKET_MAX_WIRE (aPACKET_MAX_DATA + 2)

typedef struct aPacket {
  uint16_t tag;                    // aPACKET_TAG while valid
  uint8_t byteCount;               // bytes taken by the assembler; 2 + length when built from data
  uint8_t address;                 // 0 while an assembling packet has no address yet
  uint8_t length;                  // number of data bytes
  uint8_t data[aPACKET_MAX_DATA];  // bytes beyond `length` are zero in a fresh or reset record
} aPacket;

typedef aPacket* aPacketRef;

#define aVALIDPACKET(p) ((p) != NULL && (p)->tag == aPACKET_TAG)

// A new, empty, valid packet; null when memory runs out.
aPacketRef aPacket_Create(void);

// A new packet holding `address`, `length` and the first `length` bytes of
// `data`, with byteCount = 2 + length. Null when memory runs out, when length
// exceeds aPACKET_MAX_DATA, or when data is null while length is non-zero.
aPacketRef aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);

// Clears byteCount, address, length and the data (the tag stays).
// aErrParam for an invalid packet.
aErr aPacket_Reset(aPacketRef packet);

// Feeds one received byte to the assembler. 0 when the byte was taken;
// aErrParam for an invalid packet; aErrOverrun once more than aPACKET_MAX_WIRE
// bytes were offered; aErrPacket for a bad address (zero or odd), a length
// above aPACKET_MAX_DATA, or a byte beyond the packet's end. A refused byte is
// never stored outside the record; the caller resets the packet.
aErr aPacket_AddByte(aPacketRef packet, uint8_t byte);

// True when the packet is valid and byteCount equals length + 2.
bool aPacket_IsComplete(const aPacket* packet);

// Frees the packet and nulls the caller's pointer; aErrParam when `packet` or
// `*packet` is null.
aErr aPacket_Destroy(aPacketRef* packet);

// The wire bytes of a packet: address, length, data.
inline const uint8_t* aPacket_Wire(const aPacket* packet) { return &packet->address; }
inline size_t aPacket_WireSize(const aPacket* packet) { return (size_t)packet->length + 2u; }

// An owner for a packet in C++ code: aPacket_Destroy runs when it goes.
struct aPacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
typedef std::unique_ptr<aPacket, aPacketDeleter> aPacketOwner;

#endif  // QN_LINK_APACKET_H
