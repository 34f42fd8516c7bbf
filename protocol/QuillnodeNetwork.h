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
  static const char* const* const ERROR_TEXT;  // aErr_TEXT of the link library
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

  // Discovery and connection. A method that fails leaves its error in
  // lastError unless said otherwise.

  // Adds every module found on `type` to deviceSerials/devices (up to
  // MAX_DEVICES; earlier entries stay). With channels DEBUG_Network and DEBUG_APP
  // it also connects to each in turn to print a table, and leaves none
  // connected. Always aErrNone.
  aErr Discover(linkType type);
  // Discovery callbacks (`ref` is the NetworkClass): the first records one
  // module; the second sets connectionType when the module is serialNumber's
  // and then stops the enumeration.
  static bool DiscoveredDevice(const linkSpec* spec, bool* found, void* ref);
  static bool DiscoveredLink(const linkSpec* spec, bool* found, void* ref);
  // Looks for `serial` on USB, then on TCP/IP; connectionType is the link it
  // was found on, LINK_INVALID when none. Always aErrNone.
  aErr DiscoverLinkType(unsigned int serial);
  // Finds `serial` on `type` (for up to 3 s), opens the link, waits up to 2 s
  // for it to run, then asks the module's address, model and serial number
  // (1 s each). aErrInvalidOption for a type other than USB and TCP/IP;
  // aErrNotFound when it is not found or another serial answers;
  // aErrBusy/aErrPermission/aErrConnection when the link cannot be opened;
  // aErrIO when it does not run; aErrConnection when the model does not
  // answer. After a failure there is no link; past the link's creation the
  // link spec (`spec`) is released too.
  aErr Connect(linkType type, unsigned int serial, bool indirect);
  // Closes the link and connects again to the module its link spec names, up
  // to five times `delayMs` apart; aErrNotFound without a link spec, else
  // Connect's error.
  aErr Reconnect(unsigned int delayMs);
  // Reaches `serial` as module `module` behind a router: discovers USB when
  // no module is known, connects to each known module in turn and keeps the
  // first whose module `module` reports `serial`, with moduleAddress =
  // `module`. aErrNotFound, with nothing connected, when none does.
  aErr ConnectIndirect(linkType type, unsigned int serial, unsigned char module);
  // Closes the link, keeping the link spec. Always aErrNone.
  aErr Disconnect();
  // Closes the link and frees the link spec; serialNumber and moduleAddress become
  // 0. Always aErrNone.
  aErr Release();
  // True when one discovery look-up finds `serial` on `type`.
  bool IsAvailable(linkType type, unsigned int serial);

  // Command packets.

  // Queues one packet of `length` bytes of `data` (at most 28 are sent) to
  // moduleAddress; waits for nothing. aErrConnection without a link.
  aErr SendPacket(const unsigned char* data, unsigned char length);
  // Wait up to 1 s for the reply to a SYSTEM request `value` (MatchSystem)
  // or to command `command` `value` (MatchUpgrade). Null with aErrTimeout
  // when none comes (a 0x80 reply counts as none). A reply of another length
  // (or, for SYSTEM, with the error bit set) is returned with aErrPacket left
  // in lastError; a good reply leaves lastError as it was.
  aPacketOwner ReceiveResponsePacket(unsigned char value, unsigned char length, bool flag);
  aPacketOwner ReceiveCommandResponsePacket(unsigned char command, unsigned char value,
                                            unsigned char length, bool flag);
  // Reply predicates for aLink_AwaitFirst; `ref` is a ReplyRef (unused by
  // MatchMagic, which takes the zero-length module-address reply).
  static bool MatchSystem(const aPacket* packet, void* ref);
  static bool MatchUpgrade(const aPacket* packet, void* ref);
  static bool MatchMagic(const aPacket* packet, void* ref);

  // Queries and settings: one request each, and a wait of up to 1 s for
  // its reply.

  // Asks the link for the connected module's address (request to 0xAD).
  // 0 on failure (aErrConnection without a link, aErrTimeout).
  unsigned char GetModuleAddress();
  // SYSTEM queries of moduleAddress: router address, model, serial number,
  // firmware version. Failure gives 255, 255, 0 and 0 respectively.
  unsigned char GetRouterAddress();
  unsigned char GetModel();
  unsigned int GetSerialNumber();
  unsigned int GetVersion();
  // Command 49 FF: the firmware build; 0 on failure.
  unsigned int GetBuild();
  // SYSTEM settings of moduleAddress; they wait for the module's reply.
  void SetRouterAddress(unsigned char address);
  void SetRouteToMe(unsigned char value);
  // SYSTEM save and reset: sent without waiting for a reply, then 25 ms pause.
  void Save();
  void Reset();

  // Upgrade commands (cmdUPGRADE), each waiting up to 1 s for every reply.
  // The first failing exchange ends the call with its error.

  // Reads the firmware version (it gates checksum validation), then INIT.
  // aErrPacket without a good reply.
  aErr LoaderInit();
  // `length` bytes in DATA packets of up to 26 bytes (a packet whose count is
  // not acknowledged goes again, at most MAX_DATA_REPEATS times), then SUM;
  // `counter` counts accepted packets. aErrPacket without a good DATA or SUM
  // reply; aErrInvalidOption for a checksum mismatch on validating modules.
  aErr LoaderBlockTransfer(const unsigned char* bytes, unsigned int length, unsigned int* counter);
  // LoaderBlockTransfer of the bytes after the block's 4-byte address.
  aErr LoaderTransfer(const unsigned char* blockData, unsigned int blockLength);
  // LOAD; when its reply does not come, reconnects (Reconnect(500)) and waits
  // for it again. aErrTimeout when it never comes.
  aErr LoaderStart();
  // REBOOT, without waiting for a reply; then 25 ms pause.
  aErr LoaderReboot();
  // PREPARE for the block at blockData's address with `flags`; `blockSize`
  // receives the module's block size. aErrTimeout without a reply,
  // aErrInvalidOption for a non-zero status (blockSize unchanged).
  aErr TransferPrepare(const unsigned char* blockData, unsigned int blockLength,
                       unsigned char flags, unsigned short* blockSize);
  // The image after the block's address in chunks of `blockSize`: each a
  // LoaderBlockTransfer and a FirmwareWrite, with a progress bar on the
  // console. aErrInvalidOption for a block size of 0.
  aErr FirmwareTransfer(const unsigned char* blockData, unsigned int blockLength,
                        unsigned short blockSize);
  // WRITE of `byteCount` bytes; aErrInvalidOption without a good status reply.
  aErr FirmwareWrite(unsigned short byteCount);

  // Names; out-of-range values give the table's fallback entry.
  static const char* GetLinkName(unsigned int type);
  static const char* GetModelName(unsigned int model);
  static const char* GetCommandName(unsigned int value);
  static const char* GetErrorText(aErr error);  // aErr_Text

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
  aPacketOwner SystemQuery(unsigned char value, unsigned char replyLength);
  // One upgrade exchange: sends `request` and awaits the cmdUPGRADE reply
  // `replyValue` of `replyLength` bytes. A request that cannot be queued
  // prints `sendFailure` (if any; given the error and its text) and returns
  // the error, also left in lastError. Otherwise aErrNone, with `reply`
  // holding what came (empty when nothing did) and lastError the wait's
  // verdict.
  aErr UpgradeExchange(const unsigned char* request, unsigned char length, unsigned char replyValue,
                       unsigned char replyLength, const char* sendFailure, aPacketOwner* reply);
  // Sets system value `value` to `parameter`; a missing reply is logged
  // as "set `what`" and left in lastError.
  void SystemSet(unsigned char value, unsigned char parameter, const char* what);
};

#endif  // QN_PROTOCOL_QUILLNODENETWORK_H
