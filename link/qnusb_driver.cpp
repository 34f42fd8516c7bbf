// USB device layer: libusb-1.0 bulk transfers or the kernel driver node.
#include "link/qnusb_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <libusb.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <new>
#include <vector>

#include "link/aDiscovery.h"
#include "link/aFile.h"

namespace {

const char* sDevDirectory() {
  const char* dir = getenv(QNUSB_DEV_DIR_ENV);
  return (dir && *dir) ? dir : "/dev";
}

bool sSerialTextFits(const char* serialText) {
  return serialText && strlen(serialText) < QNUSB_SERIAL_TEXT_SIZE;
}

void sCopySerialText(qnusb* record, const char* serialText) {
  snprintf(record->serialText, sizeof(record->serialText), "%s", serialText);
}

// Opens the module among `list` whose serial string is `serialText`; null
// when there is none.
libusb_device_handle* sOpenBySerial(libusb_device** list, ssize_t count, const char* serialText) {
  for (ssize_t i = 0; i < count; i++) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(list[i], &descriptor) != 0) continue;
    if (!is_quillnode_device(descriptor.idVendor, descriptor.idProduct)) continue;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(list[i], &handle) != 0 || !handle) continue;
    unsigned char text[50];
    memset(text, 0, sizeof(text));
    int n = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                               sizeof(text) - 1);
    if (n > 0 && strcmp((const char*)text, serialText) == 0) return handle;
    libusb_close(handle);
  }
  return nullptr;
}

// Finds the link interface and its endpoints in configuration 0.
aErr sFindEndpoints(qnusb* record) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_config_descriptor(libusb_get_device(record->handle), 0, &config) != 0 || !config) {
    return aErrConfiguration;
  }
  bool haveIn = false;
  bool haveOut = false;
  for (int i = 0; i < config->bNumInterfaces; i++) {
    const libusb_interface* interface = &config->interface[i];
    for (int a = 0; a < interface->num_altsetting; a++) {
      const libusb_interface_descriptor* alt = &interface->altsetting[a];
      if (alt->bInterfaceClass != QNUSB_INTERFACE_CLASS ||
          alt->bInterfaceSubClass != QNUSB_INTERFACE_SUBCLASS ||
          alt->bInterfaceProtocol != QNUSB_INTERFACE_PROTOCOL) {
        continue;
      }
      record->interfaceNumber = alt->bInterfaceNumber;
      for (int e = 0; e < alt->bNumEndpoints; e++) {
        const libusb_endpoint_descriptor* endpoint = &alt->endpoint[e];
        if ((endpoint->bmAttributes & 0x02) == 0) continue;  // bulk or interrupt only
        if (endpoint->bEndpointAddress & 0x80) {
          record->inEndpoint = endpoint->bEndpointAddress;
          haveIn = true;
        } else {
          record->outEndpoint = endpoint->bEndpointAddress;
          haveOut = true;
        }
      }
    }
  }
  libusb_free_config_descriptor(config);
  return (haveIn && haveOut) ? aErrNone : aErrConfiguration;
}

aErr sClaimError(int result) {
  switch (result) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
      return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
      return aErrPermission;
    default:
      return aErrUnexpected;
  }
}

void sCloseHandle(qnusb* record) {
  if (record->handle) libusb_close(record->handle);
  record->handle = nullptr;
  record->state = QNUSB_STATE_CLOSED;
}

aErr sStateError(uint32_t state) {
  switch (state) {
    case QNUSB_STATE_OPEN:
      return aErrNone;
    case QNUSB_STATE_CLOSED:
      return aErrConnection;
    case QNUSB_STATE_CREATED:
    case QNUSB_STATE_OPENING:
      return aErrNotReady;
    default:
      return aErrIO;
  }
}

// Sends one chunk of at most 50 bytes; true when it went out. Clears a stall
// so that the next pass can send the chunk again.
bool sWriteChunk(qnusb* record, const uint8_t* data, size_t length, aErr* remembered) {
  unsigned char chunk[QNUSB_WRITE_CHUNK];
  memset(chunk, 0, sizeof(chunk));
  memcpy(chunk, data, length);
  int transferred = 0;
  int result = libusb_bulk_transfer(record->handle, record->outEndpoint, chunk, (int)length,
                                    &transferred, QNUSB_WRITE_TIMEOUT_MS);
  if (result == 0) return true;
  if (result == LIBUSB_ERROR_PIPE) {
    if (libusb_clear_halt(record->handle, record->outEndpoint) != 0) {
      record->state = QNUSB_STATE_FAILED;
      *remembered = aErrIO;
    }
    return false;
  }
  if (transferred < 0 || (size_t)transferred > length) transferred = 0;
  int tail = 0;
  result = libusb_bulk_transfer(record->handle, record->outEndpoint, chunk + transferred,
                                (int)length - transferred, &tail, QNUSB_WRITE_TIMEOUT_MS);
  if (result == 0) return true;
  record->state = QNUSB_STATE_FAILED;
  *remembered = aErrIO;
  return false;
}

// --- Bulk IN transfer of libusb mode ---------------------------------------

void LIBUSB_CALL sInTransferDone(libusb_transfer* transfer) {
  qnusb* record = (qnusb*)transfer->user_data;
  record->inStatus = transfer->status;
  record->inLength = transfer->actual_length;
  record->inState.store(QNUSB_IN_DONE, std::memory_order_release);
  if (record->readyFd >= 0) {
    uint64_t one = 1;
    while (write(record->readyFd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
  }
}

void sDrainReady(qnusb* record) {
  uint64_t count;
  if (record->readyFd >= 0) {
    while (read(record->readyFd, &count, sizeof(count)) < 0 && errno == EINTR) {
    }
  }
}

// Submits the bulk IN transfer into the read buffer, without a time-out:
// it completes when the module sends, and close cancels it.
aErr sSubmitIn(qnusb* record) {
  if (!record->inTransfer) record->inTransfer = libusb_alloc_transfer(0);
  if (!record->inTransfer) return aErrMemory;
  libusb_fill_bulk_transfer(record->inTransfer, record->handle, record->inEndpoint,
                            record->readBuffer, QNUSB_READ_BUFFER_SIZE, sInTransferDone, record, 0);
  record->inState = QNUSB_IN_SUBMITTED;
  if (libusb_submit_transfer(record->inTransfer) != 0) {
    record->inState = QNUSB_IN_IDLE;
    return aErrIO;
  }
  return aErrNone;
}

// Handles whatever libusb events are pending, without waiting.
void sHandlePendingEvents(qnusb* record) {
  timeval zero = {0, 0};
  libusb_handle_events_timeout_completed(record->context, &zero, nullptr);
}

// Takes the result of the completed bulk IN transfer into the read buffer.
aErr sTakeIn(qnusb* record) {
  record->inState = QNUSB_IN_IDLE;
  sDrainReady(record);
  switch (record->inStatus) {
    case LIBUSB_TRANSFER_COMPLETED:
    case LIBUSB_TRANSFER_TIMED_OUT:
      break;
    case LIBUSB_TRANSFER_STALL:
      libusb_clear_halt(record->handle, record->inEndpoint);
      return aErrNotReady;
    case LIBUSB_TRANSFER_CANCELLED:
      return aErrNotReady;
    default:
      record->state = QNUSB_STATE_FAILED;
      return aErrIO;
  }
  int length = record->inLength;
  if (length <= 0) return aErrNotReady;
  if (length > QNUSB_READ_BUFFER_SIZE) length = QNUSB_READ_BUFFER_SIZE;
  record->buffered = (size_t)length;
  record->readPosition = record->readBuffer;
  return aErrNone;
}

// Cancels a bulk IN transfer still out and frees it. A transfer that does
// not come back within a second is left to libusb (closing the handle ends
// it) rather than freed under it.
void sCancelIn(qnusb* record) {
  if (!record->inTransfer) return;
  if (record->inState.load() == QNUSB_IN_SUBMITTED) {
    libusb_cancel_transfer(record->inTransfer);
    for (int i = 0; i < 100 && record->inState.load() == QNUSB_IN_SUBMITTED; i++) {
      timeval slice = {0, 10000};
      libusb_handle_events_timeout_completed(record->context, &slice, nullptr);
    }
  }
  if (record->inState.load() != QNUSB_IN_SUBMITTED) libusb_free_transfer(record->inTransfer);
  record->inTransfer = nullptr;
  record->inState = QNUSB_IN_IDLE;
  sDrainReady(record);
}

// A read of 0 bytes normally means nothing is pending; on a node whose
// device went away it would mean that for ever, so a hang-up is an error.
bool sNodeHungUp(int fd) {
  pollfd check = {fd, POLLIN, 0};
  return poll(&check, 1, 0) > 0 && (check.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace

qnusb* qnusb_create_usb(uint32_t mode) {
  if (mode != QNUSB_MODE_KERNEL && mode != QNUSB_MODE_LIBUSB) return nullptr;
  qnusb* record = new (std::nothrow) qnusb();
  if (!record) return nullptr;
  record->mode = mode;
  record->fd = -1;
  record->context = nullptr;
  record->handle = nullptr;
  record->state = QNUSB_STATE_CREATED;
  record->buffered = 0;
  record->readPosition = record->readBuffer;
  record->inTransfer = nullptr;
  record->inState = QNUSB_IN_IDLE;
  record->inStatus = 0;
  record->inLength = 0;
  record->readyFd = -1;
  if (mode == QNUSB_MODE_LIBUSB) {
    record->readyFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (record->readyFd < 0 || libusb_init(&record->context) != 0) {
      if (record->readyFd >= 0) close(record->readyFd);
      delete record;
      return nullptr;
    }
  }
  return record;
}

aErr qnusb_destroy(qnusb** record) {
  if (!record || !*record) return aErrParam;
  qnusb* device = *record;
  if (device->mode == QNUSB_MODE_LIBUSB) {
    if (device->handle) qnusb_close_quillnode_USBlib_device(device);
    if (device->context) libusb_exit(device->context);
    if (device->readyFd >= 0) close(device->readyFd);
  } else if (device->fd >= 0) {
    qnusb_close_quillnode_kernel_device(device);
  }
  delete device;
  *record = nullptr;
  return aErrNone;
}

bool qnusb_kernel_node_path(uint32_t serialNumber, char* path, size_t size) {
  if (!path || size == 0) return false;
  int n = snprintf(path, size, "%s/quillnode.%08X", sDevDirectory(), serialNumber);
  return n > 0 && (size_t)n < size;
}

bool qnusb_is_kernel_driver_installed(uint32_t serialNumber) {
  char path[aFILE_MAX_PATH + 1];
  return qnusb_kernel_node_path(serialNumber, path, sizeof(path)) && aFile_Exists(path);
}

aErr qnusb_open_quillnode_device(qnusb* record, const char* serialText) {
  if (!record) return aErrParam;
  return record->mode == QNUSB_MODE_LIBUSB ? qnusb_open_quillnode_USBlib_device(record, serialText)
                                           : qnusb_open_quillnode_kernel_device(record, serialText);
}

aErr qnusb_write_to_device(qnusb* record, const uint8_t* data, size_t length) {
  if (!record) return aErrParam;
  return record->mode == QNUSB_MODE_LIBUSB ? qnusb_write_to_USBlib_device(record, data, length)
                                           : qnusb_write_to_kernel_device(record, data, length);
}

aErr qnusb_get_from_device(qnusb* record, uint8_t* byte) {
  if (!record) return aErrParam;
  return record->mode == QNUSB_MODE_LIBUSB ? qnusb_get_from_USBlib_device(record, byte)
                                           : qnusb_get_from_kernel_device(record, byte);
}

aErr qnusb_close_quillnode_device(qnusb* record) {
  if (!record) return aErrParam;
  return record->mode == QNUSB_MODE_LIBUSB ? qnusb_close_quillnode_USBlib_device(record)
                                           : qnusb_close_quillnode_kernel_device(record);
}

aErr qnusb_open_quillnode_USBlib_device(qnusb* record, const char* serialText) {
  if (!record || record->mode != QNUSB_MODE_LIBUSB) return aErrMode;
  if (record->state == 0 || !record->context) return aErrResource;
  if (!sSerialTextFits(serialText)) return aErrParam;
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(record->context, &list);
  libusb_device_handle* handle = sOpenBySerial(list, count, serialText);
  if (list) libusb_free_device_list(list, 1);
  if (!handle) return aErrNotFound;
  sCopySerialText(record, serialText);
  record->handle = handle;
  record->state = QNUSB_STATE_OPENING;
  aErr result = sFindEndpoints(record);
  if (result == aErrNone) {
    int claimed = libusb_claim_interface(record->handle, record->interfaceNumber);
    if (claimed != 0) result = sClaimError(claimed);
  }
  if (result != aErrNone) {
    sCloseHandle(record);
    return result;
  }
  record->buffered = 0;
  record->readPosition = record->readBuffer;
  record->state = QNUSB_STATE_OPEN;
  return aErrNone;
}

aErr qnusb_write_to_USBlib_device(qnusb* record, const uint8_t* data, size_t length) {
  if (!record || record->mode != QNUSB_MODE_LIBUSB) return aErrMode;
  aErr stateError = sStateError(record->state);
  if (stateError != aErrNone) return stateError;
  if (!data && length) return aErrParam;
  aErr remembered = aErrNone;
  size_t sent = 0;
  for (int pass = 0; pass < QNUSB_WRITE_PASSES && sent < length; pass++) {
    size_t chunk = length - sent;
    if (chunk > QNUSB_WRITE_CHUNK) chunk = QNUSB_WRITE_CHUNK;
    if (sWriteChunk(record, data + sent, chunk, &remembered)) sent += chunk;
  }
  if (sent < length) return aErrWrite;
  return remembered;
}

aErr qnusb_get_from_USBlib_device(qnusb* record, uint8_t* byte) {
  if (!record || record->mode != QNUSB_MODE_LIBUSB) return aErrMode;
  if (!byte) return aErrParam;
  if (record->buffered == 0) {
    aErr stateError = sStateError(record->state);
    if (stateError != aErrNone) return stateError;
    if (record->inState.load() == QNUSB_IN_IDLE && sSubmitIn(record) != aErrNone) {
      record->state = QNUSB_STATE_FAILED;
      return aErrIO;
    }
    if (record->inState.load() == QNUSB_IN_SUBMITTED) sHandlePendingEvents(record);
    if (record->inState.load(std::memory_order_acquire) != QNUSB_IN_DONE) return aErrNotReady;
    aErr taken = sTakeIn(record);
    if (taken != aErrNone) return taken;
  }
  *byte = *record->readPosition++;
  record->buffered--;
  return aErrNone;
}

aErr qnusb_wait_for_input(qnusb* record, int wakeFd, unsigned long timeoutMs) {
  if (!record || record->mode != QNUSB_MODE_LIBUSB || !record->context) return aErrMode;
  typedef std::chrono::steady_clock Clock;
  const bool forever = timeoutMs == ~0ul;
  const Clock::time_point deadline =
      forever ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<pollfd> fds;
  for (;;) {
    // Nothing submitted (the next get submits) or a transfer to take.
    if (record->buffered > 0 || record->inState.load() != QNUSB_IN_SUBMITTED) return aErrNone;
    fds.clear();
    fds.push_back({record->readyFd, POLLIN, 0});
    fds.push_back({wakeFd, POLLIN, 0});  // a negative descriptor is ignored
    const libusb_pollfd** usbFds = libusb_get_pollfds(record->context);
    for (size_t i = 0; usbFds && usbFds[i]; i++) {
      fds.push_back({usbFds[i]->fd, usbFds[i]->events, 0});
    }
    libusb_free_pollfds(usbFds);
    int timeout = -1;
    if (!forever) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return aErrTimeout;
      timeout = left > 0x7FFFFFFF ? 0x7FFFFFFF : (int)left;
    }
    timeval next;
    if (!libusb_pollfds_handle_timeouts(record->context) &&
        libusb_get_next_timeout(record->context, &next) == 1) {
      int nextMs = (int)(next.tv_sec * 1000 + (next.tv_usec + 999) / 1000);
      if (timeout < 0 || nextMs < timeout) timeout = nextMs;
    }
    int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) return aErrIO;
    if (ready > 0 && fds[1].revents != 0) return aErrCancel;
    if (ready > 0 && fds[0].revents != 0) sDrainReady(record);
    // libusb's descriptors (or its time-outs): let it complete what it can.
    sHandlePendingEvents(record);
  }
}

aErr qnusb_close_quillnode_USBlib_device(qnusb* record) {
  if (!record || record->mode != QNUSB_MODE_LIBUSB || !record->handle) return aErrMode;
  sCancelIn(record);
  int released = libusb_release_interface(record->handle, record->interfaceNumber);
  if (released != 0) printf("error release %d\n", released);
  sCloseHandle(record);
  record->interfaceNumber = 0;
  record->outEndpoint = 0;
  record->inEndpoint = 0;
  return aErrNone;
}

aErr qnusb_open_quillnode_kernel_device(qnusb* record, const char* serialText) {
  if (!record || record->mode != QNUSB_MODE_KERNEL) return aErrMode;
  if (!sSerialTextFits(serialText)) return aErrParam;
  sCopySerialText(record, serialText);
  char path[aFILE_MAX_PATH + 1];
  int n = snprintf(path, sizeof(path), "%s/quillnode.%s", sDevDirectory(), serialText);
  if (n <= 0 || (size_t)n >= sizeof(path)) return aErrIO;
  // Non-blocking, so that a read with nothing pending can never hold the
  // link's input thread (and with it the link's destruction).
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
  record->fd = fd;
  record->state = QNUSB_STATE_OPEN;
  return aErrNone;
}

aErr qnusb_write_to_kernel_device(qnusb* record, const uint8_t* data, size_t length) {
  if (!record || record->mode != QNUSB_MODE_KERNEL || record->fd < 0) return aErrMode;
  if (!data && length) return aErrParam;
  size_t written = 0;
  for (int call = 0; call < QNUSB_KERNEL_WRITE_CALLS && written < length; call++) {
    ssize_t n = write(record->fd, data + written, length - written);
    if (n >= 0) {
      written += (size_t)n;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd wait = {record->fd, POLLOUT, 0};
      poll(&wait, 1, QNUSB_WRITE_TIMEOUT_MS);
    } else if (errno != EINTR) {
      return aErrIO;
    }
  }
  return written == length ? aErrNone : aErrIO;
}

aErr qnusb_get_from_kernel_device(qnusb* record, uint8_t* byte) {
  if (!record || record->mode != QNUSB_MODE_KERNEL || record->fd < 0) return aErrMode;
  if (!byte) return aErrParam;
  ssize_t n = read(record->fd, byte, 1);
  if (n == 1) return aErrNone;
  if (n == 0) return sNodeHungUp(record->fd) ? aErrIO : aErrNotReady;
  if (errno == EFAULT || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    return aErrNotReady;
  }
  return aErrIO;
}

aErr qnusb_close_quillnode_kernel_device(qnusb* record) {
  if (!record || record->mode != QNUSB_MODE_KERNEL) return aErrMode;
  if (record->fd < 0) return aErrNone;
  if (close(record->fd) != 0) return aErrCancel;
  record->fd = -1;
  record->state = QNUSB_STATE_CLOSED;
  return aErrNone;
}
