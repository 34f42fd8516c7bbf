// USB stream: a byte stream to a module over USB, through the module's kernel
// driver node when it exists (see qnusb_driver.h for its path), else through
// libusb-1.0.
//
// Ownership: the stream is owned by the caller (or the link it is handed to);
// destroying it closes the device. Thread-safety: one reader and one writer.
#ifndef QN_LINK_ASTREAMUSB_H
#define QN_LINK_ASTREAMUSB_H

#include <stdint.h>

#include "link/aErr.h"
#include "link/aStream.h"

// Opens the module with this serial number. Sets *stream to null first; on
// success stores the new stream. aErrParam (null handle, serial number 0),
// aErrMemory, aErrResource (no device record), or the open error: aErrNotFound,
// aErrConfiguration, aErrBusy, aErrPermission, aErrIO, 34 (unexpected).
// Over the kernel node the stream has a wait handle; over libusb a get waits
// at most one 100 ms bulk transfer.
aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream);

#endif  // QN_LINK_ASTREAMUSB_H
