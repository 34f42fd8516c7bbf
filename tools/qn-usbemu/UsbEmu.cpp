// Descriptors, sysfs entries and command-line descriptions of the emulated
// USB devices.
#include "tools/qn-usbemu/UsbEmu.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "tools/qn-sdpsim/SdpRom.h"

namespace usbemu {

namespace {

bool ParseFlag(const std::string& value, bool* out) {
  if (value.empty() || value == "1" || value == "yes" || value == "on" || value == "true") {
    *out = true;
  } else if (value == "0" || value == "no" || value == "off" || value == "false") {
    *out = false;
  } else {
    return false;
  }
  return true;
}

bool ParseHex(const std::string& text, uint64_t max, uint64_t* out) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
  }
  if (digits.empty() || digits[0] == '-' || digits[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = strtoull(digits.c_str(), &end, 16);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

bool ParseDecimal(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> fields;
  std::string current;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!current.empty()) fields.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) fields.push_back(current);
  return fields;
}

void Put16(std::vector<uint8_t>* out, uint16_t value) {
  out->push_back(uint8_t(value & 0xFF));
  out->push_back(uint8_t(value >> 8));
}

std::vector<uint8_t> DeviceDescriptor(uint16_t vendorId, uint16_t productId, uint8_t maxPacket0,
                                      uint8_t iManufacturer, uint8_t iProduct, uint8_t iSerial) {
  std::vector<uint8_t> d = {18, 0x01};
  Put16(&d, 0x0200);  // bcdUSB
  d.insert(d.end(), {0, 0, 0, maxPacket0});
  Put16(&d, vendorId);
  Put16(&d, productId);
  Put16(&d, 0x0100);  // bcdDevice
  d.insert(d.end(), {iManufacturer, iProduct, iSerial, 1});
  return d;
}

std::string Text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Text(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  return buffer;
}

const char* kBusPath = "/devices/pci0000:00/0000:00:14.0/usb1";

// An echo responder: every output report comes back as input report 4.
class EchoResponder : public HidResponder {
 public:
  void OutputReport(const uint8_t* report, size_t length) override {
    std::vector<uint8_t> answer(65, 0);
    answer[0] = 4;
    for (size_t i = 1; i < length && i < answer.size(); i++) answer[i] = report[i];
    pending_.push_back(answer);
  }
  std::vector<std::vector<uint8_t>> TakeInputReports() override {
    std::vector<std::vector<uint8_t>> out;
    out.swap(pending_);
    return out;
  }

 private:
  std::vector<std::vector<uint8_t>> pending_;
};

// The serial download boot ROM behind HID framing.
class SdpResponder : public HidResponder {
 public:
  explicit SdpResponder(const sdpsim::Config& config) : device_(config), framer_(device_) {}
  void OutputReport(const uint8_t* report, size_t length) override {
    framer_.OutputReport(report, length);
  }
  std::vector<std::vector<uint8_t>> TakeInputReports() override {
    return framer_.TakeInputReports();
  }
  void Idle(unsigned quietMs) override { framer_.Idle(quietMs); }
  std::string Summary() const override { return ImxSummary("imx", device_); }
  bool TakeJump(uint32_t* address) override { return device_.TakeJump(address); }

 private:
  sdpsim::Device device_;
  sdpsim::HidFramer framer_;
};

}  // namespace

bool ParseUsbModuleSpec(const std::string& text, UsbModule* out, std::string* error) {
  UsbModule module;
  std::string simulatorPart;
  bool productIdSet = false;
  bool serialStringSet = false;
  for (const std::string& field : SplitFields(text)) {
    size_t eq = field.find('=');
    std::string key = field.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : field.substr(eq + 1);
    uint64_t n = 0;
    bool ok = true;
    if (key == "pid") {
      ok = ParseHex(value, 0xFFFF, &n);
      module.productId = uint16_t(n);
      productIdSet = true;
    } else if (key == "usb-serial") {
      // Any text, even empty or longer than a serial number: negative tests
      // need exactly such strings.
      ok = value.size() <= 126;
      module.serialString = value;
      serialStringSet = true;
    } else if (key == "denied") {
      ok = ParseFlag(value, &module.denied);
    } else if (key == "kernel-node") {
      ok = ParseFlag(value, &module.kernelNode);
    } else if (key == "stall-out" || key == "stall-in") {
      std::set<uint64_t>& which = key == "stall-out" ? module.stallOut : module.stallIn;
      size_t start = 0;
      ok = !value.empty();
      while (ok && start <= value.size()) {
        size_t colon = value.find(':', start);
        if (colon == std::string::npos) colon = value.size();
        ok = ParseDecimal(value.substr(start, colon - start), ~0ull, &n) && n != 0;
        which.insert(n);
        start = colon + 1;
      }
    } else if (key == "node" || key == "port") {
      *error = "module key \"" + key + "\" has no meaning on the USB bus";
      return false;
    } else {
      simulatorPart += field + ",";
      continue;
    }
    if (!ok) {
      *error = "bad value for module key \"" + key + "\": \"" + value + "\"";
      return false;
    }
  }
  if (!modsim::ParseModuleSpec(simulatorPart, &module.config, error)) return false;
  if (module.config.behind != 0 &&
      (module.kernelNode || productIdSet || serialStringSet || module.denied ||
       !module.stallIn.empty() || !module.stallOut.empty())) {
    *error = "a module behind a router is not on the USB bus: bus keys make no sense for it";
    return false;
  }
  if (!productIdSet) module.productId = module.config.model;
  if (!serialStringSet) module.serialString = Text("%08X", module.config.serial);
  *out = module;
  return true;
}

const char* UsbModuleSpecHelp() {
  return "USB bus keys:\n"
         "  pid=HEX             USB product id (default: the model number)\n"
         "  usb-serial=TEXT     serial-number string descriptor (default: serial as %08X)\n"
         "  denied[=1]          claiming the interface fails with EACCES\n"
         "  kernel-node[=1]     the kernel-driver node /dev/quillnode.%08X exists too\n"
         "  stall-out=N[:N...]  these bulk OUT transfers (1-based) stall the endpoint\n"
         "                      until the host clears the halt\n"
         "  stall-in=N[:N...]   the same for bulk IN transfers\n"
         "  busy[=1]            (simulator key) claiming the interface fails with EBUSY\n"
         "A module with behind=SERIAL is not on the bus: it answers through its router.\n"
         "The simulator keys port and node have no meaning here and are refused.\n";
}

std::vector<uint8_t> ModuleDescriptors(uint16_t productId) {
  std::vector<uint8_t> d = DeviceDescriptor(kModuleVendorId, productId, 64, kManufacturerIndex,
                                            kProductIndex, kSerialIndex);
  // Configuration 1: one interface, two bulk endpoints.
  const uint16_t total = 9 + 9 + 7 + 7;
  d.insert(d.end(), {9, 0x02});
  Put16(&d, total);
  d.insert(d.end(), {1, 1, 0, 0x80, 50});
  d.insert(d.end(), {9, 0x04, 0, 0, 2, kLinkInterfaceClass, kLinkInterfaceSubClass,
                     kLinkInterfaceProtocol, 0});
  d.insert(d.end(), {7, 0x05, kBulkInEndpoint, 0x02});
  Put16(&d, kBulkPacketSize);
  d.push_back(0);
  d.insert(d.end(), {7, 0x05, kBulkOutEndpoint, 0x02});
  Put16(&d, kBulkPacketSize);
  d.push_back(0);
  return d;
}

std::vector<uint8_t> ImxReportDescriptor() {
  return {
      0x06, 0x00, 0xFF,  // usage page (vendor defined 0xFF00)
      0x09, 0x01,        // usage 1
      0xA1, 0x01,        // collection (application)
      0x85, 0x01, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26,
      0xFF, 0x00, 0x75, 0x08, 0x95, 0x10, 0x91, 0x02,  // report 1: 16 bytes out
      0x85, 0x02, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26,
      0xFF, 0x00, 0x75, 0x08, 0x96, 0x00, 0x04, 0x91, 0x02,  // report 2: 1024 bytes out
      0x85, 0x03, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26,
      0xFF, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02,  // report 3: 4 bytes in
      0x85, 0x04, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26,
      0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02,  // report 4: 64 bytes in
      0xC0,                                            // end collection
  };
}

std::vector<uint8_t> ImxDescriptors() {
  std::vector<uint8_t> d = DeviceDescriptor(kImxVendorId, kImxProductId, 64, 1, 2, 0);
  const uint16_t reportLength = uint16_t(ImxReportDescriptor().size());
  const uint16_t total = 9 + 9 + 9 + 7 + 7;
  d.insert(d.end(), {9, 0x02});
  Put16(&d, total);
  d.insert(d.end(), {1, 1, 0, 0xC0, 50});
  d.insert(d.end(), {9, 0x04, 0, 0, 2, 0x03, 0x00, 0x00, 0});
  d.insert(d.end(), {9, 0x21});  // HID descriptor
  Put16(&d, 0x0110);
  d.insert(d.end(), {0, 1, 0x22});
  Put16(&d, reportLength);
  d.insert(d.end(), {7, 0x05, 0x81, 0x03});
  Put16(&d, 64);
  d.push_back(1);
  d.insert(d.end(), {7, 0x05, 0x01, 0x03});
  Put16(&d, 64);
  d.push_back(1);
  return d;
}

std::vector<uint8_t> StringDescriptor(const std::string& text) {
  size_t count = text.size() > 126 ? 126 : text.size();
  std::vector<uint8_t> d = {uint8_t(2 + 2 * count), 0x03};
  for (size_t i = 0; i < count; i++) {
    d.push_back(uint8_t(text[i]));
    d.push_back(0);
  }
  return d;
}

std::vector<uint8_t> LanguageTable() { return {4, 0x03, 0x09, 0x04}; }

bool ModuleControlRequest(const UsbModule& module, const uint8_t setup[8],
                          std::vector<uint8_t>* data) {
  const uint8_t requestType = setup[0];
  const uint8_t request = setup[1];
  const uint16_t value = uint16_t(setup[2] | (setup[3] << 8));
  const uint16_t length = uint16_t(setup[6] | (setup[7] << 8));
  data->clear();
  if (requestType != 0x80 || request != 0x06) return false;  // only GET_DESCRIPTOR
  const uint8_t type = uint8_t(value >> 8);
  const uint8_t index = uint8_t(value & 0xFF);
  std::vector<uint8_t> all = ModuleDescriptors(module.productId);
  if (type == 0x01) {
    data->assign(all.begin(), all.begin() + 18);
  } else if (type == 0x02 && index == 0) {
    data->assign(all.begin() + 18, all.end());
  } else if (type == 0x03) {
    if (index == 0) {
      *data = LanguageTable();
    } else if (index == kManufacturerIndex) {
      *data = StringDescriptor("Quillnode");
    } else if (index == kProductIndex) {
      *data = StringDescriptor(Text("Quillnode module model %u", module.config.model));
    } else if (index == kSerialIndex) {
      *data = StringDescriptor(module.serialString);
    } else {
      return false;
    }
  } else {
    return false;
  }
  if (data->size() > length) data->resize(length);
  return true;
}

std::string ModuleDevNode(int devnum) { return Text("/dev/bus/usb/001/%03d", devnum); }

std::string KernelNodePath(uint32_t serial) { return Text("/dev/quillnode.%08X", serial); }

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string ModuleSysfs(const UsbModule& module, int port, int devnum) {
  std::string s;
  s += "P: " + UsbDevicePath(port) + "\n";
  s += Text("N: bus/usb/001/%03d\n", devnum);
  s += Text("E: DEVNAME=%s\n", ModuleDevNode(devnum).c_str());
  s += "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nE: DRIVER=usb\n";
  s += Text("E: PRODUCT=%x/%x/100\n", kModuleVendorId, module.productId);
  s += Text("E: BUSNUM=001\nE: DEVNUM=%03d\nE: MAJOR=189\nE: MINOR=%d\n", devnum, devnum - 1);
  s += Text("A: busnum=1\\n\nA: devnum=%d\\n\nA: speed=480\\n\n", devnum);
  s += "A: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\nA: bNumInterfaces= 1\\n\n";
  s += Text("A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: bcdDevice=0100\\n\n", kModuleVendorId,
            module.productId);
  s += Text("A: dev=189:%d\\n\n", devnum - 1);
  s += "A: manufacturer=Quillnode\\n\n";
  // The sysfs copy of the serial string; libusb reads the descriptor itself.
  std::string printable;
  for (char c : module.serialString) printable += (c >= 0x21 && c < 0x7F && c != '\\') ? c : '_';
  s += Text("A: serial=%s\\n\n", printable.c_str());
  s += "H: descriptors=" + Hex(ModuleDescriptors(module.productId)) + "\n";
  return s;
}

std::string UsbDevicePath(int port) { return Text("%s/1-%d", kBusPath, port); }

std::string ImxSysfs(int port, int devnum) {
  std::string usb = UsbDevicePath(port);
  std::string interface = usb + Text("/1-%d:1.0", port);
  std::string hid = interface + "/0003:1FC9:0130.0001";
  std::string s;
  s += "P: " + usb + "\n";
  s += Text("N: bus/usb/001/%03d\n", devnum);
  s += Text("E: DEVNAME=%s\n", ModuleDevNode(devnum).c_str());
  s += "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nE: DRIVER=usb\nE: PRODUCT=1fc9/130/1\n";
  s += Text("E: BUSNUM=001\nE: DEVNUM=%03d\nE: MAJOR=189\nE: MINOR=%d\n", devnum, devnum - 1);
  s += Text("A: busnum=1\\n\nA: devnum=%d\\n\nA: speed=12\\n\n", devnum);
  s += "A: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\n";
  s += "A: idVendor=1fc9\\n\nA: idProduct=0130\\n\nA: bcdDevice=0001\\n\n";
  s += Text("A: dev=189:%d\\n\n", devnum - 1);
  s += "A: manufacturer=NXP\\n\nA: product=i.MX RT serial downloader\\n\n";
  s += "H: descriptors=" + Hex(ImxDescriptors()) + "\n\n";
  s += "P: " + interface + "\n";
  s += "E: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\nE: DRIVER=usbhid\nE: INTERFACE=3/0/0\n";
  s += "A: bInterfaceNumber=00\\n\nA: bInterfaceClass=03\\n\nA: bAlternateSetting= 0\\n\n\n";
  s += "P: " + hid + "\n";
  s += "E: SUBSYSTEM=hid\nE: DRIVER=hid-generic\nE: HID_ID=0003:00001FC9:00000130\n";
  s += "E: HID_NAME=NXP i.MX RT serial downloader\nE: HID_UNIQ=\n";
  s += Text("E: HID_PHYS=usb-0000:00:14.0-%d/input0\n", port);
  s += "H: report_descriptor=" + Hex(ImxReportDescriptor()) + "\n\n";
  s += "P: " + hid + "/hidraw/hidraw0\n";
  s += "N: hidraw0\n";
  s += "E: DEVNAME=/dev/hidraw0\nE: SUBSYSTEM=hidraw\nE: MAJOR=241\nE: MINOR=0\n";
  s += "A: dev=241:0\\n\n";
  s += "L: device=../../../0003:1FC9:0130.0001\n";
  return s;
}

bool ParseImxConfig(const std::string& spec, sdpsim::Config* out, std::string* error) {
  sdpsim::Config config;
  for (const std::string& field : SplitFields(spec)) {
    size_t eq = field.find('=');
    std::string key = field.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : field.substr(eq + 1);
    uint64_t n = 0;
    bool ok = true;
    if (key == "fingerprint") {
      ok = ParseHex(value, ~0ull, &n);
      config.fingerprint = n;
    } else if (key == "hab") {
      ok = value == "open" || value == "closed";
      config.hab = value == "closed" ? sdpsim::kHabClosed : sdpsim::kHabOpen;
    } else if (key == "silent") {
      ok = ParseFlag(value, &config.silent);
    } else if (key == "write-fail") {
      ok = ParseFlag(value, &config.writeFail);
    } else if (key == "keep-partial") {
      ok = ParseFlag(value, &config.keepPartial);
    } else if (key == "require-ivt") {
      ok = ParseFlag(value, &config.requireIvt);
    } else if (key == "unsolicited-at") {
      ok = ParseDecimal(value, ~0ull, &n);
      config.unsolicitedAt = n;
    } else {
      *error = "unknown i.MX key \"" + key + "\"";
      return false;
    }
    if (!ok) {
      *error = "bad value for i.MX key \"" + key + "\": \"" + value + "\"";
      return false;
    }
  }
  *out = config;
  return true;
}

std::string ImxSummary(const char* name, const sdpsim::Device& device) {
  size_t bytes = 0;
  for (const auto& range : device.written()) bytes += range.second - range.first;
  return Text("%s: %zu bytes written, %s", name, bytes, device.jumped() ? "jumped" : "no jump");
}

std::unique_ptr<HidResponder> MakeImxResponder(const std::string& spec, std::string* error) {
  if (spec == "echo") return std::unique_ptr<HidResponder>(new EchoResponder());
  sdpsim::Config config;
  if (!ParseImxConfig(spec, &config, error)) return nullptr;
  return std::unique_ptr<HidResponder>(new SdpResponder(config));
}

bool ParseImxSerialSpec(const std::string& text, ImxSerial* out, std::string* error) {
  size_t comma = text.find(',');
  ImxSerial serial;
  serial.link = text.substr(0, comma);
  if (serial.link.empty()) {
    *error = "--imx-serial needs the path of the terminal's link";
    return false;
  }
  std::string rom;
  if (comma != std::string::npos) {
    for (const std::string& field : SplitFields(text.substr(comma + 1))) {
      if (field.compare(0, 5, "baud=") != 0) {
        rom += field + ",";
        continue;
      }
      uint64_t baud = 0;
      if (!ParseDecimal(field.substr(5), 4000000, &baud)) {
        *error = "bad value for i.MX key \"baud\": \"" + field.substr(5) + "\"";
        return false;
      }
      serial.baud = unsigned(baud);
    }
  }
  if (!ParseImxConfig(rom, &serial.config, error)) return false;
  *out = serial;
  return true;
}

bool ParseImxBecomesSpec(const std::string& text, UsbModule* module, unsigned* delayMs,
                         std::string* error) {
  std::string rest;
  uint64_t delay = 0;
  for (const std::string& field : SplitFields(text)) {
    if (field.compare(0, 9, "delay-ms=") != 0) {
      rest += field + ",";
      continue;
    }
    // Longer than the host's search for the module would be pointless.
    if (!ParseDecimal(field.substr(9), 60000, &delay)) {
      *error = "bad value for module key \"delay-ms\": \"" + field.substr(9) + "\"";
      return false;
    }
  }
  UsbModule parsed;
  if (!ParseUsbModuleSpec(rest, &parsed, error)) return false;
  if (parsed.config.behind != 0) {
    *error = "the module the i.MX device becomes is on the bus itself: behind= makes no sense";
    return false;
  }
  if (parsed.kernelNode) {
    *error = "the module the i.MX device becomes has no kernel-driver node";
    return false;
  }
  parsed.config.loaderRunning = true;
  *module = parsed;
  *delayMs = unsigned(delay);
  return true;
}

const char* ImxSpecHelp() {
  return "i.MX keys (--imx SPEC; an empty SPEC is the ROM with its defaults):\n"
         "  echo                a trivial responder: each output report comes back as\n"
         "                      input report 4 with the same bytes (plumbing tests)\n"
         "  fingerprint=HEX     64-bit fingerprint (fuse words CFG1:CFG0)\n"
         "  hab=open|closed     HAB state sent with every answer\n"
         "  silent[=1]          never answer\n"
         "  write-fail[=1]      end WRITE_FILE without the completion word\n"
         "  unsolicited-at=N    answer in the middle of a WRITE_FILE after N data bytes\n"
         "  require-ivt[=1]     refuse to jump where there is no image vector table\n"
         "  keep-partial[=1]    (serial) keep a partial command frame with no time-out\n"
         "--imx-serial LINK[,SPEC]: the same ROM on a pseudo-terminal (symlink LINK);\n"
         "  baud=N              pace the line at N baud (default 0: unpaced)\n"
         "--imx-becomes SPEC: when the ROM (HID or serial) starts the loader it was given,\n"
         "  the HID device leaves the bus and a module with SPEC (module keys above, always\n"
         "  running its loader) is plugged in;\n"
         "  delay-ms=N          the module appears N ms after the jump (default 0)\n";
}

}  // namespace usbemu
