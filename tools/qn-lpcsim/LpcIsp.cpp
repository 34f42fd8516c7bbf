#include "tools/qn-lpcsim/LpcIsp.h"

#include <stdio.h>
#include <string.h>

namespace lpcsim {

namespace {

const char* const kReturnCodeNames[kReturnCodeCount] = {
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
};

// Longest command or data line kept; the rest of a longer line is dropped.
constexpr size_t kMaxLine = 256;

// Decimal number as the ROM takes it: digits only, 32 bits.
bool ParseDecimal(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (unsigned)(c - '0');
  }
  if (v > 0xFFFFFFFFULL) return false;
  *value = (uint32_t)v;
  return true;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

std::string Decimal(uint32_t value) {
  char buf[16];
  snprintf(buf, sizeof(buf), "%u\r\n", value);
  return buf;
}

uint32_t Sum(const uint8_t* data, size_t count) {
  uint32_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum += data[i];
  return sum;
}

}  // namespace

const char* ReturnCodeName(unsigned code) {
  return code < kReturnCodeCount ? kReturnCodeNames[code] : "?";
}

uint32_t SectorStart(unsigned sector) {
  if (sector < 16) return sector * 0x1000u;
  return 0x10000u + (sector - 16) * 0x8000u;
}

uint32_t SectorSize(unsigned sector) {
  if (sector >= kSectorCount) return 0;
  return sector < 16 ? 0x1000u : 0x8000u;
}

unsigned SectorOf(uint32_t address) {
  if (address >= kFlashSize) return kSectorCount;
  if (address < 0x10000u) return address / 0x1000u;
  return 16 + (address - 0x10000u) / 0x8000u;
}

char UuChar(unsigned value) {
  value &= 63;
  return value == 0 ? '`' : (char)(value + 32);
}

std::string UuEncode(const uint8_t* data, size_t count) {
  std::string line;
  line += UuChar((unsigned)count);
  for (size_t i = 0; i < count; i += 3) {
    uint32_t group = (uint32_t)data[i] << 16;
    if (i + 1 < count) group |= (uint32_t)data[i + 1] << 8;
    if (i + 2 < count) group |= data[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) line += UuChar((group >> shift) & 63);
  }
  return line;
}

size_t UuDecode(const std::string& line, std::vector<uint8_t>* out) {
  if (line.empty()) return 0;
  size_t count = (size_t)((line[0] - 32) & 63);
  size_t pos = 1;
  size_t produced = 0;
  while (produced < count) {
    uint32_t group = 0;
    for (int k = 0; k < 4; ++k) {
      unsigned v = pos < line.size() ? (unsigned)((line[pos] - 32) & 63) : 0;
      ++pos;
      group = (group << 6) | v;
    }
    for (int shift = 16; shift >= 0 && produced < count; shift -= 8) {
      out->push_back((uint8_t)(group >> shift));
      ++produced;
    }
  }
  return count;
}

Device::Device(const Config& config)
    : config_(config),
      prepared_(kSectorCount, false),
      flash_(kFlashSize, 0xFF),
      ram0_(kRamSize, 0),
      ram1_(kRamSize, 0) {}

std::vector<Device::Chunk> Device::TakeOutput() {
  std::vector<Chunk> out;
  out.swap(out_);
  return out;
}

bool Device::TakeFlashChanged() {
  bool changed = flashChanged_;
  flashChanged_ = false;
  return changed;
}

bool Device::TakeGo(uint32_t* address, char* mode) {
  if (!went_) return false;
  went_ = false;
  *address = goAddress_;
  *mode = goMode_;
  return true;
}

unsigned Device::TakeBaudChange() {
  unsigned rate = newBaud_;
  newBaud_ = 0;
  return rate;
}

std::vector<std::string> Device::TakeNotes() {
  std::vector<std::string> out;
  out.swap(notes_);
  return out;
}

void Device::Reply(const std::string& text) { out_.push_back({text, true}); }

void Device::ReplyCode(unsigned code) { Reply(Decimal(code)); }

void Device::Echo(uint8_t byte) {
  if (!echo_) return;
  if (out_.empty() || out_.back().reply) out_.push_back({std::string(), false});
  out_.back().bytes += (char)byte;
}

void Device::Receive(uint8_t byte) {
  switch (state_) {
    case State::kRunning:
      return;
    case State::kAutobaud:
      // Until the ROM has measured the line rate from a "?" it sees nothing
      // else; level 3 protection and a mute part never get that far.
      if (byte == '?' && !config_.noSync && config_.crp < 3) {
        Reply("Synchronized\r\n");
        state_ = State::kSyncWord;
        line_.clear();
        pendingCr_ = false;
      }
      return;
    default:
      break;
  }
  if (pendingCr_) {
    pendingCr_ = false;
    if (byte == '\n') {
      Echo(byte);
      LineDone();
      return;
    }
    LineDone();
    Receive(byte);
    return;
  }
  Echo(byte);
  if (byte == '\r') {
    pendingCr_ = true;
  } else if (byte == '\n') {
    LineDone();
  } else if (line_.size() < kMaxLine) {
    line_ += (char)byte;
  }
}

void Device::Idle() {
  if (pendingCr_) {
    pendingCr_ = false;
    LineDone();
  }
}

void Device::Reset() {
  state_ = State::kAutobaud;
  echo_ = true;
  unlocked_ = false;
  line_.clear();
  pendingCr_ = false;
  prepared_.assign(kSectorCount, false);
  xferAddress_ = xferCount_ = xferDone_ = 0;
  block_.clear();
  blockLines_ = 0;
  out_.clear();
}

void Device::LineDone() {
  std::string line;
  line.swap(line_);
  // Extra carriage returns and line feeds are ignored.
  if (line.empty()) return;
  HandleLine(line);
}

void Device::HandleLine(const std::string& line) {
  switch (state_) {
    case State::kSyncWord:
      if (line == "Synchronized") {
        Reply("OK\r\n");
        state_ = State::kCrystal;
      } else {
        state_ = State::kAutobaud;
      }
      break;
    case State::kCrystal: {
      uint32_t khz = 0;
      if (ParseDecimal(line, &khz)) {
        Reply("OK\r\n");
        state_ = State::kCommand;
      } else {
        state_ = State::kAutobaud;
      }
      break;
    }
    case State::kCommand:
      HandleCommand(line);
      break;
    case State::kWriteData:
      HandleWriteLine(line);
      break;
    case State::kReadAck:
      HandleReadAck(line);
      break;
    default:
      break;
  }
}

void Device::HandleCommand(const std::string& line) {
  std::vector<std::string> tokens = Split(line);
  if (tokens.empty() || tokens[0].size() != 1) {
    ReplyCode(INVALID_COMMAND);
    return;
  }
  char command = tokens[0][0];
  std::vector<uint32_t> args;
  bool numeric = true;
  // "G" takes a mode letter as its last argument.
  size_t numericEnd = command == 'G' ? tokens.size() - 1 : tokens.size();
  for (size_t i = 1; i < numericEnd; ++i) {
    uint32_t v = 0;
    if (!ParseDecimal(tokens[i], &v)) numeric = false;
    args.push_back(v);
  }
  auto forced = config_.failCommand.find(command);
  if (forced != config_.failCommand.end()) {
    ReplyCode(forced->second);
    return;
  }
  auto want = [&](size_t n) { return numeric && args.size() == n; };
  std::string extra;
  unsigned code = INVALID_COMMAND;
  switch (command) {
    case 'U':
      code = want(1) ? CmdUnlock(args) : PARAM_ERROR;
      break;
    case 'B':
      code = want(2) ? CmdBaud(args) : PARAM_ERROR;
      break;
    case 'A':
      code = want(1) ? CmdEcho(args) : PARAM_ERROR;
      break;
    case 'W':
      code = want(2) ? CmdWrite(args) : PARAM_ERROR;
      break;
    case 'R':
      code = want(2) ? CmdRead(args) : PARAM_ERROR;
      if (code == CMD_SUCCESS) {
        ReplyCode(code);
        if (xferCount_ > 0) {
          SendReadBlock();
          state_ = State::kReadAck;
        }
        return;
      }
      break;
    case 'P':
      code = want(2) ? CmdPrepare(args) : PARAM_ERROR;
      break;
    case 'C':
      code = want(3) ? CmdCopy(args) : PARAM_ERROR;
      break;
    case 'E':
      code = want(2) ? CmdErase(args) : PARAM_ERROR;
      break;
    case 'I':
      code = want(2) ? CmdBlankCheck(args, &extra) : PARAM_ERROR;
      break;
    case 'M':
      code = want(3) ? CmdCompare(args, &extra) : PARAM_ERROR;
      break;
    case 'J':
      code = tokens.size() == 1 ? CMD_SUCCESS : PARAM_ERROR;
      if (code == CMD_SUCCESS) extra = Decimal(config_.partId);
      break;
    case 'K':
      code = tokens.size() == 1 ? CMD_SUCCESS : PARAM_ERROR;
      if (code == CMD_SUCCESS) extra = Decimal(config_.bootMajor) + Decimal(config_.bootMinor);
      break;
    case 'N':
      code = tokens.size() == 1 ? CMD_SUCCESS : PARAM_ERROR;
      if (code == CMD_SUCCESS) {
        for (uint32_t word : config_.serial) extra += Decimal(word);
      }
      break;
    case 'G': {
      const std::string& mode = tokens.back();
      if (tokens.size() != 3 || !numeric || (mode != "T" && mode != "A")) {
        code = PARAM_ERROR;
      } else if (config_.crp >= 2) {
        code = CODE_READ_PROTECTION_ENABLED;
      } else if (!unlocked_) {
        code = CMD_LOCKED;
      } else if (args[0] % 4 != 0) {
        code = ADDR_ERROR;
      } else if (!Mapped(args[0], 4)) {
        code = ADDR_NOT_MAPPED;
      } else {
        ReplyCode(CMD_SUCCESS);
        went_ = true;
        goAddress_ = args[0];
        goMode_ = mode[0];
        state_ = State::kRunning;
        return;
      }
      break;
    }
    default:
      code = INVALID_COMMAND;
      break;
  }
  ReplyCode(code);
  if (!extra.empty()) Reply(extra);
  // Echo changes after the answer to "A" has gone out with the old setting.
  if (command == 'A' && code == CMD_SUCCESS) echo_ = args[0] != 0;
}

unsigned Device::CmdUnlock(const std::vector<uint32_t>& a) {
  if (a[0] != kUnlockCode) return INVALID_CODE;
  unlocked_ = true;
  return CMD_SUCCESS;
}

unsigned Device::CmdBaud(const std::vector<uint32_t>& a) {
  static const uint32_t kRates[] = {9600, 19200, 38400, 57600, 115200, 230400};
  bool known = false;
  for (uint32_t rate : kRates) known = known || rate == a[0];
  if (!known) return INVALID_BAUD_RATE;
  if (a[1] != 1 && a[1] != 2) return INVALID_STOP_BIT;
  newBaud_ = a[0];
  return CMD_SUCCESS;
}

unsigned Device::CmdEcho(const std::vector<uint32_t>& a) {
  return a[0] <= 1 ? CMD_SUCCESS : PARAM_ERROR;
}

unsigned Device::CmdWrite(const std::vector<uint32_t>& a) {
  uint32_t address = a[0], count = a[1];
  if (config_.crp >= 2) return CODE_READ_PROTECTION_ENABLED;
  if (address % 4 != 0) return ADDR_ERROR;
  if (count % 4 != 0) return COUNT_ERROR;
  if (!Ram(address, count ? count : 4)) return ADDR_NOT_MAPPED;
  if (config_.crp == 1 && address < kCrp1RamFloor) return CODE_READ_PROTECTION_ENABLED;
  if (count > 0) {
    xferAddress_ = address;
    xferCount_ = count;
    xferDone_ = 0;
    block_.clear();
    blockLines_ = 0;
    state_ = State::kWriteData;
  }
  return CMD_SUCCESS;
}

unsigned Device::CmdRead(const std::vector<uint32_t>& a) {
  uint32_t address = a[0], count = a[1];
  if (config_.crp >= 1) return CODE_READ_PROTECTION_ENABLED;
  if (address % 4 != 0) return ADDR_ERROR;
  if (count % 4 != 0) return COUNT_ERROR;
  if (!Mapped(address, count ? count : 4)) return ADDR_NOT_MAPPED;
  xferAddress_ = address;
  xferCount_ = count;
  xferDone_ = 0;
  block_.clear();
  return CMD_SUCCESS;
}

unsigned Device::CmdPrepare(const std::vector<uint32_t>& a) {
  if (a[0] > a[1] || a[1] >= kSectorCount) return INVALID_SECTOR;
  for (uint32_t s = a[0]; s <= a[1]; ++s) prepared_[s] = true;
  return CMD_SUCCESS;
}

unsigned Device::CmdCopy(const std::vector<uint32_t>& a) {
  uint32_t dst = a[0], src = a[1], count = a[2];
  if (config_.crp >= 2) return CODE_READ_PROTECTION_ENABLED;
  if (!unlocked_) return CMD_LOCKED;
  if (dst % 256 != 0) return DST_ADDR_ERROR;
  if (src % 4 != 0) return SRC_ADDR_ERROR;
  if (count != 256 && count != 512 && count != 1024 && count != 4096) return COUNT_ERROR;
  if (dst >= kFlashSize || kFlashSize - dst < count) return DST_ADDR_NOT_MAPPED;
  const uint8_t* from = Ram(src, count);
  if (!from) return SRC_ADDR_NOT_MAPPED;
  unsigned first = SectorOf(dst), last = SectorOf(dst + count - 1);
  if (config_.crp == 1 && first == 0) return CODE_READ_PROTECTION_ENABLED;
  for (unsigned s = first; s <= last; ++s) {
    if (!prepared_[s]) return SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION;
  }
  bool blank = true;
  for (uint32_t i = 0; i < count; ++i) {
    if (flash_[dst + i] != 0xFF) blank = false;
    // Programming can only clear bits; writing over unerased flash leaves
    // the AND of old and new contents, as on the part.
    flash_[dst + i] &= from[i];
  }
  if (!blank) {
    char note[96];
    snprintf(note, sizeof(note), "copy into flash that was not erased at 0x%08X", dst);
    notes_.push_back(note);
  }
  prepared_.assign(kSectorCount, false);
  flashChanged_ = true;
  return CMD_SUCCESS;
}

unsigned Device::CmdErase(const std::vector<uint32_t>& a) {
  if (!unlocked_) return CMD_LOCKED;
  if (a[0] > a[1] || a[1] >= kSectorCount) return INVALID_SECTOR;
  bool all = a[0] == 0 && a[1] == kSectorCount - 1;
  if (config_.crp >= 2 && !all) return CODE_READ_PROTECTION_ENABLED;
  if (config_.crp == 1 && a[0] == 0 && !all) return CODE_READ_PROTECTION_ENABLED;
  for (uint32_t s = a[0]; s <= a[1]; ++s) {
    if (!prepared_[s]) return SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION;
  }
  uint32_t start = SectorStart(a[0]);
  uint32_t end = SectorStart(a[1]) + SectorSize(a[1]);
  for (uint32_t i = start; i < end; ++i) flash_[i] = 0xFF;
  prepared_.assign(kSectorCount, false);
  flashChanged_ = true;
  return CMD_SUCCESS;
}

unsigned Device::CmdBlankCheck(const std::vector<uint32_t>& a, std::string* extra) {
  if (a[0] > a[1] || a[1] >= kSectorCount) return INVALID_SECTOR;
  uint32_t start = SectorStart(a[0]);
  uint32_t end = SectorStart(a[1]) + SectorSize(a[1]);
  for (uint32_t i = start; i < end; i += 4) {
    uint32_t word = (uint32_t)flash_[i] | (uint32_t)flash_[i + 1] << 8 |
                    (uint32_t)flash_[i + 2] << 16 | (uint32_t)flash_[i + 3] << 24;
    if (word != 0xFFFFFFFFu) {
      *extra = Decimal(i - start) + Decimal(word);
      return SECTOR_NOT_BLANK;
    }
  }
  return CMD_SUCCESS;
}

unsigned Device::CmdCompare(const std::vector<uint32_t>& a, std::string* extra) {
  uint32_t first = a[0], second = a[1], count = a[2];
  if (config_.crp >= 1) return CODE_READ_PROTECTION_ENABLED;
  if (first % 4 != 0 || second % 4 != 0) return ADDR_ERROR;
  if (count % 4 != 0) return COUNT_ERROR;
  const uint8_t* p = Mapped(first, count ? count : 4);
  const uint8_t* q = Mapped(second, count ? count : 4);
  if (!p || !q) return ADDR_NOT_MAPPED;
  for (uint32_t i = 0; i < count; i += 4) {
    if (memcmp(p + i, q + i, 4) != 0) {
      *extra = Decimal(i);
      return COMPARE_ERROR;
    }
  }
  return CMD_SUCCESS;
}

void Device::HandleWriteLine(const std::string& line) {
  uint32_t remaining = xferCount_ - xferDone_ - (uint32_t)block_.size();
  if (blockLines_ < kLinesPerChecksum && remaining > 0) {
    std::vector<uint8_t> bytes;
    UuDecode(line, &bytes);
    if (bytes.size() > remaining) bytes.resize(remaining);
    block_.insert(block_.end(), bytes.begin(), bytes.end());
    ++blockLines_;
    return;
  }
  // This line is the block's checksum.
  ++checksumsSeen_;
  uint32_t claimed = 0;
  bool valid = ParseDecimal(line, &claimed) && claimed == Sum(block_.data(), block_.size());
  bool forced = config_.resendAt.count(checksumsSeen_) != 0;
  if (valid && !forced) {
    uint8_t* to = Ram(xferAddress_ + xferDone_, block_.size());
    if (to && !block_.empty()) memcpy(to, block_.data(), block_.size());
    xferDone_ += (uint32_t)block_.size();
    Reply("OK\r\n");
  } else {
    char note[96];
    snprintf(note, sizeof(note), "checksum %u: RESEND (%s)", checksumsSeen_,
             forced ? "forced" : "mismatch");
    notes_.push_back(note);
    Reply("RESEND\r\n");
  }
  block_.clear();
  blockLines_ = 0;
  if (xferDone_ >= xferCount_) state_ = State::kCommand;
}

void Device::SendReadBlock() {
  uint32_t size = xferCount_ - xferDone_;
  if (size > kBytesPerUuLine * kLinesPerChecksum) size = kBytesPerUuLine * kLinesPerChecksum;
  const uint8_t* from = Mapped(xferAddress_ + xferDone_, size);
  block_.assign(from, from + size);
  std::string text;
  for (uint32_t i = 0; i < size; i += kBytesPerUuLine) {
    uint32_t n = size - i < kBytesPerUuLine ? size - i : kBytesPerUuLine;
    text += UuEncode(block_.data() + i, n);
    text += "\r\n";
  }
  text += Decimal(Sum(block_.data(), block_.size()));
  Reply(text);
}

void Device::HandleReadAck(const std::string& line) {
  if (line == "OK") {
    xferDone_ += (uint32_t)block_.size();
    if (xferDone_ >= xferCount_) {
      state_ = State::kCommand;
    } else {
      SendReadBlock();
    }
  } else if (line == "RESEND") {
    SendReadBlock();
  } else {
    notes_.push_back("read ended by an unexpected acknowledgement");
    state_ = State::kCommand;
  }
}

uint8_t* Device::Ram(uint32_t address, size_t count) {
  if (address >= kRam0Base && address - kRam0Base <= kRamSize &&
      count <= kRamSize - (address - kRam0Base)) {
    return ram0_.data() + (address - kRam0Base);
  }
  if (address >= kRam1Base && address - kRam1Base <= kRamSize &&
      count <= kRamSize - (address - kRam1Base)) {
    return ram1_.data() + (address - kRam1Base);
  }
  return nullptr;
}

const uint8_t* Device::Mapped(uint32_t address, size_t count) const {
  if (address < kFlashSize && count <= kFlashSize - address) return flash_.data() + address;
  return const_cast<Device*>(this)->Ram(address, count);
}

bool Device::Peek(uint32_t address, size_t count, std::vector<uint8_t>* out) const {
  const uint8_t* p = Mapped(address, count);
  if (!p) return false;
  out->assign(p, p + count);
  return true;
}

bool Device::VectorsValid() const {
  uint32_t sum = 0;
  for (int i = 0; i < 8; ++i) {
    sum += (uint32_t)flash_[i * 4] | (uint32_t)flash_[i * 4 + 1] << 8 |
           (uint32_t)flash_[i * 4 + 2] << 16 | (uint32_t)flash_[i * 4 + 3] << 24;
  }
  return sum == 0;
}

}  // namespace lpcsim
