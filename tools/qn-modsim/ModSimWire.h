// Wire constants of the module link as seen from the module's side: packet
// framing, link control traffic, system and upgrade command codes, and the
// TCP/IP discovery datagram. One place for every byte value the simulator
// answers to, so the state machine reads as protocol, not as magic numbers.
#ifndef QN_TOOLS_MODSIM_MODSIMWIRE_H
#define QN_TOOLS_MODSIM_MODSIMWIRE_H

#include <cstddef>
#include <cstdint>

namespace modsim {
namespace wire {

// Framing: address, length (0..28), data. No marker, checksum or escaping.
constexpr size_t kMaxData = 28;
constexpr size_t kMaxPacket = kMaxData + 2;

// Link control addresses (odd, never a module address).
constexpr uint8_t kAddrQuery = 0xAD;     // zero-length: module address query / sync request
constexpr uint8_t kAddrControl = 0xAF;   // AF 01 01 link start, AF 01 00 link stop
constexpr uint8_t kControlStart = 0x01;  // the one data byte
constexpr uint8_t kControlStop = 0x00;
// A sync request is six zero-length packets to kAddrQuery in a row; a single
// one is an address query. Two or more in one burst are answered as a sync.
constexpr int kSyncRequestPackets = 6;

// Heartbeats: module sends a 02 00 00 / a 02 00 01, host answers 00 02 / 00 03.
constexpr uint8_t kHeartbeatByte = 0x00;
constexpr uint8_t kHeartbeatAnswerOffset = 0x02;

// Commands.
constexpr uint8_t kCmdSystem = 0x03;
constexpr uint8_t kCmdBuild = 0x49;
constexpr uint8_t kBuildSelector = 0xFF;
constexpr uint8_t kCmdUpgrade = 0x5F;
constexpr uint8_t kCmdError = 0x80;

// System requests: 03, 0x40 + value (read) or 0x80 + value (set), flags [, parameter].
// Replies: 03, value + 0xC0, status (request flags, bit 7 set when refused), result.
constexpr uint8_t kSysRead = 0x40;
constexpr uint8_t kSysSet = 0x80;
constexpr uint8_t kSysReplyBase = 0xC0;
constexpr uint8_t kSysRefused = 0x80;
constexpr uint8_t kSysDefaultFlags = 0x20;

enum SystemValue : uint8_t {
  kValModuleAddr = 1,
  kValRouterAddr = 2,
  kValHeartbeat = 3,
  kValLed = 4,
  kValSleep = 5,
  kValBootSlot = 6,
  kValVersion = 7,
  kValModel = 8,
  kValSerial = 9,
  kValSave = 10,
  kValReset = 11,
  kValVoltage = 12,
  kValHwOffset = 13,
  kValHwBase = 14,
  kValHwSoftware = 15,
  kValRouterAddrSetting = 16,
  kValRouteToMe = 20,
};

// Upgrade command 0x5F, second byte.
enum UpgradeValue : uint8_t {
  kUpInit = 0,
  kUpData = 1,
  kUpLoad = 2,
  kUpPrepare = 3,
  kUpSum = 4,
  kUpWrite = 5,
  kUpReboot = 6,
  kUpStatus = 7,
};
constexpr size_t kMaxDataPerPacket = kMaxData - 2;  // 26 image bytes per DATA

// TCP/IP discovery: 16-byte request (byte 0 = 0x01) to 232.2.2.2:9888; the
// 16-byte reply goes to the requester's port 9889. Integers LSB first.
constexpr uint16_t kDiscoveryPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr const char* kDiscoveryGroup = "232.2.2.2";
constexpr size_t kDiscoverySize = 16;
constexpr uint8_t kDiscoveryRequest = 0x01;
// Reply offsets used by hosts: 1 module address, 2..3 TCP port, 4..7 serial,
// 12 model. The others are unused by hosts; the simulator fills them with a
// reply marker (0), the IPv4 address (8..11, network order) and the router
// address (13) for human readers of packet dumps.
constexpr uint8_t kDiscoveryReplyMarker = 0x02;

// USB identity, for a bus emulator that carries Links over bulk endpoints:
// vendor 0x24FF, product id 0x0000..0x7FFF whose low byte is the model, the
// serial-number string is the serial as "%08X", and the link interface is the
// alternate setting with class FF, subclass 88, protocol 10 and one bulk IN
// and one bulk OUT endpoint. A kernel driver's node is "quillnode.%08X".
constexpr uint16_t kUsbVendorId = 0x24FF;
constexpr uint8_t kUsbInterfaceClass = 0xFF;
constexpr uint8_t kUsbInterfaceSubclass = 0x88;
constexpr uint8_t kUsbInterfaceProtocol = 0x10;
constexpr const char* kNodeNameFormat = "quillnode.%08X";

// Firmware stamp inside an image: "QNFWSTMP", packed version (u32 BE), build (u32 BE).
constexpr const char* kStampMagic = "QNFWSTMP";
constexpr size_t kStampSize = 16;

}  // namespace wire
}  // namespace modsim

#endif  // QN_TOOLS_MODSIM_MODSIMWIRE_H
