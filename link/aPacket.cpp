// Packet records and the byte-by-byte assembler fed by the link's input thread.
#include "link/aPacket.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

static_assert(offsetof(aPacket, length) == offsetof(aPacket, address) + 1,
              "wire bytes must be contiguous: address, length");
static_assert(offsetof(aPacket, data) == offsetof(aPacket, address) + 2,
              "wire bytes must be contiguous: length, data");

namespace {

// Every new record starts as a copy of this template.
const aPacket PACK = {aPACKET_TAG, 0, 0, 0, {0}};

}  // namespace

aPacketRef aPacket_Create(void) {
  aPacketRef packet = static_cast<aPacketRef>(malloc(sizeof(aPacket)));
  if (packet != NULL) *packet = PACK;
  return packet;
}

aPacketRef aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  // A longer run would be copied past the end of `data` in the record.
  if (length > aPACKET_MAX_DATA || (length > 0 && data == NULL)) return NULL;
  aPacketRef packet = aPacket_Create();
  if (packet == NULL) return NULL;
  packet->address = address;
  packet->length = length;
  if (length > 0) memcpy(packet->data, data, length);
  packet->byteCount = static_cast<uint8_t>(length + 2);
  return packet;
}

aErr aPacket_Reset(aPacketRef packet) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  packet->byteCount = 0;
  packet->address = 0;
  packet->length = 0;
  memset(packet->data, 0, sizeof(packet->data));
  return aErrNone;
}

aErr aPacket_AddByte(aPacketRef packet, uint8_t byte) {
  if (!aVALIDPACKET(packet)) return aErrParam;

  // Counted for every byte offered. Saturates instead of wrapping: a wrapped
  // count would let a long run of bytes through again and store them before
  // the start of `data`.
  if (packet->byteCount <= aPACKET_MAX_WIRE) packet->byteCount++;
  if (packet->byteCount > aPACKET_MAX_WIRE) return aErrOverrun;

  if (packet->address == 0) {
    if (byte == 0 || (byte & 1u) != 0) return aErrPacket;
    packet->address = byte;
    return aErrNone;
  }

  if (packet->length == 0) {
    // A zero length and a length not yet received look the same; a
    // zero-length packet is complete here and the link resets it.
    packet->length = byte;
    return byte <= aPACKET_MAX_DATA ? aErrNone : aErrPacket;
  }

  if (packet->byteCount <= packet->length + 2) {
    packet->data[packet->byteCount - 3] = byte;
    return aErrNone;
  }
  return aErrPacket;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->byteCount == packet->length + 2;
}

aErr aPacket_Destroy(aPacketRef* packet) {
  if (packet == NULL || *packet == NULL) return aErrParam;
  (*packet)->tag = 0;
  free(*packet);
  *packet = NULL;
  return aErrNone;
}
