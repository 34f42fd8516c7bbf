// updatebench: how close a complete firmware update over TCP comes to the
// pace of the link, against the module simulator.
//
//   updatebench [--size BYTES] [--loader BYTES] [--block BYTES] [--runs N]
//               [--exchanges N] [--keep]
//
// The floor is what the link's pacing allows: the output thread sends at most
// one packet per millisecond, so every DATA packet (26 image bytes at most),
// every SUM and every WRITE costs at least 1 ms. The ratio printed is
// floor time / measured time (1.0 would be the pace of the link exactly).
//
// Runs as root: it moves itself into a network namespace of its own with a
// veth lab interface (10.77.0.1), so the simulator's discovery traffic never
// leaves the machine. birdtool and qn-modsim are taken from the build's
// tools folder (<build>/tools, beside this executable's <build>/bench).
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "protocol/QuillnodeNetwork.h"
#include "updater/BirdFile.h"
#include "updater/History.h"
#include "updater/KeyValueStore.h"
#include "updater/UpdateFirmware.h"

namespace {

typedef std::chrono::steady_clock Clock;

const char kLabAddress[] = "10.77.0.1";
const unsigned int kSerial = 0x40F5849A;
const unsigned int kDataBytes = 26;

struct Options {
  unsigned int size = 256 * 1024;
  unsigned int loader = 1024;
  unsigned int block = 512;
  int runs = 1;
  int exchanges = 2000;
  bool keep = false;
};

double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

std::string ToolDir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return "../tools";
  path[n] = '\0';
  std::string s(path);
  size_t slash = s.rfind('/');
  return slash == std::string::npos ? "../tools" : s.substr(0, slash) + "/../tools";
}

bool Sh(const std::string& command) {
  int status = system(command.c_str());
  if (status != 0) fprintf(stderr, "updatebench: '%s' failed\n", command.c_str());
  return status == 0;
}

bool EnterLab() {
  if (unshare(CLONE_NEWNET) != 0) {
    perror("updatebench: unshare(CLONE_NEWNET) (run as root)");
    return false;
  }
  return Sh("ip link set lo up") && Sh("ip link add qn0 type veth peer name qn1") &&
         Sh(std::string("ip addr add ") + kLabAddress + "/24 dev qn0") &&
         Sh("ip link set qn1 up && ip link set qn0 up multicast on") &&
         Sh("ip route add 224.0.0.0/4 dev qn0");
}

// qn-modsim in the background until Stop; waits for its ready line.
class Simulator {
 public:
  bool Start(const std::string& exe, const std::string& spec) {
    int out[2];
    if (pipe(out) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      execl(exe.c_str(), exe.c_str(), "--bind", kLabAddress, "--discovery", kLabAddress, "--module",
            spec.c_str(), (char*)nullptr);
      _exit(127);
    }
    close(out[1]);
    FILE* in = fdopen(out[0], "r");
    char line[512];
    while (in && fgets(line, sizeof(line), in)) {
      if (strncmp(line, "qn-modsim: ready", 16) == 0) {
        file_ = in;
        return true;
      }
    }
    if (in) fclose(in);
    return false;
  }
  ~Simulator() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (file_) fclose(file_);
  }

 private:
  pid_t pid_ = -1;
  FILE* file_ = nullptr;
};

// Packets the link must send for `length` image bytes in chunks of `chunk`
// (0: one chunk), with `perChunk` extra exchanges per chunk.
unsigned long Packets(unsigned long length, unsigned long chunk, unsigned long perChunk) {
  if (chunk == 0) chunk = length;
  unsigned long packets = 0;
  for (unsigned long done = 0; done < length; done += chunk) {
    unsigned long n = length - done < chunk ? length - done : chunk;
    packets += (n + kDataBytes - 1) / kDataBytes + perChunk;
  }
  return packets;
}

// Standard output goes to /dev/null while the update runs, so the figures
// are not lost between progress bars.
class QuietStdout {
 public:
  QuietStdout() {
    fflush(stdout);
    saved_ = dup(1);
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, 1);
      close(null);
    }
  }
  ~QuietStdout() {
    fflush(stdout);
    if (saved_ >= 0) {
      dup2(saved_, 1);
      close(saved_);
    }
  }

 private:
  int saved_ = -1;
};

struct Figures {
  double connect = 0, loader = 0, firmware = 0, cleanup = 0, total = 0;
  bool ok = false;
};

Figures RunOnce(const std::string& bird, const std::string& dir) {
  Figures f;
  DeviceHistory history((dir + "/.history").c_str(), 0);
  KeyValueStore settings;
  settings.filename = dir + "/.settings";
  QuietStdout quiet;
  Clock::time_point t0 = Clock::now();
  BirdFileClass* file = nullptr;
  if (!_UpdateFirmware_ValidateBirdFile(&file, kSerial, bird.c_str())) return f;
  NetworkClass net(LINK_INVALID);
  if (!_UpdateFirmware_ValidateModule(file, net, LINK_TCPIP, kSerial, 0, 0, false, history)) {
    delete file;
    return f;
  }
  Clock::time_point t1 = Clock::now();
  aErr status = _UpdateFirmware_TransferLoader(net, file);
  Clock::time_point t2 = Clock::now();
  if (status == aErrNone) status = _UpdateFirmware_TransferFirmware(net, file, history);
  Clock::time_point t3 = Clock::now();
  status = _UpdateFirmware_Cleanup(&file, settings, net, kSerial, status, LINK_TCPIP, 0);
  Clock::time_point t4 = Clock::now();
  f.connect = Ms(t0, t1);
  f.loader = Ms(t1, t2);
  f.firmware = Ms(t2, t3);
  f.cleanup = Ms(t3, t4);
  f.total = Ms(t0, t4);
  f.ok = status == aErrNone;
  return f;
}

// Where the time of an exchange goes: one request and its reply, repeated.
// The median shows the link's pace (1 ms plus the wake-up of the output
// thread); the tail shows waits for a processor on a busy machine.
void ExchangeFigures(int count) {
  if (count <= 0) return;
  usleep(1000 * 1000);  // the module restarts after the last update
  std::vector<double> us;
  {
    QuietStdout quiet;
    NetworkClass net(LINK_INVALID);
    if (net.Connect(LINK_TCPIP, kSerial, false) != aErrNone) return;
    for (int i = 0; i < count; ++i) {
      Clock::time_point a = Clock::now();
      net.GetVersion();
      us.push_back(Ms(a, Clock::now()) * 1000.0);
      if (net.lastError != aErrNone) break;
    }
    net.Disconnect();
    net.Release();
  }
  if (us.size() < (size_t)count) {
    printf("exchanges: FAILED after %zu\n", us.size());
    return;
  }
  double sum = 0;
  for (double v : us) sum += v;
  std::sort(us.begin(), us.end());
  auto at = [&](double q) { return us[(size_t)(q * (us.size() - 1))]; };
  printf("exchanges: %d round trips, mean %.0f us, p50 %.0f, p90 %.0f, p99 %.0f, max %.0f\n", count,
         sum / us.size(), at(0.5), at(0.9), at(0.99), us.back());
  printf("exchanges: ratio at the median %.3f, at the mean %.3f\n", 1000.0 / at(0.5),
         1000.0 / (sum / us.size()));
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool hasValue = i + 1 < argc;
    if (a == "--size" && hasValue) {
      o->size = (unsigned int)strtoul(argv[++i], nullptr, 0);
    } else if (a == "--loader" && hasValue) {
      o->loader = (unsigned int)strtoul(argv[++i], nullptr, 0);
    } else if (a == "--block" && hasValue) {
      o->block = (unsigned int)strtoul(argv[++i], nullptr, 0);
    } else if (a == "--runs" && hasValue) {
      o->runs = atoi(argv[++i]);
    } else if (a == "--exchanges" && hasValue) {
      o->exchanges = atoi(argv[++i]);
    } else if (a == "--keep") {
      o->keep = true;
    } else {
      fprintf(stderr,
              "usage: updatebench [--size BYTES] [--loader BYTES] [--block BYTES] [--runs N] "
              "[--exchanges N] [--keep]\n");
      return false;
    }
  }
  return o->size > 0 && o->block > 0 && o->block <= 65535 && o->runs > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) return 2;
  std::string tools = ToolDir();
  char dirTemplate[] = "/tmp/updatebench.XXXXXX";
  if (!mkdtemp(dirTemplate)) {
    perror("updatebench: mkdtemp");
    return 1;
  }
  std::string dir = dirTemplate;
  if (!EnterLab()) return 1;

  std::string bird = dir + "/bench.bird";
  char sizes[128];
  snprintf(sizes, sizeof(sizes), "%u", o.size);
  bool made = Sh(tools + "/birdtool gen-image --size " + sizes + " --seed 1 -o " + dir +
                 "/fw.bin >/dev/null") &&
              Sh(tools + "/birdtool gen-image --size " + std::to_string(o.loader) +
                 " --seed 2 -o " + dir + "/ld.bin >/dev/null") &&
              Sh(tools + "/birdtool pack -o " + bird + " --loader 0x10000000:" + dir + "/ld.bin" +
                 " --firmware 0:" + dir + "/fw.bin --info 1,2.1.0,40F5849A,Tarlinx >/dev/null");
  if (!made) return 1;

  Simulator sim;
  std::string spec = "serial=40F5849A,port=0,version=2.1.0,block=" + std::to_string(o.block);
  if (!sim.Start(tools + "/qn-modsim", spec)) {
    fprintf(stderr, "updatebench: qn-modsim did not start\n");
    return 1;
  }

  // Loader: its DATA packets and one SUM; firmware: per chunk of the block
  // size its DATA packets, one SUM and one WRITE.
  unsigned long loaderPackets = Packets(o.loader, 0, 1);
  unsigned long firmwarePackets = Packets(o.size, o.block, 2);
  double floorMs = (double)(loaderPackets + firmwarePackets);

  printf("updatebench: firmware %u bytes, loader %u bytes, block size %u, over TCP\n", o.size,
         o.loader, o.block);
  printf("floor: %lu loader + %lu firmware packets at 1 ms = %.0f ms\n", loaderPackets,
         firmwarePackets, floorMs);
  // The same floor counted in bytes (26 per ms) rather than whole packets.
  double byteFloorMs =
      (o.loader + o.size) / (double)kDataBytes + 1.0 + 2.0 * ((o.size + o.block - 1) / o.block);
  int failures = 0;
  for (int run = 1; run <= o.runs; ++run) {
    // The module has just rebooted into its new firmware: while it restarts
    // it does not answer discovery, which would time the discovery's wait.
    if (run > 1) usleep(1000 * 1000);
    Figures f = RunOnce(bird, dir);
    if (!f.ok) {
      printf("run %d: update FAILED\n", run);
      ++failures;
      continue;
    }
    printf("run %d: total %.0f ms (connect %.0f, loader %.0f, firmware %.0f, clean-up %.0f)\n", run,
           f.total, f.connect, f.loader, f.firmware, f.cleanup);
    printf(
        "run %d: ratio floor/measured: complete update %.3f (%.3f at 26 bytes/ms), firmware "
        "transfer %.3f\n",
        run, floorMs / f.total, byteFloorMs / f.total, (double)firmwarePackets / f.firmware);
  }
  ExchangeFigures(o.exchanges);
  if (!o.keep) Sh("rm -rf " + dir);
  return failures ? 1 : 0;
}
