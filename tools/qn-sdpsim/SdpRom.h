// Device side of the i.MX RT1050 serial download protocol (SDP): the boot
// ROM's command handling, its RAM and fuse words, without any I/O.
//
// `Device` works on whole commands and data; the framers below turn a
// transport's traffic into those calls and the ROM's answers back into the
// transport's form: `SerialFramer` for the UART (raw 16-byte commands, raw
// data, 4-byte HAB state then the response bytes) and `HidFramer` for USB HID
// (report 1 command, 2 data, 3 HAB state, 4 response).
//
// Not thread-safe: one caller at a time. A framer refers to its device, which
// must outlive it.
#ifndef QN_TOOLS_QN_SDPSIM_SDPROM_H
#define QN_TOOLS_QN_SDPSIM_SDPROM_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace sdpsim {

// Command types.
constexpr uint16_t kReadRegister = 0x0101;
constexpr uint16_t kWriteRegister = 0x0202;
constexpr uint16_t kWriteFile = 0x0404;
constexpr uint16_t kErrorStatus = 0x0505;
constexpr uint16_t kDcdWrite = 0x0A0A;
constexpr uint16_t kJumpAddress = 0x0B0B;
constexpr uint16_t kSkipDcdHeader = 0x0C0C;

// HAB security states.
constexpr uint32_t kHabOpen = 0x56787856;
constexpr uint32_t kHabClosed = 0x12343412;
// Completion words.
constexpr uint32_t kWriteFileComplete = 0x88888888;
constexpr uint32_t kWriteComplete = 0x128A8A12;  // WRITE_REGISTER, DCD_WRITE
constexpr uint32_t kSkipDcdComplete = 0x900DD009;
// Status words of this simulator (ERROR_STATUS and failure replies).
constexpr uint32_t kStatusOk = 0xF0F0F0F0;
constexpr uint32_t kStatusFailed = 0x33333333;

// Fuse words that hold the chip's fingerprint.
constexpr uint32_t kFuseCfg0 = 0x401F4410;  // low 32 bits
constexpr uint32_t kFuseCfg1 = 0x401F4420;  // high 32 bits

// Serial association: the host sends these bytes first and gets them back.
constexpr uint8_t kAssociation[4] = {0x23, 0x45, 0x45, 0x23};

constexpr size_t kCommandSize = 16;

// RAM of the simulated part.
struct Region {
  uint32_t base;
  uint32_t size;
  const char* name;
};
constexpr Region kRegions[] = {
    {0x00000000, 0x20000, "ITCM"},
    {0x20000000, 0x20000, "DTCM"},
    {0x20200000, 0x40000, "OCRAM"},
};
constexpr size_t kRegionCount = sizeof(kRegions) / sizeof(kRegions[0]);

struct Command {
  uint16_t type = 0;
  uint32_t address = 0;
  uint8_t format = 0;
  uint32_t count = 0;
  uint32_t data = 0;
};
// Big-endian fields: type (2), address (4), format (1), count (4), data (4),
// one reserved byte.
Command ParseCommand(const uint8_t bytes[kCommandSize]);
std::vector<uint8_t> EncodeCommand(const Command& command);

struct Config {
  uint64_t fingerprint = 0;
  uint32_t hab = kHabOpen;
  // Never answer anything.
  bool silent = false;
  // Answer in the middle of a WRITE_FILE once this many data bytes of it
  // arrived (counted over the session); 0 for never.
  uint64_t unsolicitedAt = 0;
  // WRITE_FILE ends with kStatusFailed instead of the completion word.
  bool writeFail = false;
  // JUMP_ADDRESS fails unless an image vector table is at the address.
  bool requireIvt = false;
  // The serial framer keeps a partial command however long the line stays
  // quiet, until more bytes complete it (the strictest ROM).
  bool keepPartial = false;
};

// One answer of the ROM: the HAB state, or a response of 4 or more bytes.
struct Answer {
  enum Kind { kHab, kResponse } kind;
  std::vector<uint8_t> bytes;
};

// What a finished WRITE_FILE did, for the simulator's log.
struct FileWrite {
  uint32_t address;
  uint32_t count;
  bool stored;  // false when the range was not RAM or the write was made to fail
};

class Device {
 public:
  explicit Device(const Config& config);

  void Command(const uint8_t bytes[kCommandSize]);
  // Data of the current WRITE_FILE or DCD_WRITE; bytes beyond the announced
  // count are ignored.
  void Data(const uint8_t* data, size_t count);
  bool WantsData() const { return dataLeft_ > 0; }
  uint32_t dataLeft() const { return dataLeft_; }
  // The host has sent nothing for `quietMs`: a data phase that it abandoned
  // ends, so that its next command is not taken as data.
  void Idle(unsigned quietMs);
  // A reset of the part: the ROM runs again (after a jump too), with no data
  // phase and a clean status. RAM keeps its contents.
  void Reset();

  std::vector<Answer> TakeAnswers();
  std::vector<FileWrite> TakeFileWrites();
  bool TakeJump(uint32_t* address);
  bool jumped() const { return jumped_; }
  bool silent() const { return config_.silent; }
  bool keepsPartial() const { return config_.keepPartial; }

  // Memory access; false when any byte is outside RAM.
  bool Peek(uint32_t address, size_t count, std::vector<uint8_t>* out) const;
  bool Poke(uint32_t address, const uint8_t* data, size_t count);
  // Every byte range written by WRITE_FILE, merged, as (start, end) pairs.
  const std::map<uint32_t, uint32_t>& written() const { return written_; }
  // The written ranges as records: address (4 bytes, little-endian), length
  // (4 bytes, little-endian), the bytes; in address order.
  std::string DumpWritten() const;
  // 32-bit little-endian value at an address: RAM, fuse words, registers
  // written with WRITE_REGISTER, else 0.
  uint32_t ReadWord(uint32_t address) const;

 private:
  void Hab();
  void Respond(uint32_t word);
  void FinishData();
  void MarkWritten(uint32_t address, uint32_t count);
  uint8_t* Ram(uint32_t address, size_t count);
  bool IvtAt(uint32_t address) const;

  Config config_;
  std::vector<std::vector<uint8_t>> ram_;
  std::map<uint32_t, uint32_t> registers_;
  std::map<uint32_t, uint32_t> written_;
  uint32_t status_ = kStatusOk;

  uint16_t dataCommand_ = 0;
  uint32_t dataAddress_ = 0;
  uint32_t dataCount_ = 0;
  uint32_t dataLeft_ = 0;
  std::vector<uint8_t> dataBuffer_;
  bool aborted_ = false;
  uint64_t fileBytes_ = 0;

  bool jumped_ = false;
  bool jumpPending_ = false;
  uint32_t jumpAddress_ = 0;
  std::vector<Answer> answers_;
  std::vector<FileWrite> fileWrites_;
};

// UART framing. Bytes in, bytes out.
class SerialFramer {
 public:
  explicit SerialFramer(Device& device) : device_(device) {}
  void Receive(const uint8_t* bytes, size_t count);
  void Idle(unsigned quietMs);
  // Resets the device and drops a partial command.
  void Reset();
  std::string TakeOutput();

 private:
  void Collect();
  Device& device_;
  std::vector<uint8_t> command_;
  std::string out_;
};

// USB HID framing. Output reports in (report id first), input reports out.
class HidFramer {
 public:
  explicit HidFramer(Device& device) : device_(device) {}
  // Report 1: a command in the 16 bytes after the id; report 2: data after
  // the id. Other reports and short command reports are ignored.
  void OutputReport(const uint8_t* report, size_t length);
  void Idle(unsigned quietMs) { device_.Idle(quietMs); }
  // Report 3: id and the 4 HAB bytes (5 bytes); report 4: id and 64 bytes.
  std::vector<std::vector<uint8_t>> TakeInputReports();

 private:
  Device& device_;
};

}  // namespace sdpsim

#endif  // QN_TOOLS_QN_SDPSIM_SDPROM_H
