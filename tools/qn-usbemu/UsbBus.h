// An emulated USB bus on a umockdev testbed: simulated Quillnode modules as
// usbfs devices (libusb talks to them unmodified), optional kernel-driver
// nodes "/dev/quillnode.%08X", and the i.MX RT boot ROM as a hidraw device
// (hidapi talks to it unmodified). Programs see the bus when they run with
// umockdev's preload library and the testbed's UMOCKDEV_DIR (see RunUnder).
//
// Every node the client polls is a FIFO whose readiness the bus controls:
// usbfs nodes are "doorbells" (writable only while a URB waits to be reaped,
// so libusb sleeps in poll instead of spinning), kernel and hidraw nodes
// carry the input bytes themselves so that reads block in the kernel.
//
// Thread-safety: the public methods are for the thread that owns the bus.
// The umockdev worker thread (the handlers), the bus's pump thread (time:
// heartbeats, delayed replies, HID input, the device swap after the ROM's
// jump) and the serial ROM's thread share the device state under one lock.
#ifndef QN_TOOLS_QN_USBEMU_USBBUS_H
#define QN_TOOLS_QN_USBEMU_USBBUS_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/qn-usbemu/UsbEmu.h"

namespace usbemu {

struct BusStats {
  uint64_t ioctls = 0;      // usbfs ioctls handled
  uint64_t reaps = 0;       // REAPURB(NDELAY) calls
  uint64_t emptyReaps = 0;  // ... that found nothing (each one a wasted client wake-up)
  uint64_t bulkOut = 0;     // bulk OUT transfers
  uint64_t bulkIn = 0;      // bulk IN transfers completed with data
  uint64_t discards = 0;    // IN transfers the client gave up (time-outs)
  uint64_t nodeWrites = 0;  // writes to kernel-driver nodes
  uint64_t hidReports = 0;  // HID output reports
};

struct BusImpl;

class UsbBus {
 public:
  UsbBus();
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // Before Start. False with a message for a duplicate serial number or a
  // module the simulator refuses.
  bool AddModule(const UsbModule& module, std::string* error);
  // Before Start: the i.MX ROM's HID device, answered by `responder`.
  void AddImx(std::unique_ptr<HidResponder> responder);
  // Before Start: the i.MX ROM on a pseudo-terminal that `serial.link`
  // becomes a symlink to; the bus serves it from a thread of its own.
  void AddImxSerial(const ImxSerial& serial);
  // Before Start: what the i.MX device becomes when its ROM (HID or serial)
  // starts the loader: the HID device is unplugged once the host has read
  // the jump's answer (its node then answers ENODEV) and `module` is
  // plugged in `delayMs` after the jump (never before the HID device is
  // gone). False with a message for a serial number already in use.
  bool SetImxBecomes(const UsbModule& module, unsigned delayMs, std::string* error);
  // One line per bus event ("claim", "OUT n", "IN n", ...) is appended to
  // this file; empty for none. Before Start.
  void SetTrace(const std::string& path);
  // Before Start: false leaves the usbfs nodes always writable (no doorbell).
  void SetDoorbell(bool on);

  // Creates the testbed (this sets UMOCKDEV_DIR in our environment), the
  // devices and their handlers, and starts the pump thread.
  bool Start(std::string* error);
  // Stops the pump and removes the testbed. Also done by the destructor.
  void Stop();

  // Runs argv under the testbed and waits; its exit status, 128 + signal,
  // or 127 when it cannot be started. SIGINT/SIGTERM received meanwhile are
  // passed on to it.
  int RunUnder(const std::vector<std::string>& argv);

  std::string RootDir() const;
  BusStats Stats() const;
  // Summary lines of the responders (HID ROM, serial ROM), for the end of a
  // run.
  std::vector<std::string> Summaries() const;

 private:
  std::unique_ptr<BusImpl> impl_;
};

}  // namespace usbemu

#endif  // QN_TOOLS_QN_USBEMU_USBBUS_H
