// Generic byte-stream operations: reads with a push-back ring, writes,
// terminated records, C strings, copying, destruction and the file streams.
#include "link/aStream.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "link/aFile.h"

namespace {

// Takes the oldest byte out of the push-back ring; false when it is empty.
bool sTakeBuffered(aStreamRef stream, uint8_t* byte) {
  if (stream->buffered == 0) return false;
  *byte = stream->pushBack[stream->head];
  stream->head = (stream->head + 1) % stream->capacity;
  stream->buffered--;
  return true;
}

// Next byte: push-back ring first, else the transport.
aErr sNextByte(aStreamRef stream, uint8_t* byte) {
  if (sTakeBuffered(stream, byte)) return aErrNone;
  return stream->get(byte, stream->procRef);
}

// Pushes a run back into the ring in order; stops at the first failure.
aErr sPushBack(aStreamRef stream, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; i++) {
    aErr err = aStreamBufferChar(stream, bytes[i]);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

// Scratch memory freed at the end of the scope.
class sScratch {
 public:
  explicit sScratch(size_t size) : bytes_(static_cast<uint8_t*>(malloc(size > 0 ? size : 1))) {}
  ~sScratch() { free(bytes_); }
  sScratch(const sScratch&) = delete;
  sScratch& operator=(const sScratch&) = delete;
  uint8_t* get() const { return bytes_; }

 private:
  uint8_t* bytes_;
};

// File stream callbacks; procRef is the aUnixFile handle.
aErr sFileGet(uint8_t* byte, void* procRef) {
  if (procRef == nullptr) return aErrParam;
  size_t countRead = 0;
  return aFile_Read(static_cast<aFileRef>(procRef), byte, 1, &countRead);
}

aErr sFileWrite(const uint8_t* data, size_t length, void* procRef) {
  if (procRef == nullptr) return aErrParam;
  size_t written = 0;
  aErr err = aFile_Write(static_cast<aFileRef>(procRef), data, length, &written);
  if (err == aErrNone && written != length) err = aErrIO;
  return err;
}

aErr sFilePut(uint8_t byte, void* procRef) { return sFileWrite(&byte, 1, procRef); }

aErr sFileDelete(void* procRef) {
  if (procRef == nullptr) return aErrIO;
  aFileRef file = static_cast<aFileRef>(procRef);
  return aFile_Close(&file);
}

// Polls `fd` for input together with `wakeFd` (ignored when negative): 0 for
// input, hang-up or error on fd (the next read tells which), aErrCancel when
// only wakeFd is readable, aErrTimeout, aErrIO when poll fails.
aErr sPollForInput(int fd, int wakeFd, unsigned long timeoutMs) {
  // poll takes an int; longer waits are cut to about 24 days.
  int timeout = timeoutMs == aSTREAM_WAIT_FOREVER ? -1
                : timeoutMs > 0x7FFFFFFFul        ? 0x7FFFFFFF
                                                  : static_cast<int>(timeoutMs);
  struct pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  int ready = poll(p, wakeFd >= 0 ? 2 : 1, timeout);
  if (ready > 0) return p[0].revents != 0 ? aErrNone : aErrCancel;
  if (ready == 0) return aErrTimeout;
  // Interrupted: report no input yet; the caller's loop calls again.
  return errno == EINTR ? aErrTimeout : aErrIO;
}

}  // namespace

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc destroy, void* procRef) {
  aStreamRef stream = static_cast<aStreamRef>(calloc(1, sizeof(aStream)));
  if (stream == nullptr) return nullptr;
  stream->get = get;
  stream->put = put;
  stream->write = write;
  stream->destroy = destroy;
  stream->procRef = procRef;
  stream->check = aSTREAMCHECK;
  stream->waitHandle = -1;
  stream->waitProc = nullptr;
  return stream;
}

aErr aStreamBufferChar(aStreamRef stream, uint8_t byte) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  if (stream->pushBack == nullptr) {
    stream->pushBack = static_cast<uint8_t*>(malloc(aSTREAMBUFCHUNK));
    if (stream->pushBack == nullptr) return aErrMemory;
    stream->capacity = aSTREAMBUFCHUNK;
    stream->buffered = stream->head = stream->tail = 0;
  }
  if (stream->buffered >= stream->capacity - 1) {
    size_t capacity = stream->capacity + aSTREAMBUFCHUNK;
    uint8_t* grown = static_cast<uint8_t*>(malloc(capacity));
    if (grown == nullptr) return aErrMemory;
    // Live bytes move to the start in order: head part, then the wrapped part.
    size_t first = stream->capacity - stream->head;
    if (first > stream->buffered) first = stream->buffered;
    memcpy(grown, stream->pushBack + stream->head, first);
    memcpy(grown + first, stream->pushBack, stream->buffered - first);
    free(stream->pushBack);
    stream->pushBack = grown;
    stream->capacity = capacity;
    stream->head = 0;
    stream->tail = stream->buffered;
  }
  stream->pushBack[stream->tail] = byte;
  stream->tail = (stream->tail + 1) % stream->capacity;
  stream->buffered++;
  return aErrNone;
}

aErr aStream_Read(aStreamRef stream, uint8_t* buffer, size_t length) {
  if (!aVALIDSTREAM(stream) || buffer == nullptr) return aErrParam;
  if (stream->get == nullptr) return aErrMode;
  sScratch scratch(length);
  if (scratch.get() == nullptr) return aErrResource;

  aErr err = aErrNone;
  size_t obtained = 0;
  while (obtained < length) {
    err = sNextByte(stream, &scratch.get()[obtained]);
    if (err != aErrNone) break;
    obtained++;
  }
  if (err == aErrNotReady) {
    // All or nothing: a later read sees the same bytes again.
    aErr pushed = sPushBack(stream, scratch.get(), obtained);
    return pushed == aErrNone ? static_cast<aErr>(aErrNotReady) : pushed;
  }
  if (err != aErrNone && err != aErrEOF) return err;
  if (obtained > 0) memcpy(buffer, scratch.get(), obtained);
  return err;
}

aErr aStream_Write(aStreamRef stream, const uint8_t* data, size_t length) {
  if (!aVALIDSTREAM(stream) || data == nullptr) return aErrParam;
  if (stream->put == nullptr && stream->write == nullptr) return aErrMode;
  if (length == 0) return aErrNone;
  if (stream->write != nullptr && (length > 1 || stream->put == nullptr)) {
    return stream->write(data, length, stream->procRef);
  }
  for (size_t i = 0; i < length; i++) {
    aErr err = stream->put(data[i], stream->procRef);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* recordLength, size_t maxLength,
                        const uint8_t* terminator, size_t terminatorLength) {
  if (!aVALIDSTREAM(stream) || buffer == nullptr || terminator == nullptr ||
      terminatorLength == 0 || maxLength == 0) {
    return aErrParam;
  }
  // Every byte taken in this call, terminator bytes included, so that a
  // record interrupted by aErrNotReady can be handed back whole: pushing back
  // only the record bytes would drop a terminator byte already matched and
  // corrupt the record read next time.
  if (maxLength > SIZE_MAX - terminatorLength) return aErrResource;
  sScratch scratch(maxLength);
  sScratch consumed(maxLength + terminatorLength);
  if (scratch.get() == nullptr || consumed.get() == nullptr) return aErrResource;

  aErr err = aErrNone;
  size_t stored = 0;
  size_t taken = 0;
  size_t matched = 0;
  for (;;) {
    uint8_t byte = 0;
    if (!sTakeBuffered(stream, &byte)) err = aStream_Read(stream, &byte, 1);
    if (err == aErrEOF) {
      if (stored > 0) err = aErrNone;
      break;
    }
    if (err == aErrNotReady) {
      aErr pushed = sPushBack(stream, consumed.get(), taken);
      return pushed == aErrNone ? static_cast<aErr>(aErrNotReady) : pushed;
    }
    if (err != aErrNone) return err;
    consumed.get()[taken++] = byte;
    // Terminator bytes are matched in order but need not be adjacent.
    if (byte == terminator[matched]) {
      if (++matched == terminatorLength) break;
      continue;
    }
    scratch.get()[stored++] = byte;
    if (stored == maxLength) break;
  }
  if (stored > 0) memcpy(buffer, scratch.get(), stored);
  if (recordLength != nullptr) *recordLength = stored;
  return err;
}

aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength) {
  if (!aVALIDSTREAM(stream) || data == nullptr || terminator == nullptr || terminatorLength == 0) {
    return aErrParam;
  }
  aErr err = aStream_Write(stream, data, length);
  if (err == aErrNone) err = aStream_Write(stream, terminator, terminatorLength);
  return err;
}

namespace {

// A record read into a C string: at most size - 1 characters, then a NUL.
aErr sReadCStringRecord(aStreamRef stream, char* buffer, size_t size, const uint8_t* terminator,
                        size_t terminatorLength) {
  if (buffer == nullptr || size < 2) return aErrParam;
  size_t length = 0;
  aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1,
                                terminator, terminatorLength);
  if (err == aErrNone) buffer[length] = '\0';
  return err;
}

}  // namespace

aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size) {
  static const uint8_t kNul = 0;
  return sReadCStringRecord(stream, buffer, size, &kNul, 1);
}

aErr aStream_WriteCString(aStreamRef stream, const char* text) {
  if (text == nullptr) return aErrParam;
  return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size,
                               const char* terminatorText) {
  if (terminatorText == nullptr) return aErrParam;
  return sReadCStringRecord(stream, buffer, size, reinterpret_cast<const uint8_t*>(terminatorText),
                            strlen(terminatorText));
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminatorText) {
  if (text == nullptr || terminatorText == nullptr) return aErrParam;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                             reinterpret_cast<const uint8_t*>(terminatorText),
                             strlen(terminatorText) + 1);
}

aErr aStream_Flush(aStreamRef source, aStreamRef destination) {
  if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination)) return aErrParam;
  if (source->get == nullptr || destination->put == nullptr) return aErrMode;
  for (;;) {
    uint8_t byte = 0;
    aErr err = source->get(&byte, source->procRef);
    if (err == aErrEOF) return aErrNone;
    if (err != aErrNone) return err;
    err = destination->put(byte, destination->procRef);
    if (err != aErrNone) return err;
  }
}

aErr aStream_Destroy(aStreamRef* stream) {
  if (stream == nullptr) return aErrParam;
  aStreamRef record = *stream;
  *stream = nullptr;
  if (!aVALIDSTREAM(record)) return aErrParam;
  aErr err = aErrNone;
  if (record->destroy != nullptr) err = record->destroy(record->procRef);
  free(record->pushBack);
  record->pushBack = nullptr;
  record->check = 0;
  free(record);
  return err;
}

aErr aStream_SetWaitHandle(aStreamRef stream, int fd) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->waitHandle = fd < 0 ? -1 : fd;
  return aErrNone;
}

int aStream_GetWaitHandle(aStreamRef stream) {
  return aVALIDSTREAM(stream) ? stream->waitHandle : -1;
}

aErr aStream_WaitReadable(aStreamRef stream, unsigned long timeoutMs) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  if (stream->buffered > 0) return aErrNone;
  if (stream->waitHandle < 0) return aErrUnimplemented;
  return sPollForInput(stream->waitHandle, -1, timeoutMs);
}

aErr aStream_SetWaitProc(aStreamRef stream, aStreamWaitProc wait) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->waitProc = wait;
  return aErrNone;
}

aErr aStream_AwaitInput(aStreamRef stream, int wakeFd, unsigned long timeoutMs) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  if (stream->buffered > 0) return aErrNone;
  if (stream->waitProc != nullptr) return stream->waitProc(wakeFd, timeoutMs, stream->procRef);
  if (stream->waitHandle < 0) return aErrUnimplemented;
  return sPollForInput(stream->waitHandle, wakeFd, timeoutMs);
}

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream) {
  if (path == nullptr || stream == nullptr) return aErrResource;
  aFileRef file = aFile_Open(path, aFileModeRead);
  if (file == nullptr) return aErrResource;
  aStreamRef created = aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file);
  if (created == nullptr) {
    aFile_Close(&file);
    return aErrResource;
  }
  *stream = created;
  return aErrNone;
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream) {
  if (path == nullptr || stream == nullptr) return aErrResource;
  *stream = nullptr;
  aFileRef file = aFile_Open(path, aFileModeWrite);
  if (file == nullptr) return aErrNone;
  *stream = aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
  if (*stream == nullptr) aFile_Close(&file);
  return aErrNone;
}
