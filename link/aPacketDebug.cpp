// Packet debug log ring: records {direction, length, bytes} wrapping around
// the end of the buffer; the oldest records make room for new ones.
#include "link/aPacketDebug.h"

#include <stdlib.h>

namespace {

uint32_t sUsed(const aPacketLog* log) {
  return (log->writeIndex + log->size - log->readIndex) % log->size;
}

uint32_t sFree(const aPacketLog* log) { return log->size - sUsed(log); }

uint8_t sByteAt(const aPacketLog* log, uint64_t index) { return log->buffer[index % log->size]; }

void sPutByte(aPacketLog* log, uint8_t byte) {
  log->buffer[log->writeIndex] = byte;
  log->writeIndex = static_cast<uint32_t>((static_cast<uint64_t>(log->writeIndex) + 1) % log->size);
}

// Drops the oldest record; the ring is not empty.
void sDropOldest(aPacketLog* log) {
  uint32_t length = sByteAt(log, static_cast<uint64_t>(log->readIndex) + 1);
  log->readIndex =
      static_cast<uint32_t>((static_cast<uint64_t>(log->readIndex) + 2 + length) % log->size);
}

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t size) {
  if (size == 0) return nullptr;
  aPacketLog* log = static_cast<aPacketLog*>(calloc(1, sizeof(aPacketLog)));
  if (log == nullptr) return nullptr;
  log->buffer = static_cast<uint8_t*>(calloc(size, 1));
  if (log->buffer == nullptr) {
    free(log);
    return nullptr;
  }
  log->size = size;
  return log;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t direction, unsigned int length, const uint8_t* bytes) {
  if (log == nullptr || log->buffer == nullptr || (length > 0 && bytes == nullptr))
    return aErrParam;
  // The length travels in one byte; a longer record would be misread later.
  if (length > aPACKETLOG_MAX_RECORD) return aErrOverrun;
  const uint64_t needed = static_cast<uint64_t>(length) + 2;
  if (needed >= log->size) return aErrOverrun;
  // Free space must exceed the record so the ring never fills completely.
  while (sFree(log) <= needed && sUsed(log) > 0) sDropOldest(log);

  sPutByte(log, direction);
  sPutByte(log, static_cast<uint8_t>(length));
  for (unsigned int i = 0; i < length; i++) sPutByte(log, bytes[i]);
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* direction, unsigned int* length, uint8_t* buffer) {
  if (log == nullptr || log->buffer == nullptr || direction == nullptr || length == nullptr) {
    return aErrParam;
  }
  if (log->readIndex == log->writeIndex) return aErrNotFound;
  const uint32_t recordLength = sByteAt(log, static_cast<uint64_t>(log->readIndex) + 1);
  *direction = sByteAt(log, log->readIndex);
  if (recordLength > *length) {
    *length = recordLength;
    return aErrOverrun;
  }
  if (recordLength > 0 && buffer == nullptr) return aErrParam;
  for (uint32_t i = 0; i < recordLength; i++)
    buffer[i] = sByteAt(log, static_cast<uint64_t>(log->readIndex) + 2 + i);
  *length = recordLength;
  sDropOldest(log);
  return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
  if (log == nullptr || *log == nullptr) return aErrNone;
  free((*log)->buffer);
  free(*log);
  *log = nullptr;
  return aErrNone;
}
