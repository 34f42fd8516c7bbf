// The module protocol client: finds a module through the link library,
// connects to it, exchanges command packets with it and drives its upgrade
// commands.
//
// One NetworkClass talks to one module at a time and is used by one thread.
// A module behind a router is reached through the router's connection by
// setting `moduleAddress` to the module's address on the router's network:
// every command packet goes to `moduleAddress`.
//
// Methods leave their result in `lastError`; callers of the query methods
// that return a value read it there.
#ifndef QN_PROTOCOL_QUILLNODENETWORK_H
#define QN_PROTOCOL_QUILLNODENETWORK_H

#include <stdint.h>

#include "link/aDiscovery.h"
#include "link/aErr.h"
#include "link/aLinkTypes.h"
#include "link/aPacket.h"

class NetworkClass {
 public:
  // Name tables, each beside its count.
  static const int n_link_names = 4;
  static const char* const link_names[n_link_names];
  static const int MAX_COMMAND = 17;
  static const char* const COMMAND_NAMES[MAX_COMMAND + 1];
  static const int MAX_ERROR = 32;
  static const char* const ERROR_TEXT[MAX_ERROR + 1];
  static const int N_MODELS = 25;
  static const char* const MODEL_NAMES[N_MODELS + 1];

  static const unsigned char cmdSYSTEM = 0x03;
  static const unsigned char cmdUPGRADE = 0x5F;
  enum {
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    val_UPGRADE_STATUS = 7
  };
  static const int MAX_DEVICES = 255;
  // How often one DATA packet is sent again while the module keeps
  // acknowledging another count, before the transfer gives up.
  static const int MAX_DATA_REPEATS = 5;

  // One module remembered by the last discovery.
  struct DeviceRecord {
    uint32_t type;
    uint32_t serialNumber;
    uint8_t module;
    uint8_t model;
    uint8_t router;
    uint32_t routerSerialNumber;
  };

  // What the reply wait matches against: command byte, value, expected
  // reply length, flag (not used by the matching).
  struct ReplyRef {
    uint8_t command;
    uint8_t value;
    uint8_t length;
    uint8_t flag;
  };

  explicit NetworkClass(linkType type);
  ~NetworkClass();
  NetworkClass(const NetworkClass&) = delete;
  NetworkClass& operator=(const NetworkClass&) = delete;

  // Discovery and connection.
  aErr Discover(linkType type);
  static bool DiscoveredDevice(const linkSpec* spec, bool* found, void* ref);
  static bool DiscoveredLink(const linkSpec* spec, bool* found, void* ref);
  aErr DiscoverLinkType(unsigned int serial);
  aErr Connect(linkType type, unsigned int serial, bool indirect);
  aErr Reconnect(unsigned int delayMs);
  aErr ConnectIndirect(linkType type, unsigned int serial, unsigned char module);
  aErr Disconnect();
  aErr Release();
  bool IsAvailable(linkType type, unsigned int serial);

  // Command packets.
  aErr SendPacket(const unsigned char* data, unsigned char length);
  // The reply packets below belong to the caller (aPacket_Destroy).
  aPacket* ReceiveResponsePacket(unsigned char value, unsigned char length, bool flag);
  aPacket* ReceiveCommandResponsePacket(unsigned char command, unsigned char value,
                                        unsigned char length, bool flag);
  static bool MatchSystem(const aPacket* packet, void* ref);
  static bool MatchUpgrade(const aPacket* packet, void* ref);
  static bool MatchMagic(const aPacket* packet, void* ref);

  // Queries and settings.
  unsigned char GetModuleAddress();
  unsigned char GetRouterAddress();
  unsigned char GetModel();
  unsigned int GetSerialNumber();
  unsigned int GetVersion();
  unsigned int GetBuild();
  void SetRouterAddress(unsigned char address);
  void SetRouteToMe(unsigned char value);
  void Save();
  void Reset();

  // Upgrade commands.
  aErr LoaderInit();
  aErr LoaderBlockTransfer(const unsigned char* bytes, unsigned int length, unsigned int* counter);
  aErr LoaderTransfer(const unsigned char* blockData, unsigned int blockLength);
  aErr LoaderStart();
  aErr LoaderReboot();
  aErr TransferPrepare(const unsigned char* blockData, unsigned int blockLength,
                       unsigned char flags, unsigned short* blockSize);
  aErr FirmwareTransfer(const unsigned char* blockData, unsigned int blockLength,
                        unsigned short blockSize);
  aErr FirmwareWrite(unsigned short byteCount);

  // Names.
  static const char* GetLinkName(unsigned int type);
  static const char* GetModelName(unsigned int model);
  static const char* GetCommandName(unsigned int value);
  static const char* GetErrorText(aErr error);

  linkSpec* spec;
  unsigned int linkId;
  unsigned char moduleAddress;
  aErr lastError;
  unsigned int serialNumber;
  linkType connectionType;
  unsigned int firmwareVersion;
  unsigned int deviceCount;
  unsigned int deviceSerials[MAX_DEVICES];
  DeviceRecord devices[MAX_DEVICES];

 private:
  aErr SendSystem(unsigned char op, const unsigned char* parameter, unsigned char parameterLength);
  aPacket* SystemQuery(unsigned char value, unsigned char replyLength);
  // Sets system value `value` to `parameter`; a missing reply is logged
  // as "set `what`" and left in lastError.
  void SystemSet(unsigned char value, unsigned char parameter, const char* what);
};

#endif  // QN_PROTOCOL_QUILLNODENETWORK_H
