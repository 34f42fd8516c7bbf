// qn-lpcsim: an LPC17xx boot ROM in ISP mode on a pseudo-terminal.
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "tools/qn-lpcsim/LpcIsp.h"
#include "tools/simline/AtomicFile.h"
#include "tools/simline/ParseNumber.h"
#include "tools/simline/SimLine.h"

namespace {

volatile sig_atomic_t gStop = 0;

volatile sig_atomic_t gReset = 0;

void OnSignal(int) { gStop = 1; }
void OnReset(int) { gReset = 1; }

const char kUsage[] =
    "Usage: qn-lpcsim [options]\n"
    "Simulates an LPC17xx boot ROM in ISP mode on a pseudo-terminal and prints\n"
    "the terminal's path on the first line of output.\n"
    "  --link PATH          also make PATH a symlink to the terminal\n"
    "  --dump FILE          write the 512 KB flash image to FILE on exit, after\n"
    "                       every erase or copy, and on \"G\"\n"
    "  --baud N             pace the line at N baud (10 bits per character)\n"
    "  --latency-ms N       delay every reply by N ms\n"
    "  --echo-latency       delay the echo of every line by that latency too\n"
    "  --resend-at N[,M..]  answer RESEND to the Nth write checksum (repeatable)\n"
    "  --no-sync            never answer the synchronisation request\n"
    "  --fail-command L=N   answer return code N to every command L (repeatable)\n"
    "  --crp[=LEVEL]        code read protection level 1 (default), 2 or 3\n"
    "  --part-id N          part identification (default 0x26013F37, LPC1768)\n"
    "  --serial W0,W1,W2,W3 the four device serial number words\n"
    "  --boot-version M.m   boot code version (default 4.1)\n"
    "  --exit-on-go         exit after a successful \"G\"\n"
    "  --verbose            trace the line traffic on standard error\n";

bool ParseList(const std::string& text, std::vector<uint32_t>* out) {
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    uint32_t v = 0;
    if (!qnsim::ParseU32(text.substr(start, comma - start), &v)) return false;
    out->push_back(v);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

std::string Escape(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    char buf[8];
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c >= 32 && c < 127)
      out += (char)c;
    else {
      snprintf(buf, sizeof(buf), "\\x%02X", c);
      out += buf;
    }
  }
  return out;
}

struct Options {
  std::string link;
  std::string dump;
  unsigned baud = 0;
  unsigned latencyMs = 0;
  bool echoLatency = false;
  bool exitOnGo = false;
  bool verbose = false;
  lpcsim::Config config;
};

// Returns 0 to go on, otherwise the exit status.
int ParseOptions(int argc, char** argv, Options* o) {
  enum {
    kLink = 256,
    kDump,
    kBaud,
    kLatency,
    kEchoLatency,
    kResend,
    kNoSync,
    kFail,
    kCrp,
    kPartId,
    kSerial,
    kBoot,
    kExitOnGo,
    kVerbose,
    kHelp
  };
  static const struct option kLong[] = {
      {"link", required_argument, nullptr, kLink},
      {"dump", required_argument, nullptr, kDump},
      {"baud", required_argument, nullptr, kBaud},
      {"latency-ms", required_argument, nullptr, kLatency},
      {"echo-latency", no_argument, nullptr, kEchoLatency},
      {"resend-at", required_argument, nullptr, kResend},
      {"no-sync", no_argument, nullptr, kNoSync},
      {"fail-command", required_argument, nullptr, kFail},
      {"crp", optional_argument, nullptr, kCrp},
      {"part-id", required_argument, nullptr, kPartId},
      {"serial", required_argument, nullptr, kSerial},
      {"boot-version", required_argument, nullptr, kBoot},
      {"exit-on-go", no_argument, nullptr, kExitOnGo},
      {"verbose", no_argument, nullptr, kVerbose},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  int c;
  while ((c = getopt_long(argc, argv, "v", kLong, nullptr)) != -1) {
    std::string arg = optarg ? optarg : "";
    uint32_t v = 0;
    std::vector<uint32_t> list;
    bool ok = true;
    switch (c) {
      case kLink:
        o->link = arg;
        break;
      case kDump:
        o->dump = arg;
        break;
      case kBaud:
        ok = qnsim::ParseU32(arg, &v);
        o->baud = v;
        break;
      case kLatency:
        ok = qnsim::ParseU32(arg, &v) && v <= 10000;
        o->latencyMs = v;
        break;
      case kEchoLatency:
        o->echoLatency = true;
        break;
      case kResend:
        ok = ParseList(arg, &list);
        for (uint32_t n : list) o->config.resendAt.insert(n);
        break;
      case kNoSync:
        o->config.noSync = true;
        break;
      case kFail:
        ok = arg.size() > 2 && arg[1] == '=' && qnsim::ParseU32(arg.substr(2), &v) && v < 256;
        if (ok) o->config.failCommand[arg[0]] = v;
        break;
      case kCrp:
        v = 1;
        if (optarg) ok = qnsim::ParseU32(arg, &v) && v >= 1 && v <= 3;
        o->config.crp = v;
        break;
      case kPartId:
        ok = qnsim::ParseU32(arg, &o->config.partId);
        break;
      case kSerial:
        ok = ParseList(arg, &list) && list.size() == 4;
        for (size_t i = 0; ok && i < 4; ++i) o->config.serial[i] = list[i];
        break;
      case kBoot: {
        unsigned major = 0, minor = 0;
        char tail = 0;
        ok = sscanf(arg.c_str(), "%u.%u%c", &major, &minor, &tail) == 2 && major < 256 &&
             minor < 256;
        o->config.bootMajor = major;
        o->config.bootMinor = minor;
        break;
      }
      case kExitOnGo:
        o->exitOnGo = true;
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
      fprintf(stderr, "qn-lpcsim: bad value for an option: %s\n", arg.c_str());
      return 2;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "qn-lpcsim: unexpected argument: %s\n", argv[optind]);
    return 2;
  }
  return 0;
}

void Dump(const Options& o, const lpcsim::Device& device) {
  if (o.dump.empty()) return;
  const std::vector<uint8_t>& flash = device.flash();
  if (!qnsim::WriteFileAtomic(o.dump, std::string(flash.begin(), flash.end())))
    fprintf(stderr, "qn-lpcsim: cannot write %s: %s\n", o.dump.c_str(), strerror(errno));
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
    fprintf(stderr, "qn-lpcsim: %s\n", error.c_str());
    return 1;
  }
  line.SetBaud(o.baud);
  line.SetLatencyMs(o.latencyMs);
  lpcsim::Device device(o.config);
  Dump(o, device);
  printf("%s\n", line.slavePath().c_str());

  std::string rxTrace;
  while (!gStop) {
    if (gReset) {
      // SIGUSR1 is the reset button: the part restarts in its boot ROM.
      gReset = 0;
      device.Reset();
      line.FlushInput();
      line.DiscardOutput();
      printf("qn-lpcsim: reset\n");
    }
    uint8_t byte = 0;
    int r = line.ReadByte(&byte, 20);
    if (r < 0) {
      fprintf(stderr, "qn-lpcsim: the pseudo-terminal failed\n");
      status = 1;
      break;
    }
    if (r == 0) {
      device.Idle();
    } else {
      device.Receive(byte);
      if (o.verbose) {
        rxTrace += (char)byte;
        if (byte == '\n' || rxTrace.size() >= 80) {
          fprintf(stderr, "rx: %s\n", Escape(rxTrace).c_str());
          rxTrace.clear();
        }
      }
    }
    for (const lpcsim::Device::Chunk& chunk : device.TakeOutput()) {
      if (o.verbose && chunk.reply) fprintf(stderr, "tx: %s\n", Escape(chunk.bytes).c_str());
      // A USB-serial adapter holds back the tail of an echoed line as it does
      // a reply: its latency falls on the echo's line end as well.
      bool delayed = chunk.reply || (o.echoLatency && chunk.bytes.find('\n') != std::string::npos);
      if (!line.Write(chunk.bytes, delayed) && o.verbose)
        fprintf(stderr, "qn-lpcsim: output dropped, nobody reads the line\n");
    }
    for (const std::string& note : device.TakeNotes()) printf("qn-lpcsim: %s\n", note.c_str());
    if (unsigned rate = device.TakeBaudChange()) {
      if (o.baud) line.SetBaud(rate);
    }
    if (device.TakeFlashChanged()) Dump(o, device);
    uint32_t address = 0;
    char mode = 0;
    if (device.TakeGo(&address, &mode)) {
      Dump(o, device);
      printf("qn-lpcsim: go to 0x%08X (%s), vector checksum %s\n", address,
             mode == 'T' ? "Thumb" : "ARM", device.VectorsValid() ? "valid" : "invalid");
      if (o.exitOnGo) break;
    }
  }
  Dump(o, device);
  return status;
}
