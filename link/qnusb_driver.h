// The USB device layer under the USB stream: a module reached either through
// libusb-1.0 (bulk transfers on the module's vendor interface) or through the
// module's kernel driver node "<dev>/quillnode.%08X", where <dev> is the
// directory named by the environment variable QUILLNODE_DEV_DIR, "/dev" when
// it is unset or empty.
//
// USB identity of a module: vendor 0x24FF, product id 0x0000..0x7FFF, serial
// string = the serial number as exactly eight upper-case hexadecimal digits.
// Link interface: the alternate setting with class 0xFF, subclass 0x88,
// protocol 0x10, one bulk (or interrupt) IN and one OUT endpoint.
//
// Ownership: qnusb_create_usb returns a record owned by the caller, released
// with qnusb_destroy. Thread-safety: one thread may read while another writes;
// the read buffer belongs to the reader. Nothing else may run concurrently.
#ifndef QN_LINK_QNUSB_DRIVER_H
#define QN_LINK_QNUSB_DRIVER_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "link/aErr.h"

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;

enum {
  QNUSB_MODE_KERNEL = 0,
  QNUSB_MODE_LIBUSB = 1,
};

// Device states.
enum {
  QNUSB_STATE_CREATED = 1,
  QNUSB_STATE_CLOSED = 2,  // also: open failed
  QNUSB_STATE_OPENING = 3,
  QNUSB_STATE_OPEN = 4,    // interface claimed
  QNUSB_STATE_FAILED = 5,  // an I/O error; stays until closed
};

#define QNUSB_INTERFACE_CLASS 0xFF
#define QNUSB_INTERFACE_SUBCLASS 0x88
#define QNUSB_INTERFACE_PROTOCOL 0x10
#define QNUSB_READ_BUFFER_SIZE 800
#define QNUSB_WRITE_CHUNK 50
#define QNUSB_WRITE_PASSES 100
#define QNUSB_WRITE_TIMEOUT_MS 50
#define QNUSB_READ_TIMEOUT_MS 100
#define QNUSB_KERNEL_WRITE_CALLS 1000
#define QNUSB_SERIAL_TEXT_SIZE 16
#define QNUSB_DEV_DIR_ENV "QUILLNODE_DEV_DIR"

typedef struct qnusb {
  uint32_t mode;
  char serialText[QNUSB_SERIAL_TEXT_SIZE];
  int fd;  // kernel mode: the open node, -1 when closed
  libusb_context* context;
  libusb_device_handle* handle;
  std::atomic<uint32_t> state;
  uint8_t interfaceNumber;
  uint8_t outEndpoint;
  uint8_t inEndpoint;
  uint8_t readBuffer[QNUSB_READ_BUFFER_SIZE];
  size_t buffered;
  const uint8_t* readPosition;
  // libusb mode: the bulk IN transfer that fills readBuffer. It stays
  // submitted (without a time-out) while the reader waits; whichever thread
  // handles libusb's events completes it, and its callback makes readyFd
  // readable so that a reader asleep in qnusb_wait_for_input wakes.
  libusb_transfer* inTransfer;
  std::atomic<int> inState;  // QNUSB_IN_IDLE, _SUBMITTED or _DONE
  int inStatus;              // libusb_transfer_status once done
  int inLength;              // bytes received once done
  int readyFd;               // eventfd, -1 when none
} qnusb;

enum {
  QNUSB_IN_IDLE = 0,
  QNUSB_IN_SUBMITTED = 1,
  QNUSB_IN_DONE = 2,
};

// A new record in state 1; libusb mode initialises a libusb context of its
// own. Null when memory runs out, the mode is unknown or libusb cannot start.
qnusb* qnusb_create_usb(uint32_t mode);
// Closes a device still open, ends the libusb context, frees the record and
// nulls the caller's pointer. aErrParam for a null handle or record.
aErr qnusb_destroy(qnusb** record);

// The node path of a serial number: "<dev>/quillnode.%08X". Returns false
// when it does not fit in `size` bytes.
bool qnusb_kernel_node_path(uint32_t serialNumber, char* path, size_t size);
// True when the kernel driver node of this serial number exists as a file.
bool qnusb_is_kernel_driver_installed(uint32_t serialNumber);

// Dispatch on the record's mode. aErrParam for a null record.
aErr qnusb_open_quillnode_device(qnusb* record, const char* serialText);
aErr qnusb_write_to_device(qnusb* record, const uint8_t* data, size_t length);
aErr qnusb_get_from_device(qnusb* record, uint8_t* byte);
aErr qnusb_close_quillnode_device(qnusb* record);

// libusb mode.
aErr qnusb_open_quillnode_USBlib_device(qnusb* record, const char* serialText);
aErr qnusb_write_to_USBlib_device(qnusb* record, const uint8_t* data, size_t length);
// Never waits: with the buffer empty it keeps one bulk IN transfer
// submitted and gives aErrNotReady until that transfer has brought bytes.
aErr qnusb_get_from_USBlib_device(qnusb* record, uint8_t* byte);
// For the reader after aErrNotReady: sleeps until the bulk IN transfer has
// completed (0), `wakeFd` (when >= 0) is readable (aErrCancel) or timeoutMs
// pass (aErrTimeout; ~0ul waits without a limit). libusb's own descriptors
// are part of the wait and their events are handled here. aErrMode in
// kernel mode, aErrIO when the wait fails.
aErr qnusb_wait_for_input(qnusb* record, int wakeFd, unsigned long timeoutMs);
aErr qnusb_close_quillnode_USBlib_device(qnusb* record);

// Kernel driver node mode. The node is opened non-blocking: a read with
// nothing pending gives aErrNotReady at once; a read on a node that has hung
// up (its device went away) gives aErrIO.
aErr qnusb_open_quillnode_kernel_device(qnusb* record, const char* serialText);
aErr qnusb_write_to_kernel_device(qnusb* record, const uint8_t* data, size_t length);
aErr qnusb_get_from_kernel_device(qnusb* record, uint8_t* byte);
aErr qnusb_close_quillnode_kernel_device(qnusb* record);

#endif  // QN_LINK_QNUSB_DRIVER_H
