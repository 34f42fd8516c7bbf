// qn-sdpsim: an i.MX RT1050 boot ROM in serial download mode on a
// pseudo-terminal.
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "tools/qn-sdpsim/SdpRom.h"
#include "tools/simline/AtomicFile.h"
#include "tools/simline/Clock.h"
#include "tools/simline/ParseNumber.h"
#include "tools/simline/SimLine.h"

namespace {

volatile sig_atomic_t gStop = 0;

volatile sig_atomic_t gReset = 0;

void OnSignal(int) { gStop = 1; }
void OnReset(int) { gReset = 1; }

const char kUsage[] =
    "Usage: qn-sdpsim [options]\n"
    "Simulates an i.MX RT1050 boot ROM in serial download mode on a\n"
    "pseudo-terminal and prints the terminal's path on the first line of output.\n"
    "  --link PATH              also make PATH a symlink to the terminal\n"
    "  --dump FILE              write the RAM written by WRITE_FILE to FILE (records:\n"
    "                           address, length, bytes) at start, after every\n"
    "                           WRITE_FILE, on a jump and on exit\n"
    "  --fingerprint HIGH:LOW   fuse words CFG1 (HIGH) and CFG0 (LOW)\n"
    "  --hab open|closed|N      HAB state sent with every answer (default open)\n"
    "  --silent                 never answer\n"
    "  --keep-partial           keep a partial command however long the line is\n"
    "                           quiet (no time-out)\n"
    "  --unsolicited-at N       answer in the middle of a WRITE_FILE after N data bytes\n"
    "  --write-fail             end WRITE_FILE without the completion word\n"
    "  --require-ivt            refuse to jump where there is no image vector table\n"
    "  --exit-on-jump           exit after a jump\n"
    "  --baud N                 pace the line at N baud (10 bits per character)\n"
    "  --latency-ms N           delay every answer by N ms\n"
    "  --verbose                trace the traffic on standard error\n";

struct Options {
  std::string link;
  std::string dump;
  unsigned baud = 0;
  unsigned latencyMs = 0;
  bool exitOnJump = false;
  bool verbose = false;
  sdpsim::Config config;
};

bool ParseFingerprint(const std::string& text, uint64_t* value) {
  size_t colon = text.find(':');
  uint32_t high = 0, low = 0;
  if (colon == std::string::npos || !qnsim::ParseU32(text.substr(0, colon), &high) ||
      !qnsim::ParseU32(text.substr(colon + 1), &low))
    return false;
  *value = (uint64_t)high << 32 | low;
  return true;
}

int ParseOptions(int argc, char** argv, Options* o) {
  enum {
    kLink = 256,
    kDump,
    kFingerprint,
    kHab,
    kSilent,
    kKeepPartial,
    kUnsolicited,
    kWriteFail,
    kIvt,
    kExitOnJump,
    kBaud,
    kLatency,
    kVerbose,
    kHelp
  };
  static const struct option kLong[] = {
      {"link", required_argument, nullptr, kLink},
      {"dump", required_argument, nullptr, kDump},
      {"fingerprint", required_argument, nullptr, kFingerprint},
      {"hab", required_argument, nullptr, kHab},
      {"silent", no_argument, nullptr, kSilent},
      {"keep-partial", no_argument, nullptr, kKeepPartial},
      {"unsolicited-at", required_argument, nullptr, kUnsolicited},
      {"write-fail", no_argument, nullptr, kWriteFail},
      {"require-ivt", no_argument, nullptr, kIvt},
      {"exit-on-jump", no_argument, nullptr, kExitOnJump},
      {"baud", required_argument, nullptr, kBaud},
      {"latency-ms", required_argument, nullptr, kLatency},
      {"verbose", no_argument, nullptr, kVerbose},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  int c;
  while ((c = getopt_long(argc, argv, "v", kLong, nullptr)) != -1) {
    std::string arg = optarg ? optarg : "";
    uint32_t v = 0;
    bool ok = true;
    switch (c) {
      case kLink:
        o->link = arg;
        break;
      case kDump:
        o->dump = arg;
        break;
      case kFingerprint:
        ok = ParseFingerprint(arg, &o->config.fingerprint);
        break;
      case kHab:
        if (arg == "open")
          o->config.hab = sdpsim::kHabOpen;
        else if (arg == "closed")
          o->config.hab = sdpsim::kHabClosed;
        else
          ok = qnsim::ParseU32(arg, &o->config.hab);
        break;
      case kKeepPartial:
        o->config.keepPartial = true;
        break;
      case kSilent:
        o->config.silent = true;
        break;
      case kUnsolicited:
        ok = qnsim::ParseU32(arg, &v) && v > 0;
        o->config.unsolicitedAt = v;
        break;
      case kWriteFail:
        o->config.writeFail = true;
        break;
      case kIvt:
        o->config.requireIvt = true;
        break;
      case kExitOnJump:
        o->exitOnJump = true;
        break;
      case kBaud:
        ok = qnsim::ParseU32(arg, &v);
        o->baud = v;
        break;
      case kLatency:
        ok = qnsim::ParseU32(arg, &v) && v <= 10000;
        o->latencyMs = v;
        break;
      case 'v':
      case kVerbose:
        o->verbose = true;
        break;
      case kHelp:
        fputs(kUsage, stdout);
        return -1;
      default:
        fputs(kUsage, stderr);
        return 2;
    }
    if (!ok) {
      fprintf(stderr, "qn-sdpsim: bad value for an option: %s\n", arg.c_str());
      return 2;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "qn-sdpsim: unexpected argument: %s\n", argv[optind]);
    return 2;
  }
  return 0;
}

void Dump(const Options& o, const sdpsim::Device& device) {
  if (o.dump.empty()) return;
  if (!qnsim::WriteFileAtomic(o.dump, device.DumpWritten()))
    fprintf(stderr, "qn-sdpsim: cannot write %s: %s\n", o.dump.c_str(), strerror(errno));
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    snprintf(buf, sizeof(buf), "%02X ", c);
    out += buf;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Options o;
  int status = ParseOptions(argc, argv, &o);
  if (status != 0) return status < 0 ? 0 : status;

  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  sa.sa_handler = OnReset;
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  qnsim::SimLine line;
  std::string error;
  if (!line.Open(o.link, &error)) {
    fprintf(stderr, "qn-sdpsim: %s\n", error.c_str());
    return 1;
  }
  line.SetBaud(o.baud);
  line.SetLatencyMs(o.latencyMs);
  sdpsim::Device device(o.config);
  sdpsim::SerialFramer framer(device);
  Dump(o, device);
  printf("%s\n", line.slavePath().c_str());

  int64_t lastRx = qnsim::NowNs();
  size_t traced = 0;
  while (!gStop) {
    if (gReset) {
      // SIGUSR1 is the reset button: the part restarts in its boot ROM.
      gReset = 0;
      framer.Reset();
      line.FlushInput();
      line.DiscardOutput();
      printf("qn-sdpsim: reset\n");
    }
    uint8_t byte = 0;
    int r = line.ReadByte(&byte, 20);
    if (r < 0) {
      fprintf(stderr, "qn-sdpsim: the pseudo-terminal failed\n");
      status = 1;
      break;
    }
    if (r == 0) {
      framer.Idle((unsigned)((qnsim::NowNs() - lastRx) / 1000000));
      if (o.verbose && traced) {
        fprintf(stderr, "rx: %zu bytes\n", traced);
        traced = 0;
      }
    } else {
      lastRx = qnsim::NowNs();
      framer.Receive(&byte, 1);
      ++traced;
    }
    std::string out = framer.TakeOutput();
    if (!out.empty()) {
      if (o.verbose) fprintf(stderr, "tx: %s\n", Hex(out).c_str());
      line.Write(out, true);
    }
    bool wrote = false;
    for (const sdpsim::FileWrite& w : device.TakeFileWrites()) {
      printf("qn-sdpsim: write 0x%08X %u bytes%s\n", w.address, w.count,
             w.stored ? "" : " (not stored)");
      wrote = true;
    }
    if (wrote) Dump(o, device);
    uint32_t address = 0;
    if (device.TakeJump(&address)) {
      Dump(o, device);
      printf("qn-sdpsim: jump to 0x%08X\n", address);
      if (o.exitOnJump) break;
    }
  }
  Dump(o, device);
  return status;
}
