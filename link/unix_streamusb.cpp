// USB stream callbacks over the USB device layer.
#include <stdio.h>
#include <stdlib.h>

#include <new>

#include "link/aStreamUSB.h"
#include "link/qnusb_driver.h"

namespace {

const uint16_t aVALIDUSBS = 0xDEAD;

struct aUnixUSBStream {
  uint32_t serialNumber;
  qnusb* device;
  uint16_t tag;
};

bool sValid(const aUnixUSBStream* record) { return record && record->tag == aVALIDUSBS; }

aErr sUSBStreamGet(uint8_t* byte, void* procRef) {
  aUnixUSBStream* record = (aUnixUSBStream*)procRef;
  if (!sValid(record)) return aErrParam;
  return qnusb_get_from_device(record->device, byte);
}

aErr sUSBStreamWrite(const uint8_t* data, size_t length, void* procRef) {
  aUnixUSBStream* record = (aUnixUSBStream*)procRef;
  if (!sValid(record)) return aErrParam;
  return qnusb_write_to_device(record->device, data, length);
}

aErr sUSBStreamWait(int wakeFd, unsigned long timeoutMs, void* procRef) {
  aUnixUSBStream* record = (aUnixUSBStream*)procRef;
  if (!sValid(record)) return aErrParam;
  return qnusb_wait_for_input(record->device, wakeFd, timeoutMs);
}

aErr sUSBStreamPut(uint8_t byte, void* procRef) { return sUSBStreamWrite(&byte, 1, procRef); }

aErr sUSBStreamDelete(void* procRef) {
  aUnixUSBStream* record = (aUnixUSBStream*)procRef;
  if (!sValid(record)) return aErrParam;
  aErr result = qnusb_close_quillnode_device(record->device);
  // A device that was never opened or is already closed has nothing to close.
  if (result == aErrMode) result = aErrNone;
  if (result != aErrNone) return result;
  qnusb_destroy(&record->device);
  record->tag = 0;
  delete record;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream) {
  if (stream) *stream = nullptr;
  bool kernel = qnusb_is_kernel_driver_installed(serialNumber);
  if (!stream || serialNumber == 0) return aErrParam;
  aUnixUSBStream* record = new (std::nothrow) aUnixUSBStream();
  if (!record) return aErrMemory;
  record->serialNumber = serialNumber;
  record->tag = aVALIDUSBS;
  char serialText[QNUSB_SERIAL_TEXT_SIZE];
  snprintf(serialText, sizeof(serialText), "%08X", serialNumber);
  record->device = qnusb_create_usb(kernel ? QNUSB_MODE_KERNEL : QNUSB_MODE_LIBUSB);
  if (!record->device) {
    delete record;
    return aErrResource;
  }
  aErr result = qnusb_open_quillnode_device(record->device, serialText);
  if (result != aErrNone) {
    qnusb_destroy(&record->device);
    delete record;
    return result;
  }
  aStreamRef created =
      aStream_Create(sUSBStreamGet, sUSBStreamPut, sUSBStreamWrite, sUSBStreamDelete, record);
  if (!created) {
    qnusb_destroy(&record->device);
    delete record;
    return aErrMemory;
  }
  if (kernel) {
    aStream_SetWaitHandle(created, record->device->fd);
  } else {
    aStream_SetWaitProc(created, sUSBStreamWait);
  }
  *stream = created;
  return aErrNone;
}
