// qn-usbemu: runs a program on an emulated USB bus that carries simulated
// Quillnode modules (and, when asked, the i.MX RT boot ROM's HID device).
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tools/qn-usbemu/UsbBus.h"
#include "tools/qn-usbemu/UsbEmu.h"

namespace {

const char* kUsage =
    "Usage: qn-usbemu [options] -- PROGRAM [ARGS...]\n"
    "Runs PROGRAM on an emulated USB bus (a umockdev testbed) that carries simulated\n"
    "Quillnode modules; libusb and hidapi in PROGRAM see them as real devices.\n"
    "Without PROGRAM the bus stays up until SIGINT/SIGTERM (use umockdev-wrapper with\n"
    "the printed UMOCKDEV_DIR to run programs on it).\n"
    "\n"
    "Options:\n"
    "  --module SPEC        add a module (keys below); repeatable\n"
    "  --kernel-node SERIAL the module SERIAL also has its kernel-driver node\n"
    "                       /dev/quillnode.SERIAL (used instead of libusb)\n"
    "  --imx [SPEC]         add the i.MX RT boot ROM's HID device 1FC9:0130 (hidraw0)\n"
    "  --imx-serial LINK[,SPEC]\n"
    "                       serve the i.MX RT boot ROM on a pseudo-terminal; LINK\n"
    "                       becomes a symlink to it\n"
    "  --imx-becomes SPEC   when the ROM starts the loader it received, its HID device\n"
    "                       leaves the bus and this module (running its loader) is\n"
    "                       plugged in; delay-ms=N delays it after the jump\n"
    "  --trace FILE         append one line per bus event to FILE\n"
    "  --stats              print the bus counters on standard error at the end\n"
    "  --no-doorbell        leave the usbfs nodes always writable, as a plain file\n"
    "                       node would be (libusb then spins while it waits; for the\n"
    "                       idle benchmark's comparison)\n"
    "  --help               show this text\n"
    "\n"
    "Exit status: PROGRAM's (128 + signal when it was killed), 2 for bad options,\n"
    "3 when the bus cannot be set up.\n"
    "\n";

volatile sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

bool ParseHexSerial(const std::string& text, uint32_t* out) {
  if (text.empty() || text.size() > 8) return false;
  char* end = nullptr;
  unsigned long value = strtoul(text.c_str(), &end, 16);
  if (*end != '\0' || value == 0) return false;
  *out = uint32_t(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<usbemu::UsbModule> modules;
  std::vector<uint32_t> kernelNodes;
  std::string imxSpec;
  bool imx = false;
  bool imxSerial = false;
  usbemu::ImxSerial imxSerialSpec;
  bool becomes = false;
  usbemu::UsbModule becomesModule;
  unsigned becomesDelayMs = 0;
  bool stats = false;
  bool noDoorbell = false;
  std::string trace;
  std::vector<std::string> command;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        fprintf(stderr, "qn-usbemu: option %s needs a value\n", arg.c_str());
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--") {
      for (int j = i + 1; j < argc; j++) command.push_back(argv[j]);
      break;
    } else if (arg == "--help" || arg == "-h") {
      printf("%s%s%s%s", kUsage, modsim::ModuleSpecHelp(), usbemu::UsbModuleSpecHelp(),
             usbemu::ImxSpecHelp());
      return 0;
    } else if (arg == "--module") {
      if (!value(&v)) return 2;
      usbemu::UsbModule module;
      std::string error;
      if (!usbemu::ParseUsbModuleSpec(v, &module, &error)) {
        fprintf(stderr, "qn-usbemu: %s\n", error.c_str());
        return 2;
      }
      modules.push_back(module);
    } else if (arg == "--kernel-node") {
      uint32_t serial = 0;
      if (!value(&v)) return 2;
      if (!ParseHexSerial(v, &serial)) {
        fprintf(stderr, "qn-usbemu: bad serial number for --kernel-node: \"%s\"\n", v.c_str());
        return 2;
      }
      kernelNodes.push_back(serial);
    } else if (arg == "--imx") {
      imx = true;
      if (i + 1 < argc && strncmp(argv[i + 1], "--", 2) != 0) imxSpec = argv[++i];
    } else if (arg == "--imx-serial") {
      std::string error;
      if (!value(&v)) return 2;
      if (imxSerial) {
        fprintf(stderr, "qn-usbemu: --imx-serial may be given once\n");
        return 2;
      }
      if (!usbemu::ParseImxSerialSpec(v, &imxSerialSpec, &error)) {
        fprintf(stderr, "qn-usbemu: %s\n", error.c_str());
        return 2;
      }
      imxSerial = true;
    } else if (arg == "--imx-becomes") {
      std::string error;
      if (!value(&v)) return 2;
      if (becomes) {
        fprintf(stderr, "qn-usbemu: --imx-becomes may be given once\n");
        return 2;
      }
      if (!usbemu::ParseImxBecomesSpec(v, &becomesModule, &becomesDelayMs, &error)) {
        fprintf(stderr, "qn-usbemu: %s\n", error.c_str());
        return 2;
      }
      becomes = true;
    } else if (arg == "--trace") {
      if (!value(&trace)) return 2;
    } else if (arg == "--no-doorbell") {
      noDoorbell = true;
    } else if (arg == "--stats") {
      stats = true;
    } else {
      fprintf(stderr, "qn-usbemu: unknown option %s (see --help)\n", arg.c_str());
      return 2;
    }
  }
  for (uint32_t serial : kernelNodes) {
    bool found = false;
    for (auto& module : modules) {
      if (module.config.serial == serial && module.config.behind == 0) {
        module.kernelNode = true;
        found = true;
      }
    }
    if (!found) {
      fprintf(stderr, "qn-usbemu: --kernel-node %08X names no module on the bus\n", serial);
      return 2;
    }
  }

  if (becomes && !imx && !imxSerial) {
    fprintf(stderr, "qn-usbemu: --imx-becomes needs --imx or --imx-serial\n");
    return 2;
  }

  usbemu::UsbBus bus;
  std::string error;
  if (becomes && !bus.SetImxBecomes(becomesModule, becomesDelayMs, &error)) {
    fprintf(stderr, "qn-usbemu: %s\n", error.c_str());
    return 2;
  }
  for (const auto& module : modules) {
    if (!bus.AddModule(module, &error)) {
      fprintf(stderr, "qn-usbemu: %s\n", error.c_str());
      return 2;
    }
  }
  if (imx) {
    std::unique_ptr<usbemu::HidResponder> responder = usbemu::MakeImxResponder(imxSpec, &error);
    if (!responder) {
      fprintf(stderr, "qn-usbemu: %s\n", error.c_str());
      return 2;
    }
    bus.AddImx(std::move(responder));
  }
  if (imxSerial) bus.AddImxSerial(imxSerialSpec);
  bus.SetTrace(trace);
  bus.SetDoorbell(!noDoorbell);
  if (!bus.Start(&error)) {
    fprintf(stderr, "qn-usbemu: %s\n", error.c_str());
    return 3;
  }

  int status = 0;
  if (command.empty()) {
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    printf("UMOCKDEV_DIR=%s\nqn-usbemu: ready\n", bus.RootDir().c_str());
    fflush(stdout);
    while (!gStop) pause();
  } else {
    status = bus.RunUnder(command);
  }
  usbemu::BusStats s = bus.Stats();
  std::vector<std::string> summaries = bus.Summaries();
  bus.Stop();
  if (stats) {
    fprintf(stderr,
            "qn-usbemu: stats ioctls=%llu reaps=%llu empty-reaps=%llu bulk-out=%llu bulk-in=%llu "
            "discards=%llu node-writes=%llu hid-reports=%llu\n",
            (unsigned long long)s.ioctls, (unsigned long long)s.reaps,
            (unsigned long long)s.emptyReaps, (unsigned long long)s.bulkOut,
            (unsigned long long)s.bulkIn, (unsigned long long)s.discards,
            (unsigned long long)s.nodeWrites, (unsigned long long)s.hidReports);
    for (const std::string& line : summaries) fprintf(stderr, "qn-usbemu: %s\n", line.c_str());
  }
  return status;
}
