// Client of the LPC17xx boot ROM's in-system-programming (ISP) text protocol
// over a serial port.
//
// The boot loader answers every command with a decimal return code on a line
// ending in CR LF; data travels UU-encoded, 45 bytes a line, with a decimal
// checksum after every 20 lines. The port never blocks on reads: every wait
// here is a sleep or a bounded number of 1 ms polls, so a silent or babbling
// peer can slow a call down but never hang it.
//
// Ownership: the object owns its serial stream; Disconnect() or the destructor
// closes the port (restoring its terminal settings). Thread-safety: none; one
// thread uses an object at a time.
#ifndef QN_RECOVERY_NXPSERIAL_H
#define QN_RECOVERY_NXPSERIAL_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "link/aErr.h"
#include "link/aStream.h"

class NXPSerialClass {
 public:
  // Index of the last ERROR_TEXT entry; ERROR_TEXT has MAX_ERROR + 1 entries.
  static const int MAX_ERROR = 20;
  // ISP return code to text; entry MAX_ERROR is "Unknown error".
  static const char* const ERROR_TEXT[MAX_ERROR + 1];
  // Crystal frequency (MHz) reported during synchronisation.
  static const float CRYSTAL_DEFAULT;
  static const int MAX_BYTES_PER_LINE = 45;
  static const int LINES_PER_CHECKSUM = 20;
  static const int MAX_READ_RETRY = 3;
  // RAM address at which the recovery procedure stages flash data.
  static const uint32_t WRITE_ADDRESS = 0x10001000;
  static const int TERMINATION_SIZE = 2;
  // The code the boot ROM wants before it erases or writes flash.
  static const int UNLOCK_CODE = 23130;

  // Line rates by aSerial_Baud selector, ending with 0.
  static const unsigned int BAUD_TABLE[];

  struct Sector {
    uint32_t start;
    uint32_t size;
    uint32_t number;
  };
  // 31 entries: sectors 0..29 of the largest part, then {0xFFFFFFFF, 0, 30}.
  static const Sector NXP_LPC17XX_sectors[];
  static const int SECTOR_COUNT = 31;

  NXPSerialClass();
  ~NXPSerialClass();
  NXPSerialClass(const NXPSerialClass&) = delete;
  NXPSerialClass& operator=(const NXPSerialClass&) = delete;

  // Opens the port at the table rate at or above baudRate (9600 for a rate
  // above the table), 8N1. Reconnects when already connected.
  aErr Connect(const char* portName, unsigned int baudRate);
  aErr Disconnect();

  // The "?" / "Synchronized" / crystal handshake. When "?" is not answered,
  // a boot loader that is already synchronised (a port closed and opened
  // again without a reset of the chip) is looked for: the pending line is
  // ended with CR LF, "A 1" is sent, and its return code 0 shows a loader in
  // command mode, now with its echo on; one left inside a "W" transfer is
  // first fed "0" lines until it takes commands again. Otherwise the
  // opening is tried once more. A freshly reset chip sees only the
  // handshake.
  aErr Sync();

  aErr GetBootLoaderVersion(uint8_t& major, uint8_t& minor);
  aErr GetPartNumber(int64_t& partNumber);
  // Reads the chip's four identification words into deviceID.
  aErr GetDeviceID();
  // "G address T"; no reply is read.
  aErr ExecuteFrom(uint32_t address);
  aErr SetEcho(bool on);
  // Asks the boot ROM for another rate; the local port keeps its rate.
  aErr SetBaudRate(unsigned int rate);
  aErr Unlock();
  aErr Prepare(int startSector, int endSector);
  aErr Erase(int startSector, int endSector);
  // Reads `count` bytes (non-zero, a multiple of 4) of chip memory.
  aErr Read(uint32_t address, uint32_t count, uint8_t* data);
  // Writes `count` bytes (non-zero, a multiple of 4) into chip RAM.
  aErr Write(uint32_t address, uint32_t count, const uint8_t* data);
  // flashAddress on a 256-byte boundary; length 256, 512, 1024 or 4096.
  aErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t length);

  // The copy size the boot ROM accepts for `length` bytes (unchanged, with a
  // log line, above 4096).
  static uint32_t CopyLength(uint32_t length);
  // Sector of a flash address; 30 beyond the flash.
  static int SectorFromAddress(uint32_t address);
  // Text of the return code at the start of `line`.
  static const char* GetErrorText(const char* line);
  static uint32_t sum(const uint8_t* data, size_t count);
  static char uuchar(unsigned int value);
  // Encodes count (at most 45) bytes into `line`, NUL-terminated; `line`
  // needs room for 2 + 4 * ceil(count / 3) characters. Returns the length.
  static int uuencode(char* line, const uint8_t* data, int count);
  // Decodes one line into `data` (at most `room` bytes); returns the byte
  // count the line announces, or 0 when that exceeds room.
  static int uudecode(uint8_t* data, int room, const char* line);
  // Milliseconds to send bytes + 2 characters of 9 bits; 1 when baud is 0.
  static int WAIT_TIME_MS(int bytes, unsigned int baud);

  // Lower layer used by the commands.
  aErr Send(const char* text, bool echo);
  aErr SendCommand(const char* text, int waitMs);
  aErr GetEcho(const char* text, int length, int& count);
  aErr GetLine(char* buffer, int size, int& count, int retries);
  aErr Response(char* buffer, int size, int& count, const char* expected, int expectedLength);
  int GetErrorIndex(int length) const;

  bool connected() const { return stream_ != nullptr; }
  bool echo() const { return echo_; }
  unsigned int baud() const { return baud_; }
  const std::string& portName() const { return port_; }

  uint32_t deviceID[4];

 private:
  // Sends a command and reads its return-code line into `line` (1024 bytes).
  aErr Exchange(const char* text, char* line, int& count);
  // Exchange, then the return-code test: 0 or aErrParam.
  aErr CommandWithCode(const char* text, bool logFailure);
  bool ReturnCodeOk(const char* line, int count) const;
  aErr ReadNumberLine(int size, long long* value, bool isUnsigned);
  aErr ReadByte(uint8_t* byte);
  // Sends "?" and reads the answer; the first step of Sync.
  aErr Opening(char* buffer, int& count);
  bool Resynchronise();
  bool LeaveDataPhase();
  // What arrives until the line is quiet (up to firstMs for the first byte).
  std::string Collect(int firstMs);

  aStreamRef stream_;
  bool echo_;
  unsigned int baud_;
  std::string port_;
};

#endif  // QN_RECOVERY_NXPSERIAL_H
