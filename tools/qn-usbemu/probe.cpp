// qn-usbprobe: a small client for the emulated bus, run inside qn-usbemu.
// It drives libusb (through the link library) and hidapi the way the
// Updater does, and measures what an idle USB link costs.
#include <hidapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <string>
#include <vector>

#include "link/aLink.h"
#include "link/aStreamUSB.h"
#include "link/aTime.h"

namespace {

const char* kUsage =
    "Usage: qn-usbprobe COMMAND ...   (run it inside qn-usbemu)\n"
    "  idle SERIAL SECONDS     open the USB link to module SERIAL, let it idle for\n"
    "                          SECONDS and print the CPU time this process used\n"
    "  write SERIAL COUNT      open the USB stream and write COUNT bytes in one call\n"
    "  read SERIAL             open the USB stream and read one byte\n"
    "  reset SERIAL            start the link and ask the module (address 02) to reset\n"
    "  hid VID PID [HEX...]    open the HID device, write each HEX output report\n"
    "                          (report id first), then print every input report that\n"
    "                          arrives within 100 ms of the last one, one per line\n";

double CpuMs() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

double WallMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

bool ParseHex32(const char* text, uint32_t* out) {
  char* end = nullptr;
  unsigned long value = strtoul(text, &end, 16);
  if (!*text || *end || value > 0xFFFFFFFFul) return false;
  *out = uint32_t(value);
  return true;
}

bool ParseBytes(const char* text, std::vector<unsigned char>* out) {
  size_t n = strlen(text);
  if (n == 0 || n % 2) return false;
  for (size_t i = 0; i < n; i += 2) {
    char pair[3] = {text[i], text[i + 1], 0};
    char* end = nullptr;
    unsigned long value = strtoul(pair, &end, 16);
    if (*end) return false;
    out->push_back((unsigned char)value);
  }
  return true;
}

int Idle(uint32_t serial, double seconds) {
  uint32_t id = aLink_CreateUSB(serial);
  if (!id) {
    fprintf(stderr, "qn-usbprobe: cannot open the link to %08X\n", serial);
    return 1;
  }
  for (int i = 0; i < 200 && aLink_GetStatus(id) != aLINK_STATUS_RUNNING; i++) aTime_MSSleep(10);
  if (aLink_GetStatus(id) != aLINK_STATUS_RUNNING) {
    fprintf(stderr, "qn-usbprobe: the link to %08X does not run\n", serial);
    aLink_Destroy(&id);
    return 1;
  }
  printf("link running\n");
  double cpu0 = CpuMs();
  double wall0 = WallMs();
  aTime_MSSleep((unsigned long)(seconds * 1000));
  double cpu = CpuMs() - cpu0;
  double wall = WallMs() - wall0;
  uint32_t status = aLink_GetStatus(id);
  aLink_Destroy(&id);
  printf("idle USB link %08X: %.1f ms CPU in %.1f s (%.2f%% of one core), link status %u\n", serial,
         cpu, wall / 1000.0, 100.0 * cpu / wall, status);
  return status == aLINK_STATUS_RUNNING ? 0 : 1;
}

int Write(uint32_t serial, size_t count) {
  aStreamRef stream = nullptr;
  aErr opened = aStream_CreateUSB(serial, &stream);
  if (opened != aErrNone) {
    printf("open: error %u\n", (unsigned)opened);
    return 1;
  }
  std::vector<uint8_t> bytes(count, 0);
  aErr written = aStream_Write(stream, bytes.data(), bytes.size());
  printf("write %zu: error %u\n", count, (unsigned)written);
  aStream_Destroy(&stream);
  return written == aErrNone ? 0 : 1;
}

// One byte from a USB stream; the module sends nothing before its link is
// started, so this shows the empty read.
int Read(uint32_t serial) {
  aStreamRef stream = nullptr;
  aErr opened = aStream_CreateUSB(serial, &stream);
  if (opened != aErrNone) {
    printf("open: error %u\n", (unsigned)opened);
    return 1;
  }
  uint8_t byte = 0;
  aErr result = aStream_Read(stream, &byte, 1);
  printf("read: error %u\n", (unsigned)result);
  aStream_Destroy(&stream);
  return 0;
}

// Starts the link to the module at address 02 and asks it to reset (system
// value 11), the way a host restarts a module; the module then goes away
// for its restart time.
int Reset(uint32_t serial) {
  aStreamRef stream = nullptr;
  aErr opened = aStream_CreateUSB(serial, &stream);
  if (opened != aErrNone) {
    printf("open: error %u\n", (unsigned)opened);
    return 1;
  }
  const uint8_t start[] = {0xAF, 0x01, 0x01};
  const uint8_t reset[] = {0x02, 0x03, 0x03, 0x80 + 11, 0x20};
  aErr result = aStream_Write(stream, start, sizeof(start));
  if (result == aErrNone) result = aStream_Write(stream, reset, sizeof(reset));
  // Whatever the module still says before it goes.
  for (int i = 0; i < 5; i++) {
    uint8_t byte = 0;
    if (aStream_Read(stream, &byte, 1) != aErrNone) break;
  }
  printf("reset: error %u\n", (unsigned)result);
  aStream_Destroy(&stream);
  return result == aErrNone ? 0 : 1;
}

int Hid(uint16_t vendor, uint16_t product, int count, char** reports) {
  if (hid_init() != 0) return 1;
  hid_device* device = hid_open(vendor, product, nullptr);
  if (!device) {
    printf("hid_open: no device\n");
    hid_exit();
    return 1;
  }
  int status = 0;
  for (int i = 0; i < count; i++) {
    std::vector<unsigned char> report;
    if (!ParseBytes(reports[i], &report)) {
      fprintf(stderr, "qn-usbprobe: bad report \"%s\"\n", reports[i]);
      status = 2;
      break;
    }
    int n = hid_write(device, report.data(), report.size());
    printf("write %d\n", n);
  }
  for (;;) {
    unsigned char buffer[65];
    int n = hid_read_timeout(device, buffer, sizeof(buffer), 100);
    if (n <= 0) {
      printf(n == 0 ? "timeout\n" : "error\n");
      break;
    }
    printf("read %d:", n);
    for (int i = 0; i < n; i++) printf(" %02X", buffer[i]);
    printf("\n");
  }
  hid_close(device);
  hid_exit();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  std::string command = argc > 1 ? argv[1] : "";
  uint32_t a = 0, b = 0;
  if (command == "idle" && argc == 4 && ParseHex32(argv[2], &a)) {
    return Idle(a, atof(argv[3]));
  }
  if (command == "write" && argc == 4 && ParseHex32(argv[2], &a)) {
    return Write(a, (size_t)atoi(argv[3]));
  }
  if (command == "read" && argc == 3 && ParseHex32(argv[2], &a)) return Read(a);
  if (command == "reset" && argc == 3 && ParseHex32(argv[2], &a)) return Reset(a);
  if (command == "hid" && argc >= 4 && ParseHex32(argv[2], &a) && ParseHex32(argv[3], &b)) {
    return Hid(uint16_t(a), uint16_t(b), argc - 4, argv + 4);
  }
  fprintf(stderr, "%s", kUsage);
  return 2;
}
