// Byte streams: one abstraction of a byte transport (USB, TCP, serial port,
// file) made of four callbacks and a push-back ring.
//
// Ownership: aStream_Create* returns a stream owned by the caller (or by the
// link it is handed to), released with aStream_Destroy, which calls the
// transport's delete callback. `procRef` is the transport's own record; it is
// owned by the transport and freed by its delete callback.
//
// Thread-safety: a stream has no lock. One thread may read (get callback, push-
// back ring, aStream_WaitReadable) while one other thread writes (put and
// write callbacks); each transport's get and put/write must tolerate that.
// Destruction must not overlap either side.
#ifndef QN_LINK_ASTREAM_H
#define QN_LINK_ASTREAM_H

#include <stddef.h>
#include <stdint.h>

#include "link/aErr.h"

// Transport callbacks; all return aErr.
//
// get: stores one byte and returns 0 when a byte is available; returns
//   aErrNotReady when no byte is available right now and NEVER blocks waiting
//   for one; aErrEOF when the transport has ended; any other code is a hard
//   error (aErrIO, aErrConnection, aErrParam for a bad reference).
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* procRef);
// put: sends one byte; 0 or an error.
typedef aErr (*aStreamPutProc)(uint8_t byte, void* procRef);
// write: sends all `length` bytes; 0 only when all were sent. Optional bulk
//   path used for runs longer than one byte.
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* procRef);
// delete: closes the transport and frees procRef; its result becomes the
//   result of aStream_Destroy.
typedef aErr (*aStreamDeleteProc)(void* procRef);
// wait: for transports whose input cannot be waited for on one descriptor.
//   Sleeps until input may be there (0), the descriptor `wakeFd` (when >= 0)
//   becomes readable (aErrCancel), or timeoutMs pass (aErrTimeout); a
//   timeoutMs of aSTREAM_WAIT_FOREVER waits without a time limit.
typedef aErr (*aStreamWaitProc)(int wakeFd, unsigned long timeoutMs, void* procRef);

#define aSTREAM_WAIT_FOREVER (~0ul)

#define aSTREAMCHECK 0x4321u
#define aSTREAMBUFCHUNK 512u

typedef struct aStream {
  aStreamGetProc get;         // may be absent
  aStreamPutProc put;         // may be absent
  aStreamWriteProc write;     // may be absent
  aStreamDeleteProc destroy;  // may be absent ("delete" callback)
  void* procRef;
  uint8_t* pushBack;         // push-back ring, absent until first used
  size_t buffered;           // bytes now in the ring
  size_t capacity;           // ring size in bytes
  size_t head;               // next byte to hand out
  size_t tail;               // next free slot
  uint16_t check;            // aSTREAMCHECK while the stream lives
  int waitHandle;            // descriptor to poll for input, -1 when none
  aStreamWaitProc waitProc;  // transport's own wait, may be absent
} aStream;

typedef aStream* aStreamRef;

#define aVALIDSTREAM(s) ((s) != NULL && (s)->check == aSTREAMCHECK)

// A new stream (ring empty, no wait handle); null when memory runs out.
aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc destroy, void* procRef);

// Reads exactly `length` bytes (push-back ring first, then get). All or
// nothing: on aErrNotReady the bytes obtained are pushed back and the buffer
// is untouched. On aErrEOF the buffer holds the bytes that came before the end.
// Other errors copy nothing. aErrParam (invalid stream, null buffer), aErrMode
// (no get callback), aErrResource (no scratch memory).
aErr aStream_Read(aStreamRef stream, uint8_t* buffer, size_t length);

// Writes `length` bytes: one write call for runs longer than one byte when the
// stream has a write callback, else put per byte up to the first error.
// aErrParam (invalid stream, null data), aErrMode (neither put nor write).
aErr aStream_Write(aStreamRef stream, const uint8_t* data, size_t length);

// Reads a record ending with the terminator bytes (matched in order, not
// necessarily adjacent; never part of the record) or holding maxLength bytes.
// The record is copied to buffer (no NUL added) and its length stored in
// *recordLength (may be null) on 0 or aErrEOF. On aErrNotReady every byte
// taken in the call (terminator bytes too) is pushed back in order, so a
// later call reads the same record. maxLength >= 1 and buffer must hold
// maxLength bytes. Other errors copy nothing.
aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* recordLength, size_t maxLength,
                        const uint8_t* terminator, size_t terminatorLength);

// Writes data and then, if that succeeded, the terminator.
aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength);

// Record ending in NUL, at most size - 1 characters; NUL-terminated on success.
aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size);
// Writes the characters of text and one NUL.
aErr aStream_WriteCString(aStreamRef stream, const char* text);
// Record ending with the characters of terminatorText (without its NUL), at
// most size - 1 characters; NUL-terminated on success.
aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size,
                               const char* terminatorText);
// Writes the characters of text, then terminatorText including its NUL.
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminatorText);

// Copies bytes from source's get straight to destination's put until get
// reports aErrEOF (result 0), another get error, or a put error.
aErr aStream_Flush(aStreamRef source, aStreamRef destination);

// Calls the delete callback (its status is the result), frees the ring and
// the record. aErrParam for an invalid stream. Always nulls *stream.
aErr aStream_Destroy(aStreamRef* stream);

// Pushes one byte into the push-back ring; it comes out before any new byte,
// in push order. aErrParam (invalid stream), aErrMemory.
aErr aStreamBufferChar(aStreamRef stream, uint8_t byte);

// Wait handle: a transport that owns a pollable descriptor registers it at
// creation so the reading thread can sleep until input arrives instead of
// polling get. The stream never closes it (the delete callback does).
aErr aStream_SetWaitHandle(aStreamRef stream, int fd);
// The registered descriptor, or -1 (also for an invalid stream).
int aStream_GetWaitHandle(aStreamRef stream);
// For the reading thread, after a read gave aErrNotReady: 0 as soon as a byte
// may be read (push-back ring not empty, or the descriptor is readable or has
// hung up / failed, so that the next read reports it); aErrTimeout after
// timeoutMs without input; aErrUnimplemented at once when the stream has no
// wait handle (the caller paces itself with a sleep); aErrParam for an
// invalid stream.
aErr aStream_WaitReadable(aStreamRef stream, unsigned long timeoutMs);

// A transport whose input needs more than one descriptor to wait on (libusb)
// registers its own wait instead of a wait handle.
aErr aStream_SetWaitProc(aStreamRef stream, aStreamWaitProc wait);
// For the reading thread, after a read gave aErrNotReady: sleeps until a byte
// may be read (0), the descriptor `wakeFd` (when >= 0) is readable
// (aErrCancel: the caller was asked to stop), or timeoutMs pass (aErrTimeout;
// aSTREAM_WAIT_FOREVER: no time limit). Uses the transport's wait, else its
// wait handle; aErrUnimplemented at once when it has neither. aErrParam for
// an invalid stream, aErrIO when the wait itself failed.
aErr aStream_AwaitInput(aStreamRef stream, int wakeFd, unsigned long timeoutMs);

// File streams over aFile_Open.
// Input: get (end of file gives aErrEOF) and delete. Stores the stream only on
// success; any failure gives aErrResource.
aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);
// Output ("wb", truncating): put, write and delete. aErrResource for a null
// path or handle location; otherwise 0, with *stream null when the file could
// not be opened or the record could not be made.
aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);

// Serial port line settings.
typedef enum {
  aBaud2400 = 0,
  aBaud4800 = 1,
  aBaud9600 = 2,
  aBaud19200 = 3,
  aBaud38400 = 4,
  aBaud57600 = 5,
  aBaud115200 = 6,
  aBaud230400 = 7
} aSerial_Baud;
#define aSERIAL_BAUD_COUNT 8

typedef enum { aSerialBits8 = 0, aSerialBits7 = 1 } aSerial_Bits;
typedef enum { aSerialStopBits1 = 0, aSerialStopBits2 = 1 } aSerial_Stop_bits;

// Opens a terminal device raw and non-blocking (reads never wait: get gives
// aErrNotReady when nothing is there), with the given line settings and no
// flow control; the port's previous settings are restored by destroy. The
// port descriptor is the stream's wait handle.
// Results: 0 with *stream set; aErrResource for bad arguments (null path or
// handle location, dataBits or stopBits outside their enums, a baud selector
// outside the table) or no memory; aErrFileNameLength for a path of 4096
// characters or more; aErrNotFound (no such node), aErrPermission (not
// allowed), aErrIO (any other open or terminal setup failure). With valid
// arguments *stream is nulled first and set only on success.
aErr aStream_CreateSerial(const char* portPath, aSerial_Baud baudSelector, bool parity,
                          aSerial_Bits dataBits, aSerial_Stop_bits stopBits, aStreamRef* stream);

#endif  // QN_LINK_ASTREAM_H
