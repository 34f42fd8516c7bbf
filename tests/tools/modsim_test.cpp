// Tests of the module simulator: the state machine driven byte by byte with
// a virtual clock, and one run of the qn-modsim binary over loopback TCP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tools/qn-modsim/ModSim.h"

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
  modsim::LinkStats st = link->Stats();
  EXPECT_EQ(3u, st.heartbeatsSent);
  EXPECT_EQ(1u, st.heartbeatAnswers);
  EXPECT_EQ(1u, st.heartbeatsMissed);
  // Heartbeat answers are not host packets (they do not count for faults).
  EXPECT_EQ(1u, st.packetsIn);
  // Stop: no more heartbeats.
  Send({0xAF, 0x01, 0x00});
  now += 2000;
  EXPECT_EQ("", Hex(Out()));
}

}  // namespace
