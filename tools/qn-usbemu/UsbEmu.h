// The device side of an emulated USB bus, without any I/O: what a simulated
// Quillnode module and the i.MX RT boot ROM's HID device look like to libusb
// and hidapi (descriptors, sysfs entries), how they are described on the
// command line, and the pluggable responder behind the HID device.
//
// The bus itself (the umockdev testbed, the usbfs and hidraw handlers) is
// UsbBus.h; this part is plain data and is unit-tested on its own.
//
// Thread-safety: free functions are pure. A HidResponder is used by one
// thread at a time (the bus serialises its calls).
#ifndef QN_TOOLS_QN_USBEMU_USBEMU_H
#define QN_TOOLS_QN_USBEMU_USBEMU_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/qn-modsim/ModSim.h"
#include "tools/qn-modsim/ModSimWire.h"
#include "tools/qn-sdpsim/SdpRom.h"

namespace usbemu {

constexpr uint16_t kModuleVendorId = modsim::wire::kUsbVendorId;
constexpr uint8_t kLinkInterfaceClass = modsim::wire::kUsbInterfaceClass;
constexpr uint8_t kLinkInterfaceSubClass = modsim::wire::kUsbInterfaceSubclass;
constexpr uint8_t kLinkInterfaceProtocol = modsim::wire::kUsbInterfaceProtocol;
constexpr uint8_t kBulkInEndpoint = 0x81;
constexpr uint8_t kBulkOutEndpoint = 0x02;
constexpr uint16_t kBulkPacketSize = 64;

// String descriptor indices of an emulated module.
constexpr uint8_t kManufacturerIndex = 1;
constexpr uint8_t kProductIndex = 2;
constexpr uint8_t kSerialIndex = 3;

constexpr uint16_t kImxVendorId = 0x1FC9;
constexpr uint16_t kImxProductId = 0x0130;
constexpr size_t kImxCommandReportSize = 17;  // report id 1 and 16 command bytes
constexpr size_t kImxDataReportSize = 1025;   // report id 2 and 1024 data bytes

// One emulated module on the bus.
struct UsbModule {
  modsim::ModuleConfig config;  // the module behind the endpoints
  uint16_t productId = 0;       // defaults to the model number
  std::string serialString;     // defaults to the serial number as "%08X"
  bool denied = false;          // claiming its interface fails with EACCES
  bool kernelNode = false;      // "/dev/quillnode.%08X" exists as well
  // Bulk transfers (1-based, counted per direction over the bus's life) that
  // stall their endpoint; it stays halted until the host clears it.
  std::set<uint64_t> stallOut;
  std::set<uint64_t> stallIn;
};

// Parses a module description: the module simulator's keys (serial, model,
// version, build, busy, ...; see modsim::ModuleSpecHelp) and the bus keys
// pid=HEX, usb-serial=TEXT, denied[=1], kernel-node[=1], stall-out=N[:N...],
// stall-in=N[:N...]. A module behind a router (behind=SERIAL) takes none of
// the bus keys: it is not on the bus.
bool ParseUsbModuleSpec(const std::string& text, UsbModule* out, std::string* error);
// Help text for the bus keys.
const char* UsbModuleSpecHelp();

// The device descriptor followed by the configuration descriptor (one link
// interface with a bulk IN and a bulk OUT endpoint), as the sysfs attribute
// "descriptors" holds them.
std::vector<uint8_t> ModuleDescriptors(uint16_t productId);
// The i.MX ROM's device and configuration descriptors (one HID interface).
std::vector<uint8_t> ImxDescriptors();
// The HID report descriptor of the ROM: output reports 1 (16 bytes) and 2
// (1024 bytes), input reports 3 (4 bytes) and 4 (64 bytes).
std::vector<uint8_t> ImxReportDescriptor();
// A USB string descriptor (length, type 3, UTF-16LE) for an ASCII text; the
// language table for index 0 is LanguageTable(). Texts are cut to 126
// characters.
std::vector<uint8_t> StringDescriptor(const std::string& text);
std::vector<uint8_t> LanguageTable();

// The answer of an emulated module to a control request's setup packet:
// the data stage, or false for a stall. `wLength` limits the data.
bool ModuleControlRequest(const UsbModule& module, const uint8_t setup[8],
                          std::vector<uint8_t>* data);

// umockdev device descriptions ("P:", "N:", "E:", "A:", "H:" lines).
// A module is bus 1, device `devnum`, port `port`.
// The sysfs path (below /sys) of the USB device at a port of bus 1.
std::string UsbDevicePath(int port);
std::string ModuleSysfs(const UsbModule& module, int port, int devnum);
std::string ModuleDevNode(int devnum);  // "/dev/bus/usb/001/%03d"
// The ROM's USB device, its HID interface, its HID device and hidraw0.
std::string ImxSysfs(int port, int devnum);
constexpr const char* kImxHidrawNode = "/dev/hidraw0";
std::string KernelNodePath(uint32_t serial);  // "/dev/quillnode.%08X"

std::string Hex(const std::vector<uint8_t>& bytes);

// What answers the ROM's HID reports.
class HidResponder {
 public:
  virtual ~HidResponder() = default;
  // One output report written by the host (report id first).
  virtual void OutputReport(const uint8_t* report, size_t length) = 0;
  // Input reports due for the host (report id first), oldest first.
  virtual std::vector<std::vector<uint8_t>> TakeInputReports() = 0;
  // The host has been quiet for quietMs.
  virtual void Idle(unsigned /*quietMs*/) {}
  // One line about the responder's end state for the bus's log (may be empty).
  virtual std::string Summary() const { return std::string(); }
  // True once after the device was told to start the code at `address`
  // (the ROM leaves the bus then).
  virtual bool TakeJump(uint32_t* /*address*/) { return false; }
};

// --imx SPEC: "echo" for a trivial responder that answers every output
// report with an input report 4 carrying the same bytes after the id (for
// plumbing tests), otherwise the serial download boot ROM with the keys
// fingerprint=HEX, hab=open|closed, silent, write-fail, unsolicited-at=N,
// require-ivt.
std::unique_ptr<HidResponder> MakeImxResponder(const std::string& spec, std::string* error);
const char* ImxSpecHelp();
// The ROM's keys above (without "echo") into a simulator configuration.
bool ParseImxConfig(const std::string& spec, sdpsim::Config* out, std::string* error);
// The summary line of a ROM: "NAME: N bytes written, jumped" / "..., no jump".
std::string ImxSummary(const char* name, const sdpsim::Device& device);

// --imx-serial LINK[,SPEC]: the symlink of the ROM's pseudo-terminal, the
// ROM's keys and the line's: baud=N paces the line (10 bits per character,
// 0 for unpaced, the default).
struct ImxSerial {
  std::string link;
  sdpsim::Config config;
  unsigned baud = 0;
};
bool ParseImxSerialSpec(const std::string& text, ImxSerial* out, std::string* error);

// --imx-becomes SPEC: the module the device turns into when the loader the
// ROM received is started. A module description (ParseUsbModuleSpec) that
// always runs its loader, plus delay-ms=N (the time from the jump until the
// module is on the bus). The module must be on the bus itself (no behind=)
// and has no kernel-driver node.
bool ParseImxBecomesSpec(const std::string& text, UsbModule* module, unsigned* delayMs,
                         std::string* error);

}  // namespace usbemu

#endif  // QN_TOOLS_QN_USBEMU_USBEMU_H
