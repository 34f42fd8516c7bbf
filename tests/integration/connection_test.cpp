// The protocol client's discovery and connection against simulated modules
// in the test's private network.
#include <gtest/gtest.h>

#include <unistd.h>

#include <set>

#include "app/Log.h"
#include "protocol/QuillnodeNetwork.h"
#include "tests/support/Lab.h"

namespace {

class ConnectionTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(qntest::EnterPrivateNetwork(&why)) << why;
  }
};

TEST_F(ConnectionTest, ConnectChecksTheModulesIdentity) {
  qntest::ModuleSim sim({"serial=40F5849A,port=0,model=4,addr=08",
                         "serial=11111111,port=0,report-serial=22222222"});
  ASSERT_TRUE(sim.ready()) << sim.Output();

  NetworkClass net(0);
  ASSERT_EQ(net.Connect(LINK_TCPIP, 0x40F5849A, false), (aErr)aErrNone);
  EXPECT_EQ(net.connectionType, (linkType)LINK_TCPIP);
  EXPECT_EQ(net.moduleAddress, 0x08);
  ASSERT_NE(net.spec, nullptr);
  EXPECT_EQ(net.spec->port, (uint32_t)sim.Port("40F5849A"));
  EXPECT_EQ(net.GetModel(), 4);
  net.Release();
  EXPECT_EQ(net.linkId, 0u);
  EXPECT_EQ(net.spec, nullptr);

  // A module that answers with another serial number is not taken.
  EXPECT_EQ(net.Connect(LINK_TCPIP, 0x11111111, false), (aErr)aErrNotFound);
  EXPECT_EQ(net.linkId, 0u);
  EXPECT_EQ(net.spec, nullptr);
}

TEST_F(ConnectionTest, ReconnectAfterAResetFindsTheModuleAgain) {
  qntest::ModuleSim sim({"serial=40F5849A,port=0,reset-ms=300"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  NetworkClass net(0);
  ASSERT_EQ(net.Connect(LINK_TCPIP, 0x40F5849A, false), (aErr)aErrNone);
  net.Reset();
  // Reconnect keeps the module's address from the first connect, so it
  // succeeds at once when the module is back (a connect that fails drops
  // that address and ends the attempts).
  ASSERT_FALSE(sim.WaitForLine("40F5849A", 5000).empty());  // the reset event
  usleep(600 * 1000);
  Log::ActivatePackage(DEBUG_Network);
  testing::internal::CaptureStdout();
  aErr err = net.Reconnect(500);
  std::string out = testing::internal::GetCapturedStdout();
  Log::package_bitmask = 0;
  EXPECT_EQ(err, (aErr)aErrNone) << out;
  EXPECT_NE(out.find("NETWORK: Attempting to reconnect. Attempt: 1 of 5\n"), std::string::npos);
  EXPECT_NE(out.find("NETWORK: Reconnected to device\n"), std::string::npos);
  EXPECT_EQ(net.GetSerialNumber(), 0x40F5849Au);
}

TEST_F(ConnectionTest, DiscoveryRemembersModulesAndFindsTheLinkType) {
  qntest::ModuleSim sim({"serial=40F5849A,port=0,model=4", "serial=0012ABCD,port=0,model=5,addr=06"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  NetworkClass net(0);
  EXPECT_EQ(net.Discover(LINK_TCPIP), (aErr)aErrNone);
  ASSERT_EQ(net.deviceCount, 2u);
  std::set<uint32_t> serials{net.deviceSerials[0], net.deviceSerials[1]};
  EXPECT_EQ(serials, (std::set<uint32_t>{0x40F5849A, 0x0012ABCD}));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(net.devices[i].type, (uint32_t)LINK_TCPIP);
    EXPECT_EQ(net.devices[i].module, net.devices[i].serialNumber == 0x0012ABCD ? 0x06 : 0x02);
  }
  // A second discovery appends.
  net.Discover(LINK_TCPIP);
  EXPECT_EQ(net.deviceCount, 4u);

  NetworkClass finder(0);
  finder.DiscoverLinkType(0x0012ABCD);
  EXPECT_EQ(finder.connectionType, (linkType)LINK_TCPIP);
  EXPECT_TRUE(finder.IsAvailable(LINK_TCPIP, 0x0012ABCD));
  EXPECT_FALSE(finder.IsAvailable(LINK_TCPIP, 0x99999999));
}

}  // namespace
