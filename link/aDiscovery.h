// Module discovery: USB enumeration through libusb-1.0 and TCP/IP discovery
// through a UDP multicast request that modules answer.
//
// TCP/IP discovery datagrams (UDP):
//   request, 16 bytes, to group 232.2.2.2 port 9888 on every local IPv4
//   interface: byte 0 = 0x01, bytes 1..15 = 0x00.
//   reply, 16 bytes, received on port 9889 of the host (aIPDiscoveryInfo):
//     offset 0  size 1  not used
//     offset 1  size 1  module address
//     offset 2  size 2  TCP port of the module's link service, LSB first
//     offset 4  size 4  serial number, LSB first
//     offset 8  size 4  not used
//     offset 12 size 1  model number
//     offset 13 size 3  not used
//   A reply too short to carry the model byte reads as model 255.
//
// Everything here runs in the calling thread and shares nothing with open
// links; the functions are safe to call from several threads at once except
// that two TCP/IP enumerations in one network namespace compete for the
// reply port.
#ifndef QN_LINK_ADISCOVERY_H
#define QN_LINK_ADISCOVERY_H

#include <stddef.h>
#include <stdint.h>

#include "link/aLinkTypes.h"

struct sockaddr;

#define aDISCOVERY_GROUP "232.2.2.2"
#define aDISCOVERY_REQUEST_PORT 9888
#define aDISCOVERY_REPLY_PORT 9889
#define aDISCOVERY_DATAGRAM_SIZE 16
#define aDISCOVERY_REPLY_TIMEOUT_MS 2000

// USB identity of a module.
#define aDISCOVERY_USB_VENDOR 0x24FF

// Called once per module found. `spec` is owned by the enumeration and
// released after the call returns; copy the whole record to keep it.
// `found` is false on entry; setting it makes the module count in the
// enumeration's result. Return true to go on enumerating, false to stop.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* found, void* ref);

// Enumerates the modules on one link type (LINK_USB or LINK_TCPIP; any other
// type gives 0 at once) and returns how many the callback counted (8 bits,
// at most 255).
// A TCP/IP enumeration lasts until 2 seconds after the last reply unless the
// callback stops it. Reports no errors: failures just mean fewer modules.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref);

// A new spec owned by the caller for the first module with this serial
// number, or null.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber);

// A new spec owned by the caller for the first module whose serial number is
// not 0, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type);

// --- Pieces of the enumeration, pure functions -----------------------------

// True for vendor 0x24FF and a product id from 0x0000 to 0x7FFF.
bool is_quillnode_device(uint16_t vendorId, uint16_t productId);

// Parses a USB serial-number string: exactly eight upper-case hexadecimal
// digits, the module's identity. A lower-case string is not a module's: it
// could never be opened by its serial number (the open compares the text),
// so listing it would only give an error row. False for any other text;
// `serial` is then untouched.
bool aDiscovery_ParseUSBSerial(const char* text, uint32_t* serial);

// Fills the 16-byte discovery request.
void aDiscovery_BuildRequest(uint8_t request[aDISCOVERY_DATAGRAM_SIZE]);

// Fills a TCPIP spec from a reply of `length` bytes (0..16; bytes beyond it
// read as 0, the model byte as 0xFF) sent from `senderAddress` (IPv4, network
// byte order). Returns aErrParam for a null spec or reply.
aErr aDiscovery_ReplyToSpec(const uint8_t* reply, size_t length, uint32_t senderAddress,
                            linkSpec* spec);

// The IPv4 address of an AF_INET socket address in host byte order; 0 for a
// null address or any other family.
uint32_t SockAddrToUint32(const struct sockaddr* address);

#endif  // QN_LINK_ADISCOVERY_H
