// Device side of the LPC17xx in-system-programming (ISP) text protocol: the
// boot ROM's command interpreter, its flash and RAM, without any I/O.
//
// Bytes received from the serial line go into Receive(); what the ROM sends
// back collects in an output queue that the caller drains with TakeOutput().
// The ROM's state (synchronisation, echo, unlock, prepared sectors, memory)
// lives in the object. Not thread-safe: one caller at a time.
#ifndef QN_TOOLS_QN_LPCSIM_LPCISP_H
#define QN_TOOLS_QN_LPCSIM_LPCISP_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace lpcsim {

// ISP return codes, as the ROM sends them (decimal, one per line).
enum ReturnCode : unsigned {
  CMD_SUCCESS = 0,
  INVALID_COMMAND = 1,
  SRC_ADDR_ERROR = 2,
  DST_ADDR_ERROR = 3,
  SRC_ADDR_NOT_MAPPED = 4,
  DST_ADDR_NOT_MAPPED = 5,
  COUNT_ERROR = 6,
  INVALID_SECTOR = 7,
  SECTOR_NOT_BLANK = 8,
  SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9,
  COMPARE_ERROR = 10,
  BUSY = 11,
  PARAM_ERROR = 12,
  ADDR_ERROR = 13,
  ADDR_NOT_MAPPED = 14,
  CMD_LOCKED = 15,
  INVALID_CODE = 16,
  INVALID_BAUD_RATE = 17,
  INVALID_STOP_BIT = 18,
  CODE_READ_PROTECTION_ENABLED = 19,
};
constexpr unsigned kReturnCodeCount = 20;
// Name of a return code; "?" for a value outside the table.
const char* ReturnCodeName(unsigned code);

// Memory map of the simulated part (512 KB flash, two 32 KB RAM blocks).
constexpr uint32_t kFlashSize = 0x80000;
constexpr unsigned kSectorCount = 30;
constexpr uint32_t kRam0Base = 0x10000000;
constexpr uint32_t kRam1Base = 0x2007C000;
constexpr uint32_t kRamSize = 0x8000;
constexpr unsigned kUnlockCode = 23130;
constexpr uint32_t kLpc1768PartId = 0x26013F37;
// Under code read protection level 1 RAM below this address may not be
// written (the ROM uses it).
constexpr uint32_t kCrp1RamFloor = 0x10000200;
constexpr unsigned kBytesPerUuLine = 45;
constexpr unsigned kLinesPerChecksum = 20;

// Sector layout: 16 sectors of 4 KB, then 14 of 32 KB.
uint32_t SectorStart(unsigned sector);
uint32_t SectorSize(unsigned sector);
// Sector holding a flash address; kSectorCount for an address beyond flash.
unsigned SectorOf(uint32_t address);

// UU encoding as the ROM uses it: a length character, then four characters
// per three bytes; the value 0 travels as a grave accent.
char UuChar(unsigned value);
std::string UuEncode(const uint8_t* data, size_t count);
// Decodes one line (without terminator). Returns the byte count the line
// announces; the bytes go to `out`. Characters missing at the end of a short
// line decode as 0, so a damaged line shows up as a checksum mismatch.
size_t UuDecode(const std::string& line, std::vector<uint8_t>* out);

struct Config {
  uint32_t partId = kLpc1768PartId;
  uint32_t serial[4] = {0x0A000001, 0x0B000002, 0x0C000003, 0x0D000004};
  unsigned bootMajor = 4;
  unsigned bootMinor = 1;
  // Code read protection level: 0 none, 1 or 2; level 3 disables ISP.
  unsigned crp = 0;
  // The ROM never answers the synchronisation request.
  bool noSync = false;
  // 1-based numbers of the write checksums answered "RESEND" regardless.
  std::set<unsigned> resendAt;
  // Commands (by letter) answered with the given return code regardless.
  std::map<char, unsigned> failCommand;
};

class Device {
 public:
  explicit Device(const Config& config);

  // One byte from the line.
  void Receive(uint8_t byte);
  // The line has been quiet for a while: a line that ended in a lone
  // carriage return is taken as complete.
  void Idle();
  // A reset of the part: back to the handshake with echo on, locked, no
  // sectors prepared, no transfer. Flash and RAM keep their contents.
  void Reset();

  // A piece of output; `reply` is false for echoed input.
  struct Chunk {
    std::string bytes;
    bool reply;
  };
  std::vector<Chunk> TakeOutput();

  // Events for the caller, cleared when taken.
  bool TakeFlashChanged();
  bool TakeGo(uint32_t* address, char* mode);
  // A new line rate was accepted ("B"); 0 when none is pending.
  unsigned TakeBaudChange();
  // Notes about unusual events (for the simulator's log), cleared when taken.
  std::vector<std::string> TakeNotes();

  bool synchronised() const { return state_ != State::kAutobaud && state_ != State::kSyncWord; }
  bool echo() const { return echo_; }
  bool running() const { return state_ == State::kRunning; }
  const std::vector<uint8_t>& flash() const { return flash_; }
  // Reads mapped memory; false when any byte is not mapped.
  bool Peek(uint32_t address, size_t count, std::vector<uint8_t>* out) const;
  // True when the first eight vector words sum to zero (the ROM's test for
  // valid user code).
  bool VectorsValid() const;

 private:
  enum class State {
    kAutobaud,
    kSyncWord,
    kCrystal,
    kCommand,
    kWriteData,
    kReadAck,
    kRunning,
  };

  void LineDone();
  void HandleLine(const std::string& line);
  void HandleCommand(const std::string& line);
  void HandleWriteLine(const std::string& line);
  void HandleReadAck(const std::string& line);
  void SendReadBlock();
  void Reply(const std::string& text);
  void ReplyCode(unsigned code);
  void Echo(uint8_t byte);

  unsigned CmdUnlock(const std::vector<uint32_t>& a);
  unsigned CmdBaud(const std::vector<uint32_t>& a);
  unsigned CmdEcho(const std::vector<uint32_t>& a);
  unsigned CmdWrite(const std::vector<uint32_t>& a);
  unsigned CmdRead(const std::vector<uint32_t>& a);
  unsigned CmdPrepare(const std::vector<uint32_t>& a);
  unsigned CmdCopy(const std::vector<uint32_t>& a);
  unsigned CmdErase(const std::vector<uint32_t>& a);
  unsigned CmdBlankCheck(const std::vector<uint32_t>& a, std::string* extra);
  unsigned CmdCompare(const std::vector<uint32_t>& a, std::string* extra);

  // Pointer to `count` bytes of RAM at `address`, null when not all mapped.
  uint8_t* Ram(uint32_t address, size_t count);
  const uint8_t* Mapped(uint32_t address, size_t count) const;

  Config config_;
  State state_ = State::kAutobaud;
  bool echo_ = true;
  bool unlocked_ = false;
  std::string line_;
  bool pendingCr_ = false;
  std::vector<bool> prepared_;
  std::vector<uint8_t> flash_;
  std::vector<uint8_t> ram0_;
  std::vector<uint8_t> ram1_;

  // Transfer in progress ("W" or "R").
  uint32_t xferAddress_ = 0;
  uint32_t xferCount_ = 0;
  uint32_t xferDone_ = 0;
  std::vector<uint8_t> block_;
  unsigned blockLines_ = 0;
  unsigned checksumsSeen_ = 0;

  std::vector<Chunk> out_;
  std::vector<std::string> notes_;
  bool flashChanged_ = false;
  bool went_ = false;
  uint32_t goAddress_ = 0;
  char goMode_ = 0;
  unsigned newBaud_ = 0;
};

}  // namespace lpcsim

#endif  // QN_TOOLS_QN_LPCSIM_LPCISP_H
