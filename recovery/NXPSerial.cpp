// LPC17xx ISP client: pacing, echo handling, reply lines, UU-encoded
// transfers and the command set. See NXPSerial.h.
#include "recovery/NXPSerial.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/Log.h"
#include "link/aErr.h"
#include "link/aTime.h"

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const float NXPSerialClass::CRYSTAL_DEFAULT = 14.7456f;

const unsigned int NXPSerialClass::BAUD_TABLE[] = {2400,  4800,   9600,   19200, 38400,
                                                   57600, 115200, 230400, 0};

const NXPSerialClass::Sector NXPSerialClass::NXP_LPC17XX_sectors[SECTOR_COUNT] = {
    {0x00000, 0x1000, 0},  {0x01000, 0x1000, 1},  {0x02000, 0x1000, 2},  {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},  {0x05000, 0x1000, 5},  {0x06000, 0x1000, 6},  {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},  {0x09000, 0x1000, 9},  {0x0A000, 0x1000, 10}, {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12}, {0x0D000, 0x1000, 13}, {0x0E000, 0x1000, 14}, {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16}, {0x18000, 0x8000, 17}, {0x20000, 0x8000, 18}, {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20}, {0x38000, 0x8000, 21}, {0x40000, 0x8000, 22}, {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24}, {0x58000, 0x8000, 25}, {0x60000, 0x8000, 26}, {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28}, {0x78000, 0x8000, 29}, {0xFFFFFFFF, 0, 30},
};

namespace {

const int kLineSize = 1024;
const int kLineRetries = 100;
const int kVerdictRetries = 2000;
const int kEchoMisses = 100;
// A peer that keeps sending bytes which are neither the echo nor a reply
// cannot keep GetEcho or Response reading for ever: past this many such
// bytes they give up as if the line had gone quiet.
const int kMaxStrayBytes = 4096;
// Resynchronisation: how long a probe waits for the first byte of an answer,
// the longest it listens, and how many bursts of lines (and how long) may go
// to a boot loader left in the middle of a transfer (a 32 KB "W" needs
// fewer).
const int kProbeWaitMs = 150;
const int kCollectMaxMs = 2000;
const int kDataPhaseBursts = 120;
const int kDataPhaseMaxMs = 30000;

const char kTerminator[] = "\r\n";

// "%s%02X" per byte: nothing before the first, one space before the others.
std::string sHex(const char* data, int length) {
  std::string out;
  char hex[4];
  for (int i = 0; i < length; ++i) {
    snprintf(hex, sizeof(hex), "%s%02X", i == 0 ? "" : " ", (unsigned char)data[i]);
    out += hex;
  }
  return out;
}

// A non-printable character as a space.
char sPrintableChar(unsigned char c) { return isprint(c) ? (char)c : ' '; }

// Characters as the send traces show them: CR and LF as \r and \n, other
// non-printable characters as a space.
std::string sShown(const char* data, int length) {
  std::string out;
  for (int i = 0; i < length; ++i) {
    unsigned char c = (unsigned char)data[i];
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += sPrintableChar(c);
    }
  }
  return out;
}

// Non-printable characters as a space.
std::string sPrintable(const char* data, int length) {
  std::string out(data, (size_t)length);
  for (char& c : out) c = sPrintableChar((unsigned char)c);
  return out;
}

// Advances the CR LF match with one stored byte; true once it is complete.
bool sMatchTerminator(unsigned char byte, int* match) {
  if (byte == (unsigned char)kTerminator[*match]) {
    ++*match;
  } else {
    *match = byte == (unsigned char)kTerminator[0] ? 1 : 0;
  }
  return *match == 2;
}

// True when one of the lines in `text` (split at CR and LF) is `line`.
bool sHasLine(const std::string& text, const char* line) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (text.compare(start, end - start, line) == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

NXPSerialClass::NXPSerialClass() : stream_(nullptr), echo_(true), baud_(0) {
  memset(deviceID, 0, sizeof(deviceID));
}

NXPSerialClass::~NXPSerialClass() { Disconnect(); }

int NXPSerialClass::WAIT_TIME_MS(int bytes, unsigned int baud) {
  if (baud == 0) return 1;
  return (int)(((long long)bytes * 9000 + 18000) / (long long)baud + 1);
}

aErr NXPSerialClass::Connect(const char* portName, unsigned int baudRate) {
  if (stream_) aStream_Destroy(&stream_);
  if (portName == nullptr) return aErrParam;
  int selector = 2;
  int i = 0;
  while (BAUD_TABLE[i] != 0 && BAUD_TABLE[i] < baudRate) ++i;
  if (BAUD_TABLE[i] != 0) selector = i;
  baud_ = BAUD_TABLE[selector];
  port_ = portName;
  Log::FPrintf(stdout, DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n",
               portName, selector, baud_);
  aErr err = aStream_CreateSerial(portName, (aSerial_Baud)selector, false, aSerialBits8,
                                  aSerialStopBits1, &stream_);
  if (err != aErrNone) {
    stream_ = nullptr;
    Log::FPrintf(stdout, DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", portName,
                 aErr_Text(err));
    return err;
  }
  return aErrNone;
}

aErr NXPSerialClass::Disconnect() {
  if (stream_) aStream_Destroy(&stream_);
  stream_ = nullptr;
  return aErrNone;
}

aErr NXPSerialClass::ReadByte(uint8_t* byte) {
  if (!stream_) return aErrParam;
  return aStream_Read(stream_, byte, 1);
}

aErr NXPSerialClass::Send(const char* text, bool echo) {
  if (!stream_ || text == nullptr) return aErrParam;
  int length = (int)strlen(text);
  if (Log::IsActive(DEBUG_NXPSerial_SR))
    Log::FPrintf(stdout, DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", sHex(text, length).c_str(),
                 sShown(text, length).c_str());
  aErr err = aStream_Write(stream_, (const uint8_t*)text, (size_t)length);
  int waitMs = (int)((length + 2) * 9.0 / baud_ * 1000.0 + 1.0);
  Log::FPrintf(stdout, DEBUG_NXPSerial_SR, "Send() wait %dms\n", waitMs);
  aTime_MSSleep((unsigned long)waitMs);
  if (err != aErrNone)
    Log::FPrintf(stdout, DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aErr_Text(err));
  if (echo) {
    int count = 0;
    GetEcho(text, length - 1, count);
  }
  return err;
}

aErr NXPSerialClass::SendCommand(const char* text, int waitMs) {
  if (!stream_ || text == nullptr) return aErrParam;
  int length = (int)strlen(text);
  if (Log::IsActive(DEBUG_NXPSerial_SR))
    Log::FPrintf(stdout, DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", sHex(text, length).c_str(),
                 sPrintable(text, length).c_str());
  aErr err = aStream_Write(stream_, (const uint8_t*)text, (size_t)length);
  if (waitMs > 0) {
    Log::FPrintf(stdout, DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n",
                 waitMs);
    aTime_MSSleep((unsigned long)waitMs);
  }
  if (err != aErrNone)
    Log::FPrintf(stdout, DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aErr_Text(err));
  if (echo_) {
    int count = 0;
    GetEcho(text, length - 1, count);
    if (count < length - 1)
      Log::FPrintf(stdout, DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n", count,
                   length);
  }
  if (err != aErrNone)
    Log::FPrintf(stdout, DEBUG_NXPSerial, "Error Write Serial [%s]\n", aErr_Text(err));
  return err;
}

aErr NXPSerialClass::GetEcho(const char* text, int length, int& count) {
  count = 0;
  if (!stream_ || text == nullptr) return aErrParam;
  bool trace = Log::IsActive(DEBUG_NXPSerial_E);
  if (trace) {
    int shown = length > 0 ? length : 0;
    Log::FPrintf(stdout, DEBUG_NXPSerial_E, "GetEcho([%s] %d, ...)\n", sHex(text, shown).c_str(),
                 length);
    Log::FPrintf(stdout, DEBUG_NXPSerial_E, "recv Echo:[");
  }
  int misses = 0;
  int strays = 0;
  aErr last = aErrNone;
  while (count < length && misses < kEchoMisses && strays < kMaxStrayBytes) {
    uint8_t byte = 0;
    last = ReadByte(&byte);
    if (last != aErrNone) {
      ++misses;
      aTime_MSSleep(1);
      if (trace) Log::FPrintf(stdout, DEBUG_NXPSerial_E, ".");
    } else if (byte == (uint8_t)text[count]) {
      ++count;
      if (trace) Log::FPrintf(stdout, DEBUG_NXPSerial_E, " %02X", byte);
    } else {
      ++strays;
      if (trace)
        Log::FPrintf(stdout, DEBUG_NXPSerial_E, " %.2X!=%.2X", byte, (unsigned char)text[count]);
    }
  }
  if (trace) Log::FPrintf(stdout, DEBUG_NXPSerial_E, "]\n");
  if (count >= length) return aErrNone;
  return last == aErrNone ? (aErr)aErrTimeout : last;
}

aErr NXPSerialClass::GetLine(char* buffer, int size, int& count, int retries) {
  count = 0;
  if (buffer == nullptr || size < 1) return aErrParam;
  int match = 0;
  bool done = false;
  aErr last = aErrNone;
  while (count < size - 1 && !done && retries > 0) {
    uint8_t byte = 0;
    last = ReadByte(&byte);
    if (last != aErrNone) {
      --retries;
      aTime_MSSleep(1);
      Log::FPrintf(stdout, DEBUG_NXPSerial_E, ".");
      if (!stream_) break;
    } else if (count == 0 && byte == '\n') {
      --retries;
      Log::FPrintf(stdout, DEBUG_NXPSerial_E, ",");
      aTime_MSSleep(1);
    } else {
      buffer[count++] = (char)byte;
      done = sMatchTerminator(byte, &match);
    }
  }
  buffer[count] = '\0';
  if (Log::IsActive(DEBUG_NXPSerial_SR)) {
    std::string chars(buffer, (size_t)count);
    for (char& c : chars) c = sPrintableChar((unsigned char)c);
    Log::FPrintf(stdout, DEBUG_NXPSerial_SR, "GetLine() Received: [%s] [%s] %d %s [%s]\n",
                 sHex(buffer, count).c_str(), chars.c_str(), count,
                 match != 0 ? "term" : "non-term", aErr_Text(last));
  }
  return last;
}

aErr NXPSerialClass::Response(char* buffer, int size, int& count, const char* expected,
                              int expectedLength) {
  count = 0;
  if (buffer == nullptr || size < 1) return aErrParam;
  buffer[0] = '\0';
  if (!stream_) return aErrParam;
  int limit = expected ? expectedLength : size - 1;
  if (limit > size - 1) limit = size - 1;
  int expectedSize = expected ? (int)strlen(expected) : 0;
  int initial = WAIT_TIME_MS(expectedLength, baud_) + 20;
  Log::FPrintf(stdout, DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n",
               expectedLength, baud_, initial);
  aTime_MSSleep((unsigned long)initial);
  int pause = initial / (limit > 0 ? limit : 1) + 1;

  int match = 0;
  bool done = false;
  int failures = 0;
  int dropped = 0;
  aErr last = aErrNone;
  while (count < limit && !done && failures <= 99) {
    uint8_t byte = 0;
    last = ReadByte(&byte);
    if (last != aErrNone) {
      ++failures;
      Log::FPrintf(stdout, DEBUG_NXPSerial_E, ".");
      aTime_MSSleep((unsigned long)pause);
      continue;
    }
    bool leading = (count == 0 && (byte == '\n' || byte == '\r')) || (count <= 2 && byte == 0);
    if (leading && dropped < kMaxStrayBytes) {
      ++dropped;
      if (byte == '\n')
        Log::FPrintf(stdout, DEBUG_NXPSerial_E, "Response ignoring leading \\n\n");
      else if (byte == '\r')
        Log::FPrintf(stdout, DEBUG_NXPSerial_E, "Response ignoring leading \\r\n");
      else
        Log::FPrintf(stdout, DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
      continue;
    }
    if (expected && count < expectedSize && byte != (uint8_t)expected[count]) {
      unsigned char want = (unsigned char)expected[count];
      Log::FPrintf(stdout, DEBUG_NXPSerial_E,
                   "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c "
                   "[%02X]]\n",
                   count, byte, sPrintableChar(byte), sPrintableChar(want), want);
    }
    done = sMatchTerminator(byte, &match);
    buffer[count++] = (char)byte;
  }
  buffer[count] = '\0';
  if (Log::IsActive(DEBUG_NXPSerial_SR))
    Log::FPrintf(stdout, DEBUG_NXPSerial_SR, "Response: [%s] [%s]\n", sHex(buffer, count).c_str(),
                 sShown(buffer, count).c_str());
  return last;
}

int NXPSerialClass::GetErrorIndex(int length) const {
  if (!echo_ || length < 3) return 0;
  return length - 3;
}

// The return code is the number just before the terminator. Only the digit
// at GetErrorIndex is looked at by the boot ROM's convention; that digit
// alone would read code 10 (COMPARE_ERROR) as success when the echo is on,
// so a digit in front of it fails the test too.
bool NXPSerialClass::ReturnCodeOk(const char* line, int count) const {
  int index = GetErrorIndex(count);
  if (index >= count || line[index] != '0') return false;
  return index == 0 || !isdigit((unsigned char)line[index - 1]);
}

const char* NXPSerialClass::GetErrorText(const char* line) {
  if (line == nullptr) return ERROR_TEXT[MAX_ERROR];
  long code = strtol(line, nullptr, 0);
  if (code < 0 || code > MAX_ERROR) return ERROR_TEXT[MAX_ERROR];
  return ERROR_TEXT[code];
}

uint32_t NXPSerialClass::sum(const uint8_t* data, size_t count) {
  uint32_t total = 0;
  if (data == nullptr) return 0;
  for (size_t i = 0; i < count; ++i) total += data[i];
  return total;
}

char NXPSerialClass::uuchar(unsigned int value) {
  value &= 63;
  return value == 0 ? (char)96 : (char)(value + 32);
}

int NXPSerialClass::uuencode(char* line, const uint8_t* data, int count) {
  if (line == nullptr) return 0;
  if (count < 0 || data == nullptr) count = 0;
  if (count > MAX_BYTES_PER_LINE) count = MAX_BYTES_PER_LINE;
  int n = 0;
  line[n++] = uuchar((unsigned int)count);
  for (int i = 0; i < count; i += 3) {
    uint32_t group = (uint32_t)data[i] << 16;
    if (i + 1 < count) group |= (uint32_t)data[i + 1] << 8;
    if (i + 2 < count) group |= data[i + 2];
    line[n++] = uuchar(group >> 18);
    line[n++] = uuchar(group >> 12);
    line[n++] = uuchar(group >> 6);
    line[n++] = uuchar(group);
  }
  line[n] = '\0';
  return n;
}

int NXPSerialClass::uudecode(uint8_t* data, int room, const char* line) {
  // An empty line announces nothing (a NUL would otherwise read as 32).
  if (data == nullptr || line == nullptr || line[0] == '\0') return 0;
  int count = ((unsigned char)line[0] - 32) & 63;
  if (count > room) return 0;
  const char* p = line + 1;
  int got = 0;
  while (got < count) {
    uint32_t group = 0;
    for (int k = 0; k < 4; ++k) {
      if (p[k] == '\0') {
        Log::FPrintf(stdout, DEBUG_NXPSerial, "Error buffer overrun\n");
        // The bytes the line did not carry are zero rather than stale; the
        // block checksum then tells the boot ROM or us to send it again.
        memset(data + got, 0, (size_t)(count - got));
        return count;
      }
      group = group << 6 | ((((unsigned char)p[k]) - 32) & 63);
    }
    for (int j = 0; j < 3 && got < count; ++j) data[got++] = (uint8_t)(group >> (16 - 8 * j));
    p += 4;
  }
  return count;
}

uint32_t NXPSerialClass::CopyLength(uint32_t length) {
  if (length <= 256) return 256;
  if (length <= 512) return 512;
  if (length <= 1024) return 1024;
  if (length <= 4096) return 4096;
  Log::FPrintf(stdout, DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", (int)length);
  return length;
}

int NXPSerialClass::SectorFromAddress(uint32_t address) {
  int i = 0;
  for (; NXP_LPC17XX_sectors[i].start != 0xFFFFFFFF; ++i) {
    const Sector& s = NXP_LPC17XX_sectors[i];
    if (address >= s.start && address - s.start < s.size) return (int)s.number;
  }
  return (int)NXP_LPC17XX_sectors[i].number;
}

// ----------------------------------------------------------------------------
// Command exchanges.

aErr NXPSerialClass::Exchange(const char* text, char* line, int& count) {
  line[0] = '\0';
  count = 0;
  aErr err = SendCommand(text, 0);
  if (err != aErrNone) {
    Log::FPrintf(stdout, DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text,
                 aErr_Text(err));
    return err;
  }
  GetLine(line, kLineSize, count, kLineRetries);
  return aErrNone;
}

aErr NXPSerialClass::CommandWithCode(const char* text, bool logFailure) {
  char line[kLineSize];
  int count = 0;
  aErr err = Exchange(text, line, count);
  if (err != aErrNone) return err;
  if (ReturnCodeOk(line, count)) return aErrNone;
  if (logFailure)
    Log::FPrintf(stdout, DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(line));
  return aErrParam;
}

aErr NXPSerialClass::Unlock() {
  char text[32];
  snprintf(text, sizeof(text), "U %d\r\n", UNLOCK_CODE);
  return CommandWithCode(text, false);
}

aErr NXPSerialClass::SetEcho(bool on) {
  Log::FPrintf(stdout, DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
  aErr err = CommandWithCode(on ? "A 1\r\n" : "A 0\r\n", false);
  if (err == aErrNone) echo_ = on;
  return err;
}

aErr NXPSerialClass::SetBaudRate(unsigned int rate) {
  char text[48];
  snprintf(text, sizeof(text), "B %u %d\r\n", rate, 1);
  return CommandWithCode(text, false);
}

aErr NXPSerialClass::Prepare(int startSector, int endSector) {
  if (startSector > endSector || startSector < 0) return aErrParam;
  char text[48];
  snprintf(text, sizeof(text), "P %d %d\r\n", startSector, endSector);
  return CommandWithCode(text, true);
}

aErr NXPSerialClass::Erase(int startSector, int endSector) {
  if (startSector > endSector || startSector < 0) return aErrParam;
  char text[48];
  snprintf(text, sizeof(text), "E %d %d\r\n", startSector, endSector);
  return CommandWithCode(text, true);
}

aErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t length) {
  if ((flashAddress & 0xFF) != 0) return aErrParam;
  if (length != 256 && length != 512 && length != 1024 && length != 4096) return aErrParam;
  char text[64];
  snprintf(text, sizeof(text), "C %u %u %u\r\n", flashAddress, ramAddress, length);
  return CommandWithCode(text, true);
}

aErr NXPSerialClass::ExecuteFrom(uint32_t address) {
  char text[48];
  snprintf(text, sizeof(text), "G %u T\r\n", address);
  return SendCommand(text, 0);
}

// Reads one reply line holding a number. A line that did not arrive whole, or
// holds no number, is an error rather than a silent 0.
aErr NXPSerialClass::ReadNumberLine(int size, long long* value, bool isUnsigned) {
  char line[kLineSize];
  int count = 0;
  if (size > kLineSize) size = kLineSize;
  GetLine(line, size, count, kLineRetries);
  if (count < TERMINATION_SIZE || line[count - 2] != '\r' || line[count - 1] != '\n')
    return aErrTimeout;
  char* end = nullptr;
  *value = isUnsigned ? (long long)strtoul(line, &end, 0) : strtoll(line, &end, 0);
  if (end == line) return aErrParse;
  return aErrNone;
}

aErr NXPSerialClass::GetBootLoaderVersion(uint8_t& major, uint8_t& minor) {
  char line[kLineSize];
  int count = 0;
  aErr err = Exchange("K\r\n", line, count);
  if (err != aErrNone) return err;
  long long a = 0, b = 0;
  err = ReadNumberLine(kLineSize, &a, false);
  if (err == aErrNone) err = ReadNumberLine(kLineSize, &b, false);
  if (err != aErrNone) return err;
  major = (uint8_t)a;
  minor = (uint8_t)b;
  Log::FPrintf(stdout, DEBUG_NXPSerial, "Device responded with version: %d.%d\n", major, minor);
  return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(int64_t& partNumber) {
  char line[kLineSize];
  int count = 0;
  aErr err = Exchange("J\r\n", line, count);
  if (err != aErrNone) return err;
  long long value = 0;
  err = ReadNumberLine(kLineSize, &value, false);
  if (err != aErrNone) return err;
  partNumber = value;
  Log::FPrintf(stdout, DEBUG_NXPSerial, "Device responded with part number: %lld\n", value);
  return aErrNone;
}

aErr NXPSerialClass::GetDeviceID() {
  char line[kLineSize];
  int count = 0;
  aErr err = Exchange("N\r\n", line, count);
  if (err != aErrNone) return err;
  uint32_t words[4];
  for (int i = 0; i < 4; ++i) {
    long long value = 0;
    err = ReadNumberLine(32, &value, true);
    if (err != aErrNone) return err;
    words[i] = (uint32_t)value;
  }
  memcpy(deviceID, words, sizeof(deviceID));
  return aErrNone;
}

aErr NXPSerialClass::Opening(char* buffer, int& count) {
  const char* synchronized = "Synchronized\r\n";
  Send("?", false);
  aErr err = Response(buffer, kLineSize, count, synchronized, 14);
  if (err != aErrNone)
    Log::FPrintf(stdout, DEBUG_NXPSerial,
                 "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
                 synchronized, buffer);
  return err;
}

aErr NXPSerialClass::Sync() {
  char buffer[kLineSize];
  int count = 0;
  const char* synchronized = "Synchronized\r\n";

  aErr err = Opening(buffer, count);
  if (err != aErrNone) {
    if (Resynchronise()) return aErrNone;
    // A boot loader caught in the middle of the handshake has been sent back
    // to its start by the lines above: one more opening.
    err = Opening(buffer, count);
    if (err != aErrNone) return err;
  }
  if (strncmp(buffer, synchronized, 14) != 0)
    Log::FPrintf(stdout, DEBUG_NXPSerial, "Did not receive correct response [%s]\n", synchronized);

  Send(synchronized, false);
  Response(buffer, kLineSize, count, synchronized, 13);

  buffer[0] = '\0';
  Response(buffer, kLineSize, count, "OK\r\n", 4);
  if (strncmp(buffer, "OK", 2) != 0)
    Log::FPrintf(stdout, DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", buffer,
                 "OK\r\n");

  char crystal[32];
  snprintf(crystal, sizeof(crystal), "%d\r\n", (int)(CRYSTAL_DEFAULT * 1000.0f + 0.5f));
  Send(crystal, false);
  Response(buffer, kLineSize, count, crystal, (int)strlen(crystal) - 1);
  return Response(buffer, kLineSize, count, "OK\r\n", 4);
}

std::string NXPSerialClass::Collect(int firstMs) {
  std::string heard;
  int quietMs = 20 + WAIT_TIME_MS(16, baud_);
  int waited = 0;
  unsigned long start = aTime_GetMSTicks();
  while (heard.size() < (size_t)kMaxStrayBytes &&
         aTime_GetMSTicks() - start < (unsigned long)kCollectMaxMs) {
    uint8_t byte = 0;
    if (ReadByte(&byte) == aErrNone) {
      heard += (char)byte;
      waited = 0;
      continue;
    }
    if (waited >= (heard.empty() ? firstMs : quietMs)) break;
    aTime_MSSleep(1);
    ++waited;
  }
  if (Log::IsActive(DEBUG_NXPSerial_SR))
    Log::FPrintf(stdout, DEBUG_NXPSerial_SR, "Collected: [%s] [%s]\n",
                 sHex(heard.data(), (int)heard.size()).c_str(),
                 sShown(heard.data(), (int)heard.size()).c_str());
  return heard;
}

bool NXPSerialClass::LeaveDataPhase() {
  // Each "0" line is data (16 zero bytes) where the boot loader waits for
  // data, a matching checksum where it waits for the checksum of a block of
  // zeros, and INVALID_COMMAND ("1") once it takes commands again. A block
  // that held other data is answered RESEND and comes back as zeros.
  std::string burst;
  for (int i = 0; i <= LINES_PER_CHECKSUM; ++i) burst += "0\r\n";
  unsigned long start = aTime_GetMSTicks();
  for (int round = 0; round < kDataPhaseBursts; ++round) {
    Send(burst.c_str(), false);
    std::string heard = Collect(kProbeWaitMs);
    if (sHasLine(heard, "1")) return true;
    // Every burst reaches a checksum: a loader taking data answers it with
    // OK or RESEND; anything else is not such a loader.
    if (!sHasLine(heard, "OK") && !sHasLine(heard, "RESEND")) return false;
    if (aTime_GetMSTicks() - start > (unsigned long)kDataPhaseMaxMs) return false;
  }
  return false;
}

bool NXPSerialClass::Resynchronise() {
  Log::FPrintf(stdout, DEBUG_NXPSerial,
               "No answer to the opening sync: looking for a boot loader already synchronised\n");
  // Ends whatever line the boot loader holds, the "?" included.
  Send("\r\n", false);
  Collect(kProbeWaitMs);
  for (int round = 0; round < 2; ++round) {
    // Harmless, and puts the echo where a fresh handshake leaves it.
    Send("A 1\r\n", false);
    std::string heard = Collect(kProbeWaitMs);
    if (sHasLine(heard, "0")) {
      echo_ = true;
      Log::FPrintf(stdout, DEBUG_NXPSerial, "Boot loader already synchronised (echo was %s)\n",
                   sHasLine(heard, "A 1") ? "on" : "off");
      return true;
    }
    if (round > 0 || !LeaveDataPhase()) break;
    Log::FPrintf(stdout, DEBUG_NXPSerial, "Boot loader left an unfinished transfer\n");
  }
  return false;
}

aErr NXPSerialClass::Write(uint32_t address, uint32_t count, const uint8_t* data) {
  if (count == 0 || count % 4 != 0 || data == nullptr) return aErrParam;
  char text[64];
  snprintf(text, sizeof(text), "W %u %u\r\n", address, count);
  aErr err = SendCommand(text, 0);
  if (err != aErrNone) {
    Log::FPrintf(stdout, DEBUG_NXPSerial, "Write() Error Sending command [%s] [%s]\n", text,
                 aErr_Text(err));
    return err;
  }
  char line[kLineSize];
  int got = 0;
  GetLine(line, kLineSize, got, kLineRetries);
  if (!ReturnCodeOk(line, got)) {
    Log::FPrintf(stdout, DEBUG_NXPSerial_SR, "Write() Error response ==>[%s]\n",
                 GetErrorText(line));
    return aErrParam;
  }

  int retriesLeft = MAX_READ_RETRY;
  uint32_t offset = 0;
  char uu[MAX_BYTES_PER_LINE / 3 * 4 + 8];
  while (offset < count && err == aErrNone) {
    uint32_t position = offset;
    uint32_t blockSum = 0;
    for (int lines = 0; lines < LINES_PER_CHECKSUM && position < count && err == aErrNone;
         ++lines) {
      uint32_t n = count - position;
      if (n > (uint32_t)MAX_BYTES_PER_LINE) n = MAX_BYTES_PER_LINE;
      uuencode(uu, data + position, (int)n);
      err = Send(uu, echo_);
      if (err == aErrNone) err = Send(kTerminator, echo_);
      blockSum += sum(data + position, n);
      position += n;
    }
    if (err != aErrNone) break;
    Log::FPrintf(stdout, DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%d)\n", blockSum,
                 (int)blockSum);
    char checksum[32];
    snprintf(checksum, sizeof(checksum), "%u\r\n", blockSum);
    err = Send(checksum, echo_);
    if (err != aErrNone) break;

    unsigned long start = aTime_GetMSTicks();
    GetLine(line, kLineSize, got, kVerdictRetries);
    Log::FPrintf(stdout, DEBUG_NXPSerial_SR, "Write() waited for checksum %d ms\n",
                 (int)(aTime_GetMSTicks() - start + 1));
    if (strcmp(line, "OK\r\n") == 0) {
      offset = position;
      Log::FPrintf(stdout, DEBUG_NXPSerial_SR,
                   "Write() valid transfer of %d of %d (%.0f%%) bytes\n", (int)offset, (int)count,
                   offset * 100.0 / count);
    } else if (strcmp(line, "RESEND\r\n") == 0) {
      if (--retriesLeft <= 0) {
        Log::FPrintf(stdout, DEBUG_NXPSerial, "Write() exceeded retries\n");
        err = aErrTimeout;
      }
    } else {
      Log::FPrintf(stdout, DEBUG_NXPSerial, "Write() unexpected response [%s]\n", line);
      err = aErrIO;
    }
  }
  return err;
}

aErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* data) {
  if (count == 0 || count % 4 != 0 || data == nullptr) return aErrParam;
  char text[64];
  snprintf(text, sizeof(text), "R %u %u\r\n", address, count);
  aErr err = CommandWithCode(text, true);
  if (err != aErrNone) return err;

  char line[kLineSize];
  int got = 0;
  int retriesLeft = MAX_READ_RETRY;
  uint32_t offset = 0;
  while (offset < count) {
    uint32_t start = offset;
    for (int lines = 0; lines < LINES_PER_CHECKSUM && offset < count; ++lines) {
      GetLine(line, kLineSize, got, kLineRetries);
      offset += (uint32_t)uudecode(data + offset, (int)(count - offset), line);
    }
    GetLine(line, kLineSize, got, kLineRetries);
    char* end = nullptr;
    long claimed = strtol(line, &end, 0);
    if (end != line && (uint32_t)claimed == sum(data + start, offset - start)) {
      Send("OK\r\n", false);
      // Only an echoing boot ROM sends the acknowledgement back; without
      // echo these bytes would be the next block's data.
      if (echo_) {
        char scratch[kLineSize];
        int n = 0;
        Response(scratch, kLineSize, n, "OK\r\n", offset < count ? 3 : 4);
      }
      Log::FPrintf(stdout, DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n",
                   (int)offset, (int)count, offset * 100.0 / count);
    } else {
      if (--retriesLeft <= 0) return aErrTimeout;
      Send("RESEND\r\n", echo_);
      offset = start;
    }
  }
  return aErrNone;
}
