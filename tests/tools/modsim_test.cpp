// Tests of the module simulator: the state machine driven byte by byte with
// a virtual clock, and one run of the qn-modsim binary over loopback TCP.
#include "tools/qn-modsim/ModSim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using modsim::Link;
using modsim::ModuleConfig;
using modsim::Simulator;

std::string Hex(const Bytes& b) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < b.size(); ++i) {
    snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
    out += buf;
  }
  return out;
}

ModuleConfig Module(uint32_t serial, uint8_t address) {
  ModuleConfig cfg;
  cfg.serial = serial;
  cfg.address = address;
  cfg.model = 4;
  cfg.version = 0x21000003;
  cfg.build = 12345;
  cfg.tcpPort = 0;
  return cfg;
}

// One simulator with a virtual clock and a started link to its first module.
class SimTest : public ::testing::Test {
 protected:
  void Start(const std::vector<ModuleConfig>& modules) {
    std::string error;
    for (const auto& m : modules) ASSERT_TRUE(sim.AddModule(m, &error)) << error;
    ASSERT_TRUE(sim.Validate(&error)) << error;
    link = sim.OpenLink(modules[0].serial, now);
    ASSERT_TRUE(link);
    Send({0xAF, 0x01, 0x01});
    EXPECT_EQ("", Hex(Out()));
  }
  void Send(const Bytes& b) { link->Receive(b.data(), b.size(), now); }
  Bytes Out() { return link->TakeOutput(now); }
  // Sends a request and returns everything due once the query window passed.
  std::string Ask(const Bytes& b) {
    Send(b);
    now += 5;
    return Hex(Out());
  }
  // Packet to `address` with `data`.
  static Bytes Packet(uint8_t address, const Bytes& data) {
    Bytes p{address, uint8_t(data.size())};
    p.insert(p.end(), data.begin(), data.end());
    return p;
  }

  Simulator sim;
  std::unique_ptr<Link> link;
  uint64_t now = 1000;
};

TEST_F(SimTest, HeartbeatsAlternatePhasesEveryHalfSecondAndCountAnswers) {
  Start({Module(0x40F5849A, 0x04)});
  now += 499;
  EXPECT_EQ("", Hex(Out()));
  now += 1;
  EXPECT_EQ("04 02 00 00", Hex(Out()));
  EXPECT_EQ(2000u, link->NextEventMs());
  Send({0x04, 0x02, 0x00, 0x02});
  now += 500;
  EXPECT_EQ("04 02 00 01", Hex(Out()));
  // A wrong-phase answer is not counted; the next heartbeat records a miss.
  Send({0x04, 0x02, 0x00, 0x02});
  now += 500;
  EXPECT_EQ("04 02 00 00", Hex(Out()));
  EXPECT_EQ(1u, link->Stats().heartbeatsMissed);
  // Stop: no more heartbeats.
  Send({0xAF, 0x01, 0x00});
  now += 2000;
  EXPECT_EQ("", Hex(Out()));
}

TEST(ModSimNoise, RandomBytesNeverBreakTheModule) {
  Simulator sim;
  ModuleConfig router = Module(0x40F5849A, 0x02);
  ModuleConfig device = Module(0x11112222, 0x06);
  device.behind = router.serial;
  device.tcpPort = -1;
  std::string error;
  ASSERT_TRUE(sim.AddModule(router, &error));
  ASSERT_TRUE(sim.AddModule(device, &error));
  ASSERT_TRUE(sim.Validate(&error));
  std::unique_ptr<Link> link = sim.OpenLink(router.serial, 0);
  // Bytes skewed towards the values the module reacts to, so that upgrade
  // commands with odd lengths and addresses reach it often.
  const uint8_t common[] = {0x02, 0x06, 0xAD, 0xAF, 0x00, 0x01, 0x03,
                            0x05, 0x07, 0x5F, 0x49, 0xFF, 0x1C};
  uint32_t seed = 12345;
  uint64_t now = 0;
  size_t produced = 0;
  for (int round = 0; round < 2000; ++round) {
    Bytes chunk;
    for (int i = 0; i < 64; ++i) {
      seed = seed * 1103515245u + 12345u;
      uint8_t r = uint8_t(seed >> 16);
      chunk.push_back((seed >> 28) & 1 ? common[r % sizeof common] : r);
    }
    link->Receive(chunk.data(), chunk.size(), now);
    now += 7;
    produced += link->TakeOutput(now).size();
    if (link->Closed()) link = sim.OpenLink(router.serial, now + 10000);
    if (!link) {
      now += 10000;
      link = sim.OpenLink(router.serial, now);
      ASSERT_TRUE(link);
    }
  }
  EXPECT_GT(produced, 0u);
}

TEST_F(SimTest, AddressQueryAndSyncRequestAreTellApartByBurstLength) {
  Start({Module(0x40F5849A, 0x04)});
  EXPECT_EQ("04 00", Ask({0xAD, 0x00}));
  // Six zero-length packets to AD in one burst: the two-packet sync answer.
  EXPECT_EQ("04 00 04 00", Ask({0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0}));
  // Garbage ahead of the sync request (odd bytes, zero, an over-long length)
  // is thrown away and the request still realigns the module.
  EXPECT_EQ("04 00 04 00",
            Ask({0x01, 0x00, 0x04, 0x40, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0}));
  // A burst split across reads within the window is still one sync.
  Send({0xAD, 0, 0xAD, 0, 0xAD});
  now += 1;
  EXPECT_EQ("", Hex(Out()));
  EXPECT_EQ("04 00 04 00", Ask({0x00, 0xAD, 0, 0xAD, 0, 0xAD, 0}));
  modsim::LinkStats st = link->Stats();
  EXPECT_EQ(3u, st.syncsAnswered);
  EXPECT_EQ(1u, st.addressQueries);
  EXPECT_EQ(4u, st.badBytes);  // 01, 00, and the lengths 40 and AD
}

TEST_F(SimTest, SystemQueriesAndBuildAnswerByteForByte) {
  ModuleConfig cfg = Module(0x12345678, 0x04);
  cfg.model = 13;
  Start({cfg});
  EXPECT_EQ("04 04 03 C8 20 0D", Ask(Packet(0x04, {0x03, 0x48, 0x20})));
  EXPECT_EQ("04 07 03 C9 20 12 34 56 78", Ask(Packet(0x04, {0x03, 0x49, 0x20})));
  EXPECT_EQ("04 07 03 C7 20 21 00 00 03", Ask(Packet(0x04, {0x03, 0x47, 0x20})));
  EXPECT_EQ("04 04 03 C2 20 04", Ask(Packet(0x04, {0x03, 0x42, 0x20})));
  EXPECT_EQ("04 04 03 C1 20 04", Ask(Packet(0x04, {0x03, 0x41, 0x20})));
  EXPECT_EQ("04 06 49 FF 00 00 30 39", Ask(Packet(0x04, {0x49, 0xFF})));
  // Unknown value: refused through the status bit; unknown command: 0x80.
  EXPECT_EQ("04 03 03 FF A0", Ask(Packet(0x04, {0x03, 0x7F, 0x20})));
  EXPECT_EQ("04 03 80 77 01", Ask(Packet(0x04, {0x77, 0x01})));
  EXPECT_EQ("04 02 80 03", Ask(Packet(0x04, {0x03})));
  // Upgrade commands other than INIT are refused before INIT.
  EXPECT_EQ("04 03 80 5F 01", Ask(Packet(0x04, {0x5F, 0x01, 0xAA})));
  // Packets for other addresses get no answer from a module without a network.
  EXPECT_EQ("", Ask(Packet(0x06, {0x03, 0x48, 0x20})));
}

TEST_F(SimTest, ModulesBehindRouterAnswerThroughItsLink) {
  ModuleConfig router = Module(0x40F5849A, 0x02);
  router.routeRequired = true;
  ModuleConfig device = Module(0x11112222, 0x06);
  device.behind = router.serial;
  device.model = 7;
  device.tcpPort = -1;
  Start({router, device});
  // Not directly reachable.
  Simulator::OpenResult why;
  EXPECT_FALSE(sim.OpenLink(device.serial, now, &why));
  EXPECT_EQ(Simulator::OpenResult::kNotDirect, why);
  // A router that requires route-to-me keeps network replies back until then.
  EXPECT_EQ("", Ask(Packet(0x06, {0x03, 0x49, 0x20})));
  EXPECT_EQ("02 03 03 D4 20", Ask(Packet(0x02, {0x03, 0x94, 0x20, 0x01})));
  EXPECT_EQ("06 07 03 C9 20 11 11 22 22", Ask(Packet(0x06, {0x03, 0x49, 0x20})));
  EXPECT_EQ("06 04 03 C8 20 07", Ask(Packet(0x06, {0x03, 0x48, 0x20})));
  // The device's router address is the router's module address.
  EXPECT_EQ("06 04 03 C2 20 02", Ask(Packet(0x06, {0x03, 0x42, 0x20})));
  // Empty addresses stay silent; the router itself still answers its own.
  EXPECT_EQ("", Ask(Packet(0x08, {0x03, 0x49, 0x20})));
  EXPECT_EQ("02 04 03 C8 20 04", Ask(Packet(0x02, {0x03, 0x48, 0x20})));
}

TEST_F(SimTest, RouterAddressResetThroughRouterWithLateTakingDevice) {
  ModuleConfig router = Module(0x40F5849A, 0x02);
  ModuleConfig device = Module(0x11112222, 0x06);
  device.behind = router.serial;
  device.tcpPort = -1;
  device.routerAddress = 0x0A;  // wrong router address after an update
  device.faults.routerTakeAt = 2;
  Start({router, device});
  EXPECT_EQ("06 04 03 C2 20 0A", Ask(Packet(0x06, {0x03, 0x42, 0x20})));
  auto attempt = [&]() {
    EXPECT_EQ("06 03 03 C2 20", Ask(Packet(0x06, {0x03, 0x82, 0x20, 0x02})));
    EXPECT_EQ("", Ask(Packet(0x06, {0x03, 0x8A, 0x20})));
    EXPECT_EQ("", Ask(Packet(0x06, {0x03, 0x8B, 0x20})));
    // The device restarts; the router's link stays up.
    EXPECT_FALSE(link->Closed());
    now += 250;
    Out();  // the router's heartbeats
    return Ask(Packet(0x06, {0x03, 0x42, 0x20}));
  };
  EXPECT_EQ("06 04 03 C2 20 0A", attempt());
  EXPECT_EQ("06 04 03 C2 20 02", attempt());
  EXPECT_EQ(2u, sim.Status(device.serial).routerSetAttempts);
  EXPECT_EQ(0x02, sim.Status(device.serial).savedRouterAddress);
}

// Host-side helpers for the upgrade exchanges.
class UpgradeTest : public SimTest {
 protected:
  // Sends `image` as DATA packets of up to 26 bytes; returns the byte sum.
  uint32_t SendData(const Bytes& image) {
    uint32_t sum = 0;
    for (size_t at = 0; at < image.size(); at += 26) {
      size_t n = std::min<size_t>(26, image.size() - at);
      Bytes data{0x5F, 0x01};
      data.insert(data.end(), image.begin() + at, image.begin() + at + n);
      char expect[32];
      snprintf(expect, sizeof expect, "04 03 5F 01 %02X", unsigned(n));
      EXPECT_EQ(expect, Ask(Packet(0x04, data)));
      for (size_t i = 0; i < n; ++i) sum += image[at + i];
    }
    return sum;
  }
  static std::string SumReply(uint32_t sum) {
    char buf[64];
    snprintf(buf, sizeof buf, "04 07 5F 07 00 %02X %02X %02X %02X", sum >> 24, (sum >> 16) & 0xFF,
             (sum >> 8) & 0xFF, sum & 0xFF);
    return buf;
  }
  static Bytes Stamped(size_t size, uint32_t version, uint32_t build, uint8_t fill) {
    Bytes image(size, fill);
    const char magic[] = "QNFWSTMP";
    size_t at = size / 2;
    std::copy(magic, magic + 8, image.begin() + at);
    for (int i = 0; i < 4; ++i) {
      image[at + 8 + i] = uint8_t(version >> (24 - 8 * i));
      image[at + 12 + i] = uint8_t(build >> (24 - 8 * i));
    }
    return image;
  }
};

TEST_F(UpgradeTest, FullSequenceWritesFirmwareAndRebootsIntoItsStamp) {
  ModuleConfig cfg = Module(0x40F5849A, 0x04);
  cfg.blockSize = 512;
  Start({cfg});
  EXPECT_EQ("04 06 5F 00 10 00 00 00", Ask(Packet(0x04, {0x5F, 0x00})));
  // Loader block: prepare (answered with the block size), data, sum.
  EXPECT_EQ("04 05 5F 07 00 02 00", Ask(Packet(0x04, {0x5F, 0x03, 0x01, 0x10, 0x00, 0x00, 0x00})));
  Bytes loader(60);
  for (size_t i = 0; i < loader.size(); ++i) loader[i] = uint8_t(200 + i);
  uint32_t sum = SendData(loader);
  EXPECT_EQ(SumReply(sum), Ask(Packet(0x04, {0x5F, 0x04})));
  EXPECT_EQ("04 02 5F 02", Ask(Packet(0x04, {0x5F, 0x02})));
  // Firmware block of 1000 bytes at 0x00008000, chunks of 512 and 488.
  Bytes firmware = Stamped(1000, 0x21000007, 4242, 0x5A);
  EXPECT_EQ("04 05 5F 07 00 02 00", Ask(Packet(0x04, {0x5F, 0x03, 0x00, 0x00, 0x00, 0x80, 0x00})));
  Bytes first(firmware.begin(), firmware.begin() + 512);
  Bytes second(firmware.begin() + 512, firmware.end());
  sum = SendData(first);
  EXPECT_EQ(SumReply(sum), Ask(Packet(0x04, {0x5F, 0x04})));
  EXPECT_EQ("04 03 5F 07 00", Ask(Packet(0x04, {0x5F, 0x05, 0x02, 0x00})));
  sum = SendData(second);
  EXPECT_EQ(SumReply(sum), Ask(Packet(0x04, {0x5F, 0x04})));
  EXPECT_EQ("04 03 5F 07 00", Ask(Packet(0x04, {0x5F, 0x05, 0x01, 0xE8})));
  // Reboot: no reply, the link drops, the new version comes from the stamp.
  EXPECT_EQ("", Ask(Packet(0x04, {0x5F, 0x06})));
  EXPECT_TRUE(link->Closed());
  EXPECT_EQ((std::vector<std::string>{
                "module 40F5849A load: loader running",
                "module 40F5849A reboot into new firmware version 2.1.7 build 4242"}),
            sim.TakeEvents());
  qntest::TempDir dump;
  std::string error;
  ASSERT_TRUE(sim.DumpImages(cfg.serial, dump.path(), &error)) << error;
  EXPECT_EQ(std::string(firmware.begin(), firmware.end()),
            qntest::ReadFile(dump / "40F5849A-fw-00008000.bin"));
  EXPECT_EQ(std::string(loader.begin(), loader.end()),
            qntest::ReadFile(dump / "40F5849A-loader-10000000.bin"));
  link = sim.OpenLink(cfg.serial, now + 200);
  ASSERT_TRUE(link);
  now += 200;
  Send({0xAF, 0x01, 0x01});
  EXPECT_EQ("04 07 03 C7 20 21 00 00 07", Ask(Packet(0x04, {0x03, 0x47, 0x20})));
  EXPECT_EQ("04 06 49 FF 00 00 10 92", Ask(Packet(0x04, {0x49, 0xFF})));
}

TEST_F(UpgradeTest, LoadWithRestartSendsTheReplyOnTheNextLink) {
  ModuleConfig router = Module(0x40F5849A, 0x02);
  router.loadMode = modsim::LoadMode::kRestart;
  router.resetMs = 300;
  ModuleConfig device = Module(0x11112222, 0x06);
  device.behind = router.serial;
  device.tcpPort = -1;
  device.loadMode = modsim::LoadMode::kRestart;
  Start({router, device});
  // Behind the router: the router's link stays, the reply waits for a new one.
  EXPECT_EQ("06 06 5F 00 10 00 00 00", Ask(Packet(0x06, {0x5F, 0x00})));
  EXPECT_EQ("", Ask(Packet(0x06, {0x5F, 0x02})));
  now += 1000;
  Out();  // heartbeats only
  EXPECT_FALSE(link->Closed());
  std::unique_ptr<Link> again = sim.OpenLink(router.serial, now);
  Bytes start{0xAF, 0x01, 0x01};
  again->Receive(start.data(), start.size(), now);
  EXPECT_EQ("06 02 5F 02", Hex(again->TakeOutput(now)));
  EXPECT_EQ(2, sim.Status(device.serial).stage);
}

// A module whose loader was started through its boot ROM takes firmware
// blocks without INIT and LOAD; one running its firmware refuses them.
TEST_F(UpgradeTest, LoaderRunningModuleTakesFirmwareBlocksAtOnce) {
  ModuleConfig cfg = Module(0x40F5849A, 0x04);
  std::string error;
  ASSERT_TRUE(modsim::ParseModuleSpec("serial=40F5849A,addr=04,loader-running", &cfg, &error))
      << error;
  EXPECT_TRUE(cfg.loaderRunning);
  ModuleConfig plain = Module(0x11112222, 0x06);
  Start({cfg, plain});
  EXPECT_EQ(2, sim.Status(cfg.serial).stage);
  EXPECT_EQ(0, sim.Status(plain.serial).stage);
  EXPECT_EQ("04 05 5F 07 00 02 00", Ask(Packet(0x04, {0x5F, 0x03, 0x00, 0x00, 0x00, 0x80, 0x00})));
  Bytes firmware(100, 0x33);
  uint32_t sum = SendData(firmware);
  EXPECT_EQ(SumReply(sum), Ask(Packet(0x04, {0x5F, 0x04})));
  EXPECT_EQ("04 03 5F 07 00", Ask(Packet(0x04, {0x5F, 0x05, 0x00, 0x64})));
  EXPECT_EQ(firmware, sim.Status(cfg.serial).firmware.begin()->second);
}

TEST_F(SimTest, ReplyFaultsDropStrayWrongSerialAndClose) {
  ModuleConfig cfg = Module(0x40F5849A, 0x04);
  cfg.faults.dropReplies = {2};
  cfg.faults.strayAfterReply = 3;
  cfg.faults.closeAfterPackets = 6;  // AF 01 01 counts as the first
  cfg.faults.reportSerial = 0xCAFEF00D;
  Start({cfg});
  EXPECT_EQ("04 04 03 C8 20 04", Ask(Packet(0x04, {0x03, 0x48, 0x20})));
  EXPECT_EQ("", Ask(Packet(0x04, {0x03, 0x48, 0x20})));
  EXPECT_EQ("04 04 03 C8 20 04 01", Ask(Packet(0x04, {0x03, 0x48, 0x20})));
  EXPECT_EQ("04 07 03 C9 20 CA FE F0 0D", Ask(Packet(0x04, {0x03, 0x49, 0x20})));
  EXPECT_FALSE(link->Closed());
  EXPECT_EQ("04 04 03 C8 20 04", Ask(Packet(0x04, {0x03, 0x48, 0x20})));
  EXPECT_TRUE(link->Closed());
  EXPECT_EQ("", Ask(Packet(0x04, {0x03, 0x48, 0x20})));
}

TEST(ModSimBusy, MaxLinksRefusesExtraLinks) {
  Simulator sim;
  ModuleConfig cfg = Module(0x40F5849A, 0x04);
  cfg.faults.maxLinks = 1;
  std::string error;
  ASSERT_TRUE(sim.AddModule(cfg, &error));
  ASSERT_TRUE(sim.Validate(&error));
  std::unique_ptr<Link> first = sim.OpenLink(cfg.serial, 0);
  ASSERT_TRUE(first);
  Simulator::OpenResult why;
  EXPECT_FALSE(sim.OpenLink(cfg.serial, 0, &why));
  EXPECT_EQ(Simulator::OpenResult::kBusy, why);
  first.reset();
  EXPECT_TRUE(sim.OpenLink(cfg.serial, 0));
}

TEST(ModSimConfig, ModuleSpecsVersionsAndFiles) {
  ModuleConfig cfg;
  std::string error;
  ASSERT_TRUE(modsim::ParseModuleSpec(
      "serial=40f5849a,addr=0A router=02 version=2.1.5 build=0x10 port=0 node drop=2:5 "
      "data-count=always load=restart reset=silent busy",
      &cfg, &error))
      << error;
  EXPECT_EQ(0x40F5849Au, cfg.serial);
  EXPECT_EQ(0x0A, cfg.address);
  EXPECT_EQ(0x02, cfg.routerAddress);
  EXPECT_EQ(0x21000005u, cfg.version);
  EXPECT_EQ(16u, cfg.build);
  EXPECT_EQ((std::set<uint64_t>{2, 5}), cfg.faults.dropReplies);
  EXPECT_FALSE(modsim::ParseModuleSpec("addr=04", &cfg, &error));
  EXPECT_FALSE(modsim::ParseModuleSpec("serial=1,colour=red", &cfg, &error));
  EXPECT_EQ("unknown module key \"colour\"", error);
  EXPECT_FALSE(modsim::ParseModuleSpec("serial=1,port=70000", &cfg, &error));
  // Leading zeros are decimal, not octal.
  ASSERT_TRUE(modsim::ParseModuleSpec("serial=1,build=0099,model=010", &cfg, &error)) << error;
  EXPECT_EQ(99u, cfg.build);
  EXPECT_EQ(10, cfg.model);

  qntest::TempDir dir;
  ASSERT_TRUE(qntest::WriteFile(dir / "sim.conf",
                                "# a router and a device behind it\n"
                                "module serial=40F5849A addr=02 port=0\n"
                                "\n"
                                "  module serial=11112222 addr=06 behind=40F5849A\n"));
  std::vector<ModuleConfig> configs;
  ASSERT_TRUE(modsim::ParseConfigFile(dir / "sim.conf", &configs, &error)) << error;
  ASSERT_EQ(2u, configs.size());
  EXPECT_EQ(0x40F5849Au, configs[1].behind);
}

// --- The qn-modsim binary -------------------------------------------------

// A host-side byte pipe with bounded reads.
class RawPipe {
 public:
  explicit RawPipe(int fd) : fd_(fd) {}
  ~RawPipe() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Write(const Bytes& b) { ASSERT_EQ(ssize_t(b.size()), write(fd_, b.data(), b.size())); }
  // Reads until `count` bytes came, the peer closed or timeoutMs passed.
  Bytes Read(size_t count, int timeoutMs, bool* closed = nullptr) {
    Bytes out;
    if (closed) *closed = false;
    while (out.size() < count) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) break;
      uint8_t buf[256];
      ssize_t n = read(fd_, buf, std::min(sizeof buf, count - out.size()));
      if (n <= 0) {
        if (closed) *closed = true;
        break;
      }
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }

 private:
  int fd_;
};

int ConnectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(uint16_t(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(ModSimBinary, ServesModuleOverLoopbackTcp) {
  qntest::Background sim(
      {qntest::ToolPath("qn-modsim"), "--module",
       "serial=40F5849A,addr=04,model=13,version=2.1.3,build=77,port=0,reset-ms=300", "--module",
       "serial=11112222,addr=06,behind=40F5849A"});
  ASSERT_TRUE(sim.running());
  std::string line = sim.WaitForLine("module 40F5849A tcp ");
  ASSERT_EQ(0u, line.find("module 40F5849A tcp 127.0.0.1:")) << sim.Output();
  int port = atoi(line.substr(line.rfind(':') + 1).c_str());
  ASSERT_GT(port, 0);
  ASSERT_NE("", sim.WaitForLine("qn-modsim: ready"));

  RawPipe host(ConnectLoopback(port));
  ASSERT_TRUE(host.ok());
  host.Write({0xAF, 0x01, 0x01, 0xAD, 0x00});
  EXPECT_EQ("04 00", Hex(host.Read(2, 2000)));
  host.Write({0x04, 0x03, 0x03, 0x48, 0x20});
  EXPECT_EQ("04 04 03 C8 20 0D", Hex(host.Read(6, 2000)));
  host.Write({0x06, 0x03, 0x03, 0x49, 0x20});
  EXPECT_EQ("06 07 03 C9 20 11 11 22 22", Hex(host.Read(9, 2000)));
  // The module drives the heartbeat about every half second.
  EXPECT_EQ("04 02 00 00", Hex(host.Read(4, 2000)));
  host.Write({0x04, 0x02, 0x00, 0x02});
  EXPECT_EQ("04 02 00 01", Hex(host.Read(4, 2000)));
  host.Write({0x04, 0x02, 0x00, 0x03});

  // A reset drops the connection; the module refuses links until it is back.
  host.Write({0x04, 0x03, 0x03, 0x8B, 0x20});
  bool closed = false;
  host.Read(100, 2000, &closed);
  EXPECT_TRUE(closed);
  EXPECT_NE("", sim.WaitForLine("event: module 40F5849A reset", 2000));
  usleep(400 * 1000);
  RawPipe again(ConnectLoopback(port));
  ASSERT_TRUE(again.ok());
  again.Write({0xAF, 0x01, 0x01, 0x04, 0x03, 0x03, 0x47, 0x20});
  EXPECT_EQ("04 07 03 C7 20 21 00 00 03", Hex(again.Read(9, 2000)));
  EXPECT_EQ(0, sim.Stop());
}

TEST(ModSimBinary, ServesModuleThroughNodeSymlink) {
  qntest::TempDir dev;
  qntest::Background sim({qntest::ToolPath("qn-modsim"), "--dev-dir", dev.path(), "--module",
                          "serial=0012ABCD,addr=02,node"});
  std::string line = sim.WaitForLine("module 0012ABCD node ");
  std::string node = dev / "quillnode.0012ABCD";
  ASSERT_EQ("module 0012ABCD node " + node + " -> ", line.substr(0, line.find("-> ") + 3));
  ASSERT_NE("", sim.WaitForLine("qn-modsim: ready"));
  {
    RawPipe host(open(node.c_str(), O_RDWR | O_NOCTTY));
    ASSERT_TRUE(host.ok()) << node;
    host.Write({0xAF, 0x01, 0x01, 0x02, 0x03, 0x03, 0x48, 0x20});
    EXPECT_EQ("02 04 03 C8 20 04", Hex(host.Read(6, 2000)));
    // A reset removes the node; it comes back on a new pty.
    host.Write({0x02, 0x03, 0x03, 0x8B, 0x20});
    bool closed = false;
    host.Read(100, 2000, &closed);
    EXPECT_TRUE(closed);
  }
  std::string again = sim.WaitForLine("module 0012ABCD node ", 3000);
  ASSERT_NE("", again);  // the kernel may hand out the same pty number again
  RawPipe host(open(node.c_str(), O_RDWR | O_NOCTTY));
  ASSERT_TRUE(host.ok()) << node;
  host.Write({0xAF, 0x01, 0x01, 0x02, 0x03, 0x03, 0x49, 0x20});
  EXPECT_EQ("02 07 03 C9 20 00 12 AB CD", Hex(host.Read(9, 2000)));
  EXPECT_EQ(0, sim.Stop());
  EXPECT_FALSE(qntest::FileExists(node));
}

TEST(ModSimBinary, CommandLineErrorsAndHelp) {
  qntest::RunResult help = qntest::Run({qntest::ToolPath("qn-modsim"), "--help"});
  EXPECT_EQ(0, help.status);
  for (const char* needle :
       {"--module SPEC", "--discovery IFADDR", "--dev-dir DIR", "never-back"}) {
    EXPECT_NE(std::string::npos, help.out.find(needle)) << needle;
  }
  // Bad command lines end with status 2, endpoints that cannot be set up with 1.
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{}, 2, "qn-modsim: no modules given (use --module or --config; see --help)\n"},
      {{"--module", "serial=1,addr=3"}, 2, "qn-modsim: bad value for module key \"addr\": \"3\"\n"},
      {{"--module", "serial=2,addr=04,behind=3"},
       2,
       "qn-modsim: module 00000002: behind 00000003, which is not a direct module\n"},
      {{"--bind", "nowhere", "--module", "serial=2,port=0"},
       1,
       "qn-modsim: bad --bind address nowhere\n"},
      {{"--bind", "192.0.2.1", "--module", "serial=2,port=0"},
       1,
       "qn-modsim: module 00000002: tcp 192.0.2.1:0: "},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{qntest::ToolPath("qn-modsim")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    qntest::RunResult r = qntest::Run(argv);
    EXPECT_EQ(c.status, r.status) << r.err;
    EXPECT_EQ(c.err, r.err.substr(0, c.err.size()));
  }
}

// Runs in a child inside a network namespace of its own: brings its loopback
// up with multicast, starts qn-modsim's discovery responder there and sends
// one request. Writes "SKIP <why>" or the sender and reply bytes to `out`.
void DiscoveryInOwnNamespace(int out) {
  auto say = [out](const std::string& text) {
    ssize_t ignored = write(out, text.data(), text.size());
    (void)ignored;
  };
  if (unshare(CLONE_NEWNET) != 0) {
    say(std::string("SKIP cannot create a network namespace: ") + strerror(errno));
    return;
  }
  int ctl = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq ifr{};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  if (ioctl(ctl, SIOCGIFFLAGS, &ifr) != 0) {
    say(std::string("SKIP no loopback in the namespace: ") + strerror(errno));
    return;
  }
  ifr.ifr_flags |= IFF_UP | IFF_MULTICAST;
  if (ioctl(ctl, SIOCSIFFLAGS, &ifr) != 0) {
    say(std::string("SKIP cannot bring the namespace's loopback up: ") + strerror(errno));
    return;
  }
  close(ctl);
  int rx = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(9889);
  timeval tv{2, 0};
  setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (bind(rx, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
    say(std::string("FAIL bind 9889: ") + strerror(errno));
    return;
  }
  qntest::Background sim({qntest::ToolPath("qn-modsim"), "--discovery", "127.0.0.1", "--module",
                          "serial=40F5849A,addr=04,model=13,port=9004", "--module",
                          "serial=11112222,addr=06,behind=40F5849A"});
  if (sim.WaitForLine("qn-modsim: ready").empty()) {
    say("FAIL simulator not ready: " + sim.Output());
    return;
  }
  int tx = socket(AF_INET, SOCK_DGRAM, 0);
  in_addr lo{htonl(INADDR_LOOPBACK)};
  setsockopt(tx, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(9888);
  inet_pton(AF_INET, "232.2.2.2", &group.sin_addr);
  uint8_t notRequest[16] = {0x05};
  uint8_t request[16] = {0x01};
  sendto(tx, notRequest, sizeof notRequest, 0, reinterpret_cast<sockaddr*>(&group), sizeof group);
  sendto(tx, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group);
  std::string result;
  for (;;) {
    uint8_t buf[64];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(rx, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) break;
    char addr[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, addr, sizeof addr);
    result += std::string(addr) + ": " + Hex(Bytes(buf, buf + n)) + "\n";
  }
  say(result);
}

TEST(ModSimBinary, AnswersDiscoveryInsideOwnNetworkNamespace) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    DiscoveryInOwnNamespace(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 15000) <= 0) break;
    char buf[512];
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    report.append(buf, size_t(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (report.compare(0, 5, "SKIP ") == 0) GTEST_SKIP() << report.substr(5);
  // One reply for the direct module only, from its address, to port 9889:
  // marker, module address, port 9004 LSB first, serial LSB first, IPv4,
  // model, router address.
  EXPECT_EQ("127.0.0.1: 02 04 2C 23 9A 84 F5 40 7F 00 00 01 0D 04 00 00\n", report);
}

}  // namespace
