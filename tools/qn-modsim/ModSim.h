// Simulated Quillnode modules, from the module's side of the link.
//
// A Simulator holds a set of modules (their settings, upgrade state and
// faults to inject) and hands out Link objects: one per host connection,
// whatever carries it (TCP socket, pseudo-terminal node, a USB emulator's
// bulk endpoints). A Link is "bytes in -> bytes out": the transport feeds it
// what the host wrote with Receive() and sends what TakeOutput() returns.
// Time is passed in by the caller (milliseconds on any monotonic clock), so
// heartbeats, reply delays and reset times are deterministic under test.
//
// Modules behind a router have no endpoint of their own: they answer at their
// module address through the router's link.
//
// Thread-safety: a Simulator and all its Links share one mutex; every public
// method may be called from any thread. Links may outlive their Simulator
// (they then stay silent).
#ifndef QN_TOOLS_MODSIM_MODSIM_H
#define QN_TOOLS_MODSIM_MODSIM_H

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace modsim {

// How a module restarts after a reset, a reboot or a LOAD into its loader.
enum class ResetMode {
  kDrop,    // every direct link is closed; new links are refused until it is back
  kSilent,  // links stay open, but the module ignores and sends nothing until it is back
};

// How LOAD (start the loader) is answered.
enum class LoadMode {
  kDirect,   // 5F 02 at once on the same link
  kRestart,  // the module restarts into its loader; 5F 02 goes out on the next link started
};

// Faults a test can switch on. All counters are 1-based; 0 means off.
struct Faults {
  std::set<uint64_t> dropReplies;   // module-wide reply numbers that are never sent
  uint64_t strayAfterReply = 0;     // one byte 0x01 right after this reply (forces a host sync)
  uint64_t closeAfterPackets = 0;   // a link is closed after this many host packets
  unsigned delayMs = 0;             // every reply leaves this much later
  int wrongDataCount = 0;           // 1: the first DATA is acknowledged one short; 2: every DATA
  bool badChecksum = false;         // SUM reports the true sum plus one
  uint8_t prepareStatus = 0;        // status byte of every PREPARE reply
  uint8_t writeStatus = 0;          // status byte of every WRITE reply
  bool neverBackAfterLoad = false;  // LOAD makes the module go silent for good
  unsigned routerTakeAt = 0;        // SetRouterAddress only takes effect from this attempt on
  uint32_t reportSerial = 0;        // serial queries answer this number instead of the own one
  int maxLinks = -1;                // concurrent links allowed (-1 no limit, 0 always busy)
};

struct ModuleConfig {
  uint32_t serial = 0;
  uint8_t model = 4;
  uint8_t address = 0x02;         // module address (even, non-zero)
  uint8_t routerAddress = 0;      // 0: own address when direct, the router's when behind one
  uint32_t version = 0x21000000;  // packed: major 31..28, minor 27..24, patch 23..0
  uint32_t build = 1;
  uint32_t behind = 0;     // serial number of the router in front; 0 for a direct module
  int tcpPort = -1;        // -1: no TCP endpoint; 0: ephemeral
  bool node = false;       // a kernel-driver-style node (pseudo-terminal)
  unsigned resetMs = 200;  // how long a restart keeps the module away
  ResetMode resetMode = ResetMode::kDrop;
  LoadMode loadMode = LoadMode::kDirect;
  bool loaderRunning = false;       // starts in its loader, as when started through its boot ROM
  uint16_t blockSize = 512;         // block size answered to PREPARE
  uint32_t loadBase = 0x10000000;   // answered to INIT
  bool routeRequired = false;       // router: routed replies only while route-to-me is on
  bool nakAbsent = false;           // router: commands to empty network addresses get 80 xx at once
  uint8_t rebootRouterAddress = 0;  // router address after a firmware reboot; 0 keeps it
  uint16_t voltageMv = 5000;
  unsigned heartbeatMs = 500;   // heartbeat period on a started link; 0: none
  unsigned heartbeatLimit = 0;  // close a link after this many unanswered in a row; 0: never
  Faults faults;
};

// What a test or the front end can read about a module.
struct ModuleStatus {
  bool known = false;
  uint32_t version = 0;
  uint32_t build = 0;
  uint8_t routerAddress = 0;       // running value
  uint8_t savedRouterAddress = 0;  // what a reset brings back
  int stage = 0;                   // 0 firmware running, 1 loader being loaded, 2 loader running
  int restarts = 0;
  unsigned routerSetAttempts = 0;
  std::map<uint32_t, std::vector<uint8_t>> firmware;  // written by WRITE, by address
  std::map<uint32_t, std::vector<uint8_t>> loader;    // loaded by DATA before LOAD, by address
  int links = 0;                                      // links open directly to this module
};

struct LinkStats {
  uint64_t packetsIn = 0;  // host packets, heartbeat answers excluded
  uint64_t heartbeatsSent = 0;
  uint64_t heartbeatAnswers = 0;  // answers that matched the phase sent
  uint64_t heartbeatsMissed = 0;  // heartbeats whose answer had not come when the next was due
  uint64_t syncsAnswered = 0;
  uint64_t addressQueries = 0;
  uint64_t badBytes = 0;  // bytes the module's assembler threw away
  bool started = false;   // AF 01 01 seen and no AF 01 00 since
};

class Link;
struct SimState;

class Simulator {
 public:
  Simulator();
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Adds a module. False (with a message) for a zero or duplicate serial, an
  // odd or zero address. Router references are checked by Validate().
  bool AddModule(const ModuleConfig& config, std::string* error);
  // Every "behind" names a known direct module; no two modules behind one
  // router share an address, nor use the router's own address.
  bool Validate(std::string* error);

  std::vector<uint32_t> Serials() const;
  // Copy of a module's configuration; false when unknown.
  bool GetConfig(uint32_t serial, ModuleConfig* out) const;
  // Fills tcpPort after the front end bound an ephemeral port.
  void SetTcpPort(uint32_t serial, int port);

  // Where firmware images are written at each reboot (empty: nowhere).
  void SetDumpDir(const std::string& dir);

  enum class OpenResult { kOk, kUnknown, kNotDirect, kDown, kBusy };
  // A new link to a directly reachable module; null with the reason otherwise.
  // The caller owns the link.
  std::unique_ptr<Link> OpenLink(uint32_t serial, uint64_t nowMs, OpenResult* result = nullptr);

  // True when the module is running (not inside a restart) at nowMs.
  bool IsUp(uint32_t serial, uint64_t nowMs) const;
  ModuleStatus Status(uint32_t serial) const;

  // Writes the module's firmware and loader images into dir as
  // "%08X-fw-%08X.bin" / "%08X-loader-%08X.bin" (serial, address).
  bool DumpImages(uint32_t serial, const std::string& dir, std::string* error) const;

  // One line per notable event (reset, reboot, load), oldest first; cleared.
  std::vector<std::string> TakeEvents();

 private:
  std::shared_ptr<SimState> state_;
};

class Link {
 public:
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  uint32_t serial() const { return serial_; }
  // Bytes the host wrote.
  void Receive(const uint8_t* data, size_t length, uint64_t nowMs);
  // Bytes due for the host at nowMs (replies, heartbeats, sync answers).
  std::vector<uint8_t> TakeOutput(uint64_t nowMs);
  // When TakeOutput should be called next; UINT64_MAX when nothing is pending.
  uint64_t NextEventMs() const;
  // The module ended this link (restart in drop mode, close fault); the
  // transport should close it once TakeOutput has been drained.
  bool Closed() const;
  LinkStats Stats() const;

 private:
  friend class Simulator;
  Link(std::shared_ptr<SimState> state, uint64_t id, uint32_t serial);
  std::shared_ptr<SimState> state_;
  uint64_t id_;
  uint32_t serial_;
};

// Parses "2.1.0" or a number (decimal or 0x...) into a packed version.
bool ParseVersion(const std::string& text, uint32_t* out);
// Parses one module description: comma- or blank-separated key=value pairs,
// for example "serial=40F5849A,addr=04,model=4,version=2.1.0,build=12,port=0".
// Keys are documented in the tool's help text (ModuleSpecHelp()).
bool ParseModuleSpec(const std::string& text, ModuleConfig* out, std::string* error);
// Reads a configuration file: one "module <spec>" line per module; blank
// lines and lines starting with '#' are ignored.
bool ParseConfigFile(const std::string& path, std::vector<ModuleConfig>* out, std::string* error);
// Help text for the module keys.
const char* ModuleSpecHelp();

// Last "QNFWSTMP" stamp in the image regions (ascending address order);
// false when there is none.
bool FindFirmwareStamp(const std::map<uint32_t, std::vector<uint8_t>>& image, uint32_t* version,
                       uint32_t* build);

}  // namespace modsim

#endif  // QN_TOOLS_MODSIM_MODSIM_H
