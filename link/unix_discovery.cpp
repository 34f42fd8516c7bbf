// Module discovery over USB (libusb-1.0) and TCP/IP (UDP multicast).
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <libusb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "link/aBytes.h"
#include "link/aDiscovery.h"
#include "link/aTime.h"

namespace {

// A flood of replies must not keep an enumeration alive for ever: however
// the replies keep coming, it ends this long after it started.
const unsigned long kTCPIPMaxEnumerationMs = 30000;

// The model byte of the reply.
const size_t kReplyModelOffset = 12;

// The count is 8 bits wide; it stops at 255 rather than wrap to 0 and make a
// busy network look empty.
void sCount(uint8_t* count) {
  if (*count < 255) ++*count;
}

struct sFindRef {
  linkSpec* result;
  uint32_t serialNumber;
};

void sCopyToUSBLinkspec(linkSpec* spec, uint32_t serialNumber, uint16_t productId) {
  spec->serialNumber = serialNumber;
  spec->module = 0;
  spec->router = 0;
  spec->routerSerialNumber = 0;
  spec->model = productId & 0xFFu;
  spec->linkAddress = serialNumber;
}

void sCopyToTCPIPLinkspec(linkSpec* spec, const uint8_t* info, uint32_t senderAddress) {
  spec->module = info[1];
  spec->router = info[1];
  spec->port = aBytes_GetLE16(info + 2);
  spec->serialNumber = aBytes_GetLE32(info + 4);
  spec->routerSerialNumber = spec->serialNumber;
  spec->model = info[kReplyModelOffset];
  spec->linkAddress = senderAddress;
}

// Reads the serial string of an opened module; false when it is not exactly
// eight hexadecimal digits.
bool sReadUSBSerial(libusb_device_handle* handle, uint8_t index, uint32_t* serial) {
  unsigned char text[32];
  memset(text, 0, sizeof(text));
  int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof(text) - 1);
  if (n != 8) return false;
  return aDiscovery_ParseUSBSerial((const char*)text, serial);
}

uint8_t sEnumerateUSB(aDiscoveryModuleFoundProc callback, void* ref) {
  libusb_context* context = nullptr;
  if (libusb_init(&context) != 0) return 0;
  uint8_t count = 0;
  libusb_device** list = nullptr;
  ssize_t n = libusb_get_device_list(context, &list);
  bool goOn = true;
  for (ssize_t i = 0; i < n && goOn; i++) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(list[i], &descriptor) != 0) continue;
    if (!is_quillnode_device(descriptor.idVendor, descriptor.idProduct)) continue;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(list[i], &handle) != 0 || !handle) continue;
    uint32_t serial = 0;
    if (sReadUSBSerial(handle, descriptor.iSerialNumber, &serial)) {
      linkSpec* spec = aLinkSpec_Create(LINK_USB);
      if (spec) {
        sCopyToUSBLinkspec(spec, serial, descriptor.idProduct);
        bool found = false;
        goOn = callback(spec, &found, ref);
        if (found) sCount(&count);
        aLinkSpec_Destroy(&spec);
      }
    }
    libusb_close(handle);
  }
  if (list) libusb_free_device_list(list, 1);
  libusb_exit(context);
  return count;
}

void sTCPIPCleanup(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// The reply socket: any local address, the reply port, a 2-second receive
// time-out. -1 when any step fails.
int sTCPIPSetupListener() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in local;
  memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(aDISCOVERY_REPLY_PORT);
  timeval timeout;
  timeout.tv_sec = aDISCOVERY_REPLY_TIMEOUT_MS / 1000;
  timeout.tv_usec = (aDISCOVERY_REPLY_TIMEOUT_MS % 1000) * 1000;
  if (bind(fd, (const sockaddr*)&local, sizeof(local)) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
    sTCPIPCleanup(&fd);
  }
  return fd;
}

// Sends the request through the interface with this address (network byte
// order; 0 lets the system choose).
bool sTCPIPMultiCast(uint32_t interfaceAddress) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  int on = 1;
  in_addr outgoing;
  outgoing.s_addr = interfaceAddress;
  sockaddr_in group;
  memset(&group, 0, sizeof(group));
  group.sin_family = AF_INET;
  group.sin_port = htons(aDISCOVERY_REQUEST_PORT);
  inet_pton(AF_INET, aDISCOVERY_GROUP, &group.sin_addr);
  uint8_t request[aDISCOVERY_DATAGRAM_SIZE];
  aDiscovery_BuildRequest(request);
  bool sent = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 &&
              setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof(outgoing)) == 0 &&
              sendto(fd, request, sizeof(request), 0, (const sockaddr*)&group, sizeof(group)) ==
                  (ssize_t)sizeof(request);
  sTCPIPCleanup(&fd);
  return sent;
}

// One request per local IPv4 interface other than 127.0.0.1 and 0.0.0.0;
// true when at least one went out.
bool sTCPIPSendRequests() {
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return sTCPIPMultiCast(htonl(INADDR_ANY));
  bool sent = false;
  for (ifaddrs* it = interfaces; it; it = it->ifa_next) {
    uint32_t address = SockAddrToUint32(it->ifa_addr);
    if (address == 0 || address == INADDR_LOOPBACK) continue;
    if (sTCPIPMultiCast(htonl(address))) sent = true;
  }
  freeifaddrs(interfaces);
  return sent;
}

// Waits for the next reply until `deadline` (in aTime_GetMSTicks); false on
// time-out or error.
bool sTCPIPWaitForReply(int listener, unsigned long deadline) {
  unsigned long now = aTime_GetMSTicks();
  if (now >= deadline) return false;
  unsigned long left = deadline - now;
  timeval timeout;
  timeout.tv_sec = (time_t)(left / 1000);
  timeout.tv_usec = (suseconds_t)((left % 1000) * 1000);
  return setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) == 0;
}

// The search ends aDISCOVERY_REPLY_TIMEOUT_MS after the request, or after the
// last reply that the callback counted: replies it passes over (other
// modules, or a host that keeps sending) do not stretch the window.
uint8_t sEnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* ref) {
  unsigned long start = aTime_GetMSTicks();
  int listener = sTCPIPSetupListener();
  uint8_t count = 0;
  if (listener >= 0 && sTCPIPSendRequests()) {
    bool goOn = true;
    unsigned long windowEnd = aTime_GetMSTicks() + aDISCOVERY_REPLY_TIMEOUT_MS;
    while (goOn) {
      unsigned long deadline = windowEnd;
      if (deadline > start + kTCPIPMaxEnumerationMs) deadline = start + kTCPIPMaxEnumerationMs;
      if (!sTCPIPWaitForReply(listener, deadline)) break;
      uint8_t reply[aDISCOVERY_DATAGRAM_SIZE];
      sockaddr_in sender;
      socklen_t senderLength = sizeof(sender);
      memset(&sender, 0, sizeof(sender));
      ssize_t n = recvfrom(listener, reply, sizeof(reply), 0, (sockaddr*)&sender, &senderLength);
      if (n < 0) break;
      linkSpec* spec = aLinkSpec_Create(LINK_TCPIP);
      if (!spec) break;
      aDiscovery_ReplyToSpec(reply, (size_t)n, sender.sin_addr.s_addr, spec);
      bool found = false;
      goOn = callback(spec, &found, ref);
      if (found) {
        sCount(&count);
        windowEnd = aTime_GetMSTicks() + aDISCOVERY_REPLY_TIMEOUT_MS;
      }
      aLinkSpec_Destroy(&spec);
    }
  }
  sTCPIPCleanup(&listener);
  return count;
}

bool cbSNCallback(const linkSpec* spec, bool* found, void* ref) {
  sFindRef* find = (sFindRef*)ref;
  if (spec->serialNumber != find->serialNumber) return true;
  *find->result = *spec;
  *found = true;
  return false;
}

bool cbFirstCallback(const linkSpec* spec, bool* found, void* ref) {
  sFindRef* find = (sFindRef*)ref;
  if (spec->serialNumber == 0) return true;
  *find->result = *spec;
  *found = true;
  return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, aDiscoveryModuleFoundProc callback) {
  sFindRef find;
  find.result = aLinkSpec_Create(type);
  find.serialNumber = serialNumber;
  if (!find.result) return nullptr;
  find.result->serialNumber = serialNumber;
  if (aDiscovery_EnumerateModules(type, callback, &find) == 0) aLinkSpec_Destroy(&find.result);
  return find.result;
}

}  // namespace

linkSpec* aLinkSpec_Create(linkType type) {
  linkSpec* spec = (linkSpec*)calloc(1, sizeof(linkSpec));
  if (spec) spec->type = type;
  return spec;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
  if (!spec || !*spec) return aErrParam;
  free(*spec);
  *spec = nullptr;
  return aErrNone;
}

bool is_quillnode_device(uint16_t vendorId, uint16_t productId) {
  return vendorId == aDISCOVERY_USB_VENDOR && (int16_t)productId >= 0;
}

bool aDiscovery_ParseUSBSerial(const char* text, uint32_t* serial) {
  if (!text || !serial || strlen(text) != 8) return false;
  uint32_t value = 0;
  for (int i = 0; i < 8; i++) {
    char c = text[i];
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = (uint32_t)(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = (uint32_t)(c - 'A' + 10);
    } else {
      return false;
    }
    value = (value << 4) | digit;
  }
  *serial = value;
  return true;
}

void aDiscovery_BuildRequest(uint8_t request[aDISCOVERY_DATAGRAM_SIZE]) {
  memset(request, 0, aDISCOVERY_DATAGRAM_SIZE);
  request[0] = 0x01;
}

aErr aDiscovery_ReplyToSpec(const uint8_t* reply, size_t length, uint32_t senderAddress,
                            linkSpec* spec) {
  if (!reply || !spec) return aErrParam;
  // Each reply is read into a cleared buffer whose model byte is preset to
  // 0xFF, so a short reply never carries bytes of an earlier one.
  uint8_t info[aDISCOVERY_DATAGRAM_SIZE];
  memset(info, 0, sizeof(info));
  info[kReplyModelOffset] = 0xFF;
  memcpy(info, reply, length < sizeof(info) ? length : sizeof(info));
  sCopyToTCPIPLinkspec(spec, info, senderAddress);
  return aErrNone;
}

uint32_t SockAddrToUint32(const struct sockaddr* address) {
  if (!address || address->sa_family != AF_INET) return 0;
  return ntohl(((const sockaddr_in*)address)->sin_addr.s_addr);
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref) {
  if (!callback) return 0;
  if (type == LINK_USB) return sEnumerateUSB(callback, ref);
  if (type == LINK_TCPIP) return sEnumerateTCPIP(callback, ref);
  return 0;
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber) {
  return sFind(type, serialNumber, cbSNCallback);
}

linkSpec* aDiscovery_FindFirstModule(linkType type) { return sFind(type, 0, cbFirstCallback); }
