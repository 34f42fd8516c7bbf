#include "protocol/QuillnodeNetwork.h"

#include <string.h>

#include "app/Log.h"
#include "link/aBytes.h"
#include "link/aLink.h"
#include "link/aTime.h"
#include "link/aVersion.h"

const char* const NetworkClass::link_names[NetworkClass::n_link_names] = {"INVALID", "USB", "TCPIP",
                                                                          "RECOVER"};

const char* const NetworkClass::COMMAND_NAMES[NetworkClass::MAX_COMMAND + 1] = {
    "unknown",
    "module-addr",
    "router-addr",
    "heartbeat",
    "LED",
    "sleep",
    "boot-slot",
    "version",
    "model",
    "serial",
    "save",
    "reset",
    "voltage",
    "module-hw-offset",
    "module-hw-base",
    "module-hw-software",
    "module-router-addr-setting",
    "unknown"};

const char* const* const NetworkClass::ERROR_TEXT = aErr_TEXT;

const char* const NetworkClass::MODEL_NAMES[NetworkClass::N_MODELS + 1] = {
    "unknown",   "Hub4",       "Hub7",      "Switch2",  "Tarlinx",    "Relay8", "DigitalIO16",
    "AnalogIn8", "AnalogOut4", "Thermo4",   "Counter4", "Stepper2",   "Servo8", "Router",
    "PowerMon",  "Serial2",    "CANBridge", "RS485",    "Display",    "Keypad", "Encoder2",
    "PWM8",      "Gateway",    "Logger",    "Sensor6",  "MODEL LIMIT"};

namespace {

const unsigned int kReplyTimeoutMs = 1000;
const unsigned char kLinkControlAddress = 0xAD;

// Takes the result out of a query's reply and frees the reply: the byte at
// `offset`, or with `wide` the four big-endian bytes there. When the query
// failed, logs that no `what` reply came and returns `failed`.
unsigned int sQueryResult(const NetworkClass& net, aPacketOwner reply, unsigned int offset,
                          bool wide, unsigned int failed, const char* what) {
  unsigned int result = failed;
  if (reply && net.lastError == aErrNone)
    result = wide ? aBytes_GetBE32(&reply->data[offset]) : reply->data[offset];
  if (net.lastError != aErrNone) {
    Log::FPrintf(stdout, DEBUG_Network, "NETWORK: Error no response to %s request to [%08X].\n",
                 what, net.serialNumber);
    return failed;
  }
  return result;
}

}  // namespace

NetworkClass::NetworkClass(linkType type)
    : spec(nullptr),
      linkId(0),
      moduleAddress(0),
      lastError(aErrNone),
      serialNumber(0),
      connectionType(type),
      firmwareVersion(0),
      deviceCount(0) {
  memset(deviceSerials, 0, sizeof(deviceSerials));
  memset(devices, 0, sizeof(devices));
  memset(&deviceSerials[0], 0xFF, sizeof(deviceSerials[0]));
  memset(&devices[0], 0xFF, sizeof(devices[0]));
}

NetworkClass::~NetworkClass() {
  if (linkId != 0) aLink_Destroy(&linkId);
  if (spec) aLinkSpec_Destroy(&spec);
  moduleAddress = 0;
  deviceCount = 0;
}

const char* NetworkClass::GetLinkName(unsigned int type) {
  if (type < (unsigned int)n_link_names) return link_names[type];
  if (type == 255) return link_names[3];
  return link_names[0];
}

const char* NetworkClass::GetModelName(unsigned int model) {
  if (model < (unsigned int)N_MODELS) return MODEL_NAMES[model];
  return MODEL_NAMES[0];
}

const char* NetworkClass::GetCommandName(unsigned int value) {
  if (value >= 1 && value <= (unsigned int)MAX_COMMAND) return COMMAND_NAMES[value];
  return COMMAND_NAMES[0];
}

const char* NetworkClass::GetErrorText(aErr error) { return aErr_Text(error); }

// ---------------------------------------------------------------------------
// Discovery and connection

aErr NetworkClass::Discover(linkType type) {
  Log::FPrintf(stdout, DEBUG_Network, "NETWORK: NetworkClass Discovering available devices:\n");
  aDiscovery_EnumerateModules(type, DiscoveredDevice, this);
  Log::FPrintf(stdout, DEBUG_Network, "NETWORK: %d device(s) available.\n", deviceCount);
  if (Log::IsActive(DEBUG_Network) && Log::IsActive(DEBUG_APP)) {
    Log::FPrintf(stdout, DEBUG_Network,
                 "\nNETWORK:     DevName    Serial#   Module#  Router#  Model# Firmware\n");
    unsigned int count = deviceCount;
    for (unsigned int i = 0; i < count; ++i) {
      unsigned int remembered = deviceSerials[i];
      serialNumber = remembered;
      if (Connect(type, remembered, false) == aErrNone) {
        moduleAddress = GetModuleAddress();
        unsigned int serial = GetSerialNumber();
        unsigned char router = GetRouterAddress();
        unsigned char model = GetModel();
        unsigned int version = GetVersion();
        Log::FPrintf(stdout, DEBUG_Network,
                     "NETWORK:     %08X    %08X  %02X       %02X       %02X      %3d.%d.%d\n",
                     remembered, serial, moduleAddress, router, model, aVersion_ParseMajor(version),
                     aVersion_ParseMinor(version), aVersion_ParsePatch(version));
        Disconnect();
        Release();
      }
    }
  }
  Log::FPrintf(stdout, DEBUG_Network, "\n");
  return aErrNone;
}

bool NetworkClass::DiscoveredDevice(const linkSpec* found_spec, bool* found, void* ref) {
  NetworkClass* self = static_cast<NetworkClass*>(ref);
  if (!self || !found_spec) return true;
  if (self->deviceCount >= (unsigned int)MAX_DEVICES) {
    Log::FPrintf(stdout, DEBUG_Network, "NETWORK: \tSerial#:[%08X] too many devices to remember\n",
                 found_spec->serialNumber);
    return true;
  }
  Log::FPrintf(stdout, DEBUG_Network, "NETWORK: \tNetworkClass - Serial#:[%08X]\n",
               found_spec->serialNumber);
  DeviceRecord& d = self->devices[self->deviceCount];
  d.type = found_spec->type;
  d.serialNumber = found_spec->serialNumber;
  d.module = (uint8_t)found_spec->module;
  d.model = (uint8_t)found_spec->model;
  d.router = (uint8_t)found_spec->router;
  d.routerSerialNumber = found_spec->routerSerialNumber;
  self->deviceSerials[self->deviceCount] = found_spec->serialNumber;
  self->deviceCount++;
  if (found) *found = true;
  return true;
}

bool NetworkClass::DiscoveredLink(const linkSpec* found_spec, bool* found, void* ref) {
  NetworkClass* self = static_cast<NetworkClass*>(ref);
  if (found) *found = true;
  if (!self || !found_spec) return true;
  if (found_spec->serialNumber == self->serialNumber) {
    Log::FPrintf(stdout, DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n",
                 found_spec->serialNumber, (int)found_spec->type);
    self->connectionType = (linkType)found_spec->type;
    return false;
  }
  return true;
}

aErr NetworkClass::DiscoverLinkType(unsigned int serial) {
  serialNumber = serial;
  connectionType = LINK_INVALID;
  Log::FPrintf(stdout, DEBUG_Network,
               "NETWORK: NetworkClass Discovering link type for device [%08X]:\n", serial);
  aDiscovery_EnumerateModules(LINK_USB, DiscoveredLink, this);
  if (connectionType == LINK_INVALID) aDiscovery_EnumerateModules(LINK_TCPIP, DiscoveredLink, this);
  return aErrNone;
}

bool NetworkClass::IsAvailable(linkType type, unsigned int serial) {
  linkSpec* found = aDiscovery_FindModule(type, serial);
  if (!found) return false;
  aLinkSpec_Destroy(&found);
  return true;
}

aErr NetworkClass::Connect(linkType type, unsigned int serial, bool indirect) {
  Log::FPrintf(stdout, DEBUG_Network, "NETWORK: finding Quillnode module via %s [%08X] %s ...\n",
               GetLinkName(type), serial, indirect ? "indirectly" : "");
  if (type != LINK_USB && type != LINK_TCPIP) {
    Log::FPrintf(stdout, DEBUG_Network, "NETWORK: %s NOT IMPLEMENTED\n", GetLinkName(type));
    return aErrInvalidOption;
  }
  serialNumber = serial;
  if (spec && spec->serialNumber != serial) Release();
  serialNumber = serial;

  for (int attempt = 0; attempt < 30 && !spec; ++attempt) {
    spec = aDiscovery_FindModule(type, serial);
    aTime_MSSleep(100);
  }
  if (!spec) {
    Log::FPrintf(stdout, DEBUG_Network, "NETWORK: Error [%08X] not detected\n", serial);
    lastError = aErrNotFound;
    return lastError;
  }

  aErr openError = aErrNone;
  if (type == LINK_USB)
    linkId = aLink_CreateUSBResult(spec->linkAddress, &openError);
  else
    linkId = aLink_CreateTCPIP(spec->linkAddress, spec->port);
  if (linkId == 0) {
    Log::FPrintf(stdout, DEBUG_Network, "NETWORK: Error could not create link [%d, %s] to [%08X]\n",
                 lastError, GetErrorText(lastError), serial);
    // A module held by another process, or one this user may not open, is
    // reported as such so that the caller can say why; anything else is a
    // connection error.
    lastError = aErrConnection;
    if (openError == aErrBusy || openError == aErrPermission) lastError = openError;
    return lastError;
  }

  unsigned int status = aLink_GetStatus(linkId);
  for (int i = 0; i < 200 && status != aLINK_STATUS_RUNNING; ++i) {
    aTime_MSSleep(10);
    status = aLink_GetStatus(linkId);
  }
  Log::FPrintf(stdout, DEBUG_Network, "Network: (done waiting for link to init, running=%s)\n",
               status == aLINK_STATUS_RUNNING ? "true" : "false");
  if (status != aLINK_STATUS_RUNNING) {
    lastError = aErrIO;
    Release();
    return aErrIO;
  }

  connectionType = type;
  moduleAddress = GetModuleAddress();
  if (GetModel() == 255) {
    Log::FPrintf(stdout, DEBUG_Network, "NETWORK: failed to get model\n");
    lastError = aErrConnection;
    Release();
    return aErrConnection;
  }
  unsigned int reported = GetSerialNumber();
  if (reported != serial) {
    Log::FPrintf(stdout, DEBUG_Network,
                 "NETWORK: Error device reported different serial# [%08X] != [%08X]\n", reported,
                 serial);
    lastError = aErrNotFound;
    Release();
    return aErrNotFound;
  }
  Log::FPrintf(stdout, DEBUG_Network, "NETWORK: ***Connected([%08X])\n", serial);
  lastError = aErrNone;
  return aErrNone;
}

aErr NetworkClass::Reconnect(unsigned int delayMs) {
  Disconnect();
  aErr result = aErrNotFound;
  const int attempts = 5;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    Log::FPrintf(stdout, DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n",
                 attempt, attempts);
    if (!spec) {
      Log::FPrintf(stdout, DEBUG_Network,
                   "NETWORK: Missing needed information in order to reconnect.\n");
      return aErrNotFound;
    }
    result = Connect(connectionType, spec->serialNumber, false);
    if (result == aErrNone) {
      Log::FPrintf(stdout, DEBUG_Network, "NETWORK: Reconnected to device\n");
      return aErrNone;
    }
    Log::FPrintf(stdout, DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 delayMs);
    aTime_MSSleep(delayMs);
  }
  return result;
}

aErr NetworkClass::ConnectIndirect(linkType type, unsigned int serial, unsigned char module) {
  if (spec && spec->linkAddress != serial) {
    Disconnect();
    Release();
  }
  if (deviceCount == 0) Discover(LINK_USB);
  for (unsigned int i = 0; i < deviceCount; ++i) {
    unsigned int router = deviceSerials[i];
    if (Connect(type, router, false) != aErrNone) continue;
    connectionType = type;
    moduleAddress = module;
    if (GetSerialNumber() == serial) {
      Log::FPrintf(stdout, DEBUG_Network,
                   "NETWORK: connecting to [%08X] via [%08X] module#:[%02X]\n", serial, router,
                   module);
      return aErrNone;
    }
    Release();
  }
  Log::FPrintf(stdout, DEBUG_Network, "NETWORK: Error connecting to [%08X]\n", serial);
  return aErrNotFound;
}

aErr NetworkClass::Disconnect() {
  Log::FPrintf(stdout, DEBUG_Network, "NETWORK: Disconnect [%08X] link(%08X).\n", serialNumber,
               linkId);
  if (linkId != 0)
    Log::FPrintf(stdout, DEBUG_Network, "NETWORK: ***Disconnect([%08X])\n", serialNumber);
  aLink_Destroy(&linkId);
  linkId = 0;
  return aErrNone;
}

aErr NetworkClass::Release() {
  Log::FPrintf(stdout, DEBUG_Network, "NETWORK: Release [%08X]  Spec(%08X).\n", serialNumber,
               (unsigned int)(uintptr_t)spec);
  Disconnect();
  if (spec) aLinkSpec_Destroy(&spec);
  spec = nullptr;
  serialNumber = 0;
  moduleAddress = 0;
  return aErrNone;
}

// ---------------------------------------------------------------------------
// Command packets

aErr NetworkClass::SendPacket(const unsigned char* data, unsigned char length) {
  if (linkId == 0) {
    lastError = aErrConnection;
    return lastError;
  }
  if (length > 28) length = 28;
  if (Log::IsActive(DEBUG_Network_SR)) {
    Log::FPrintf(stdout, DEBUG_Network_SR, "NETWORK: Send [%02X, %2d]:[", moduleAddress, length);
    for (unsigned int i = 0; i < length; ++i)
      Log::FPrintf(stdout, DEBUG_Network_SR, "%02X ", data[i]);
    Log::FPrintf(stdout, DEBUG_Network_SR, "]\n");
  }
  aErr err = aErrMemory;
  aPacketOwner packet(aPacket_CreateWithData(moduleAddress, length, data));
  if (packet) err = aLink_PutPacket(linkId, packet.get());
  if (err != aErrNone)
    Log::FPrintf(stdout, DEBUG_Network_SR, "NETWORK: Error (%d, %s) queuing request to [%08X].\n",
                 err, GetErrorText(err), serialNumber);
  lastError = err;
  return err;
}

bool NetworkClass::MatchSystem(const aPacket* packet, void* ref) {
  const ReplyRef* r = static_cast<const ReplyRef*>(ref);
  if (!packet || !r || packet->length == 0) return false;
  unsigned char first = packet->data[0];
  unsigned char second = packet->data[1];
  if (first == 0) return false;
  if (first == 0x80) return true;
  if (first == r->command && (second == r->value || second == (unsigned char)(r->value + 0xC0)))
    return true;
  Log::FPrintf(stdout, DEBUG_Network_MATCH,
               "NETWORK: waiting on SYSTEM CMD[%02X %02X]: %02x %02X\n", r->command, r->value,
               first, second);
  return false;
}

bool NetworkClass::MatchUpgrade(const aPacket* packet, void* ref) {
  const ReplyRef* r = static_cast<const ReplyRef*>(ref);
  if (!packet || !r || packet->length == 0) return false;
  unsigned char first = packet->data[0];
  unsigned char second = packet->data[1];
  if (first == 0) return false;
  if (first == r->command && second == r->value) {
    Log::FPrintf(stdout, DEBUG_Network_MATCH, "NETWORK: FOUND UPGRADE CMD: %02x %02X\n", first,
                 second);
    return true;
  }
  if (first == 0x80) return true;
  Log::FPrintf(stdout, DEBUG_Network_MATCH, "NETWORK: NOT UPGRADE CMD: %02x %02X\n", first, second);
  return false;
}

bool NetworkClass::MatchMagic(const aPacket* packet, void* ref) {
  (void)ref;
  return packet && packet->length == 0;
}

static void sTraceReply(const aPacket* packet) {
  if (!Log::IsActive(DEBUG_Network_SR)) return;
  Log::FPrintf(stdout, DEBUG_Network_SR, "NETWORK: Recv:[");
  for (unsigned int i = 0; i < packet->length; ++i)
    Log::FPrintf(stdout, DEBUG_Network_SR, "%02X ", packet->data[i]);
  Log::FPrintf(stdout, DEBUG_Network_SR, "]\n");
}

aPacketOwner NetworkClass::ReceiveResponsePacket(unsigned char value, unsigned char length,
                                                 bool flag) {
  ReplyRef ref = {cmdSYSTEM, value, length, (uint8_t)flag};
  aPacketOwner reply(aLink_AwaitFirst(linkId, MatchSystem, &ref, kReplyTimeoutMs));
  if (reply && reply->data[0] == 0x80) {
    Log::FPrintf(stdout, DEBUG_Network_SR,
                 "NETWORK: 0x80 reply to request [%02X, %s] from [%08X].\n", value,
                 GetCommandName(value), serialNumber);
    reply.reset();
  }
  if (!reply) {
    Log::FPrintf(stdout, DEBUG_Network_SR, "NETWORK: No reply to request [%02X, %s] from [%08X].\n",
                 value, GetCommandName(value), serialNumber);
    lastError = aErrTimeout;
    return nullptr;
  }
  sTraceReply(reply.get());
  if (reply->length == length && (reply->data[2] & 0x80) == 0) return reply;
  Log::FPrintf(stdout, DEBUG_Network_SR, "NETWORK: Invalid [%02X] response from [%08X].\n", value,
               serialNumber);
  lastError = aErrPacket;
  return reply;
}

aPacketOwner NetworkClass::ReceiveCommandResponsePacket(unsigned char command, unsigned char value,
                                                        unsigned char length, bool flag) {
  ReplyRef ref = {command, value, length, (uint8_t)flag};
  aPacketOwner reply(aLink_AwaitFirst(linkId, MatchUpgrade, &ref, kReplyTimeoutMs));
  if (reply && reply->data[0] == 0x80) {
    Log::FPrintf(stdout, DEBUG_Network_SR,
                 "NETWORK: 0x80 reply to request [%02X][%02X, %s] from [%08X].\n", command, value,
                 GetCommandName(value), serialNumber);
    reply.reset();
  }
  if (!reply) {
    Log::FPrintf(stdout, DEBUG_Network_SR,
                 "NETWORK: No reply to request [%02X][%02X, %s] from [%08X].\n", command, value,
                 GetCommandName(value), serialNumber);
    lastError = aErrTimeout;
    return nullptr;
  }
  sTraceReply(reply.get());
  if (reply->length == length) return reply;
  Log::FPrintf(stdout, DEBUG_Network_SR, "NETWORK: Invalid [%02X][%02X] response from [%08X].\n",
               command, value, serialNumber);
  lastError = aErrPacket;
  return reply;
}

// ---------------------------------------------------------------------------
// Queries and settings

aErr NetworkClass::SendSystem(unsigned char op, const unsigned char* parameter,
                              unsigned char parameterLength) {
  unsigned char data[4] = {cmdSYSTEM, op, 0x20, 0};
  unsigned char length = 3;
  if (parameter && parameterLength == 1) {
    data[3] = parameter[0];
    length = 4;
  }
  return SendPacket(data, length);
}

aPacketOwner NetworkClass::SystemQuery(unsigned char value, unsigned char replyLength) {
  SendSystem((unsigned char)(0x40 + value), nullptr, 0);
  return ReceiveResponsePacket(value, replyLength, false);
}

void NetworkClass::SystemSet(unsigned char value, unsigned char parameter, const char* what) {
  SendSystem((unsigned char)(0x80 + value), &parameter, 1);
  ReceiveResponsePacket(value, 3, false);
  if (lastError != aErrNone)
    Log::FPrintf(stdout, DEBUG_Network,
                 "NETWORK: Error no response to set %s request to [%08X:%02X].\n", what,
                 serialNumber, moduleAddress);
}

unsigned char NetworkClass::GetModuleAddress() {
  if (linkId == 0) {
    Log::FPrintf(stdout, DEBUG_Network, "\nNETWORK:  *** no connection ***\n");
    lastError = aErrConnection;
    return 0;
  }
  Log::FPrintf(stdout, DEBUG_Network_SR, "NETWORK: Sending:[%02X, %2d]:[%02X]\n", moduleAddress, 0,
               kLinkControlAddress);
  aPacketOwner request(aPacket_CreateWithData(kLinkControlAddress, 0, &moduleAddress));
  lastError = request ? aLink_PutPacket(linkId, request.get()) : (aErr)aErrMemory;
  if (lastError != aErrNone) {
    Log::FPrintf(stdout, DEBUG_Network,
                 "NETWORK: Error (%d, %s) queuing module number request to [%08X].\n", lastError,
                 GetErrorText(lastError), serialNumber);
    return 0;
  }
  aPacketOwner reply(aLink_AwaitFirst(linkId, MatchMagic, nullptr, kReplyTimeoutMs));
  unsigned char result = 0;
  if (reply) {
    if (Log::IsActive(DEBUG_Network_SR)) {
      Log::FPrintf(stdout, DEBUG_Network_SR, "NETWORK: Recving:[%02X, %02X ", reply->address,
                   reply->length);
      for (unsigned int i = 0; i < reply->length; ++i)
        Log::FPrintf(stdout, DEBUG_Network_SR, "%02X ", reply->data[i]);
      Log::FPrintf(stdout, DEBUG_Network_SR, "]\n");
    }
    result = reply->address;
  } else {
    lastError = aErrTimeout;
    Log::FPrintf(stdout, DEBUG_Network,
                 "NETWORK: Error no response to module address request to [%08X].\n", serialNumber);
  }
  Log::FPrintf(stdout, DEBUG_Network, "NETWORK: [%08X] ==> module [%02X].\n", serialNumber, result);
  return result;
}

unsigned char NetworkClass::GetRouterAddress() {
  return (unsigned char)sQueryResult(*this, SystemQuery(2, 4), 3, false, 255, "router address");
}

unsigned char NetworkClass::GetModel() {
  return (unsigned char)sQueryResult(*this, SystemQuery(8, 4), 3, false, 255, "model");
}

unsigned int NetworkClass::GetSerialNumber() {
  aPacketOwner reply = SystemQuery(9, 7);
  if (!reply) {
    Log::FPrintf(stdout, DEBUG_Network,
                 "NETWORK: Error no response to serial number request to [%08X].\n", serialNumber);
    return 0;
  }
  // Taken from any reply held, even one marked invalid.
  return aBytes_GetBE32(&reply->data[3]);
}

unsigned int NetworkClass::GetVersion() {
  return sQueryResult(*this, SystemQuery(7, 7), 3, true, 0, "version");
}

unsigned int NetworkClass::GetBuild() {
  const unsigned char request[2] = {0x49, 0xFF};
  SendPacket(request, 2);
  return sQueryResult(*this, ReceiveCommandResponsePacket(0x49, 0xFF, 6, false), 2, true, 0,
                      "version");
}

void NetworkClass::SetRouterAddress(unsigned char address) {
  SystemSet(2, address, "router address");
}

void NetworkClass::SetRouteToMe(unsigned char value) { SystemSet(20, value, "route to me"); }

void NetworkClass::Save() {
  if (SendSystem(0x80 + 10, nullptr, 0) != aErrNone) {
    Log::FPrintf(stdout, DEBUG_Network, "NETWORK: Error sending SAVE\n");
    return;
  }
  aTime_MSSleep(25);
}

void NetworkClass::Reset() {
  if (SendSystem(0x80 + 11, nullptr, 0) != aErrNone) {
    Log::FPrintf(stdout, DEBUG_Network, "NETWORK: Error sending RESET\n");
    return;
  }
  aTime_MSSleep(25);
}
