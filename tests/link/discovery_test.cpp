// Discovery pieces that need no network or bus: identity and serial rules,
// the datagram formats, and the types that are never enumerated.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include "link/aDiscovery.h"

namespace {

bool CountCall(const linkSpec*, bool* found, void* ref) {
  ++*(int*)ref;
  *found = true;
  return true;
}

TEST(DiscoveryIdentityTest, SerialStringsAreExactlyEightHexDigits) {
  uint32_t serial = 7;
  for (auto good : {std::make_pair("0012ABCD", 0x0012ABCDu), std::make_pair("FFFFFFFF", ~0u)}) {
    EXPECT_TRUE(aDiscovery_ParseUSBSerial(good.first, &serial));
    EXPECT_EQ(serial, good.second);
  }
  serial = 7;
  // Lower case is not a module's serial string: the open by serial number
  // compares the text, so such a device could only ever give an error row.
  for (const char* bad : {"ffffffff", "0012abCD", "12ABCD", "0012ABCDE", "0012ABCG", " 012ABCD", "",
                          (const char*)nullptr}) {
    EXPECT_FALSE(aDiscovery_ParseUSBSerial(bad, &serial)) << (bad ? bad : "null");
  }
  EXPECT_EQ(serial, 7u) << "untouched on failure";
}

// A full reply's fields reach the device rows of the integration tests
// (TCP/IP discovery through the Updater); what they never send is a short one.
TEST(DiscoveryDatagramTest, AShortReplyReadsAsModel255AndKeepsNothingOfTheOneBefore) {
  const uint8_t reply[16] = {0x01, 0x04, 0x2C, 0x23, 0x78, 0x56, 0x34, 0x12,
                             0x00, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x00, 0x00};
  linkSpec* spec = aLinkSpec_Create(LINK_TCPIP);
  ASSERT_NE(spec, nullptr);
  ASSERT_EQ(aDiscovery_ReplyToSpec(reply, sizeof(reply), inet_addr("192.168.1.20"), spec),
            aErrNone);
  EXPECT_EQ(spec->routerSerialNumber, 0x12345678u);
  const uint8_t shortReply[6] = {0, 0x08, 0x11, 0x27, 0xAA, 0xBB};
  ASSERT_EQ(aDiscovery_ReplyToSpec(shortReply, sizeof(shortReply), 2, spec), aErrNone);
  EXPECT_EQ(spec->model, 255u);
  EXPECT_EQ(spec->module, 0x08u);
  EXPECT_EQ(spec->port, 0x2711u);
  EXPECT_EQ(spec->serialNumber, 0x0000BBAAu) << "missing bytes read as zero";
  ASSERT_EQ(aDiscovery_ReplyToSpec(shortReply, 0, 3, spec), aErrNone);
  EXPECT_EQ(spec->serialNumber, 0u);
  EXPECT_EQ(spec->model, 255u);
  aLinkSpec_Destroy(&spec);
}

TEST(DiscoveryEnumerationTest, OnlyUSBAndTCPIPAreEnumerated) {
  int calls = 0;
  EXPECT_EQ(aDiscovery_EnumerateModules(LINK_INVALID, CountCall, &calls), 0);
  EXPECT_EQ(aDiscovery_EnumerateModules(LINK_RECOVER, CountCall, &calls), 0);
  EXPECT_EQ(aDiscovery_EnumerateModules(255, CountCall, &calls), 0);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(aDiscovery_FindModule(LINK_RECOVER, 0x12345678), nullptr);
  EXPECT_EQ(aDiscovery_FindFirstModule(LINK_INVALID), nullptr);
}

}  // namespace
