#include "tools/qn-sdpsim/SdpRom.h"

#include <string.h>

namespace sdpsim {

namespace {

// Largest READ_REGISTER answer and DCD table the ROM takes; the counts come
// from the host and are not trusted.
constexpr uint32_t kMaxReadCount = 0x10000;
constexpr uint32_t kMaxDcdSize = 1768;
// Quiet times after which an unfinished data phase is given up.
constexpr unsigned kAbortedQuietMs = 100;
constexpr unsigned kAbandonedQuietMs = 1000;

uint32_t Be32(const uint8_t* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

void PutLe32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back((uint8_t)(v >> (8 * i)));
}

void PutBe(std::vector<uint8_t>* out, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back((uint8_t)(v >> (8 * i)));
}

}  // namespace

Command ParseCommand(const uint8_t b[kCommandSize]) {
  Command c;
  c.type = (uint16_t)(b[0] << 8 | b[1]);
  c.address = Be32(b + 2);
  c.format = b[6];
  c.count = Be32(b + 7);
  c.data = Be32(b + 11);
  return c;
}

std::vector<uint8_t> EncodeCommand(const Command& c) {
  std::vector<uint8_t> out;
  PutBe(&out, c.type, 2);
  PutBe(&out, c.address, 4);
  out.push_back(c.format);
  PutBe(&out, c.count, 4);
  PutBe(&out, c.data, 4);
  out.push_back(0);
  return out;
}

Device::Device(const Config& config) : config_(config) {
  for (const Region& r : kRegions) ram_.emplace_back(r.size, 0);
}

std::vector<Answer> Device::TakeAnswers() {
  std::vector<Answer> out;
  out.swap(answers_);
  return out;
}

std::vector<FileWrite> Device::TakeFileWrites() {
  std::vector<FileWrite> out;
  out.swap(fileWrites_);
  return out;
}

bool Device::TakeJump(uint32_t* address) {
  if (!jumpPending_) return false;
  jumpPending_ = false;
  *address = jumpAddress_;
  return true;
}

void Device::Hab() {
  Answer a{Answer::kHab, {}};
  PutLe32(&a.bytes, config_.hab);
  answers_.push_back(a);
}

void Device::Respond(uint32_t word) {
  Answer a{Answer::kResponse, {}};
  PutLe32(&a.bytes, word);
  answers_.push_back(a);
}

uint8_t* Device::Ram(uint32_t address, size_t count) {
  for (size_t i = 0; i < kRegionCount; ++i) {
    const Region& r = kRegions[i];
    if (address >= r.base && address - r.base <= r.size && count <= r.size - (address - r.base))
      return ram_[i].data() + (address - r.base);
  }
  return nullptr;
}

bool Device::Peek(uint32_t address, size_t count, std::vector<uint8_t>* out) const {
  const uint8_t* p = const_cast<Device*>(this)->Ram(address, count);
  if (!p) return false;
  out->assign(p, p + count);
  return true;
}

bool Device::Poke(uint32_t address, const uint8_t* data, size_t count) {
  uint8_t* p = Ram(address, count);
  if (!p) return false;
  if (count) memcpy(p, data, count);
  return true;
}

uint32_t Device::ReadWord(uint32_t address) const {
  if (address == kFuseCfg0) return (uint32_t)config_.fingerprint;
  if (address == kFuseCfg1) return (uint32_t)(config_.fingerprint >> 32);
  std::vector<uint8_t> bytes;
  if (Peek(address, 4, &bytes)) {
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
           (uint32_t)bytes[3] << 24;
  }
  auto it = registers_.find(address);
  return it == registers_.end() ? 0 : it->second;
}

void Device::MarkWritten(uint32_t address, uint32_t count) {
  if (count == 0) return;
  uint32_t start = address, end = address + count;
  auto it = written_.upper_bound(start);
  if (it != written_.begin()) {
    auto prev = std::prev(it);
    if (prev->second >= start) {
      start = prev->first;
      if (prev->second > end) end = prev->second;
      written_.erase(prev);
    }
  }
  it = written_.lower_bound(start);
  while (it != written_.end() && it->first <= end) {
    if (it->second > end) end = it->second;
    it = written_.erase(it);
  }
  written_[start] = end;
}

std::string Device::DumpWritten() const {
  std::string out;
  for (const auto& range : written_) {
    std::vector<uint8_t> head;
    PutLe32(&head, range.first);
    PutLe32(&head, range.second - range.first);
    out.append(head.begin(), head.end());
    std::vector<uint8_t> bytes;
    Peek(range.first, range.second - range.first, &bytes);
    out.append(bytes.begin(), bytes.end());
  }
  return out;
}

bool Device::IvtAt(uint32_t address) const {
  std::vector<uint8_t> ivt;
  if (!Peek(address, 32, &ivt)) return false;
  // Header: tag 0xD1, big-endian length 0x0020, version 0x40 to 0x43.
  return ivt[0] == 0xD1 && ivt[1] == 0x00 && ivt[2] == 0x20 && ivt[3] >= 0x40 && ivt[3] <= 0x43;
}

void Device::Command(const uint8_t bytes[kCommandSize]) {
  if (config_.silent || jumped_) return;
  sdpsim::Command c = ParseCommand(bytes);
  switch (c.type) {
    case kReadRegister: {
      uint32_t count = c.count > kMaxReadCount ? kMaxReadCount : c.count;
      count = count < 4 ? 4 : (count + 3) / 4 * 4;
      Hab();
      Answer a{Answer::kResponse, {}};
      for (uint32_t i = 0; i < count; i += 4) PutLe32(&a.bytes, ReadWord(c.address + i));
      answers_.push_back(a);
      status_ = kStatusOk;
      break;
    }
    case kWriteRegister: {
      unsigned size = c.format == 0x08 ? 1 : c.format == 0x10 ? 2 : 4;
      uint8_t value[4];
      for (unsigned i = 0; i < 4; ++i) value[i] = (uint8_t)(c.data >> (8 * i));
      if (!Poke(c.address, value, size)) registers_[c.address] = c.data;
      Hab();
      Respond(kWriteComplete);
      status_ = kStatusOk;
      break;
    }
    case kWriteFile:
    case kDcdWrite:
      dataCommand_ = c.type;
      dataAddress_ = c.address;
      dataCount_ = dataLeft_ = c.count;
      dataBuffer_.clear();
      aborted_ = false;
      if (dataLeft_ == 0) FinishData();
      break;
    case kErrorStatus:
      Hab();
      Respond(status_);
      break;
    case kSkipDcdHeader:
      Hab();
      Respond(kSkipDcdComplete);
      status_ = kStatusOk;
      break;
    case kJumpAddress:
      Hab();
      if (config_.requireIvt && !IvtAt(c.address)) {
        Respond(kStatusFailed);
        status_ = kStatusFailed;
        break;
      }
      jumped_ = true;
      jumpPending_ = true;
      jumpAddress_ = c.address;
      break;
    default:
      // Not a command: nothing is answered; the status tells.
      status_ = kStatusFailed;
      break;
  }
}

void Device::Data(const uint8_t* data, size_t count) {
  if (dataLeft_ == 0) return;
  uint32_t take = count < dataLeft_ ? (uint32_t)count : dataLeft_;
  uint32_t offset = dataCount_ - dataLeft_;
  if (dataCommand_ == kWriteFile) {
    if (!aborted_) {
      uint64_t end = (uint64_t)dataAddress_ + offset;
      if (end <= 0xFFFFFFFFu) Poke((uint32_t)end, data, take);
    }
    uint64_t before = fileBytes_;
    fileBytes_ += take;
    if (config_.unsolicitedAt && !aborted_ && before < config_.unsolicitedAt &&
        fileBytes_ >= config_.unsolicitedAt) {
      // The ROM reports a failure while the host is still sending.
      Hab();
      Respond(kStatusFailed);
      status_ = kStatusFailed;
      aborted_ = true;
    }
  } else if (dataBuffer_.size() < kMaxDcdSize) {
    size_t keep = kMaxDcdSize - dataBuffer_.size();
    dataBuffer_.insert(dataBuffer_.end(), data, data + (take < keep ? take : keep));
  }
  dataLeft_ -= take;
  if (dataLeft_ == 0) FinishData();
}

void Device::FinishData() {
  if (dataCommand_ == kWriteFile) {
    bool mapped = Ram(dataAddress_, dataCount_) != nullptr;
    bool stored = mapped && !aborted_ && !config_.writeFail;
    fileWrites_.push_back({dataAddress_, dataCount_, stored});
    if (aborted_) {
      aborted_ = false;
      return;  // already answered
    }
    Hab();
    if (stored) {
      MarkWritten(dataAddress_, dataCount_);
      Respond(kWriteFileComplete);
      status_ = kStatusOk;
    } else {
      Respond(kStatusFailed);
      status_ = kStatusFailed;
    }
    return;
  }
  // DCD table: header D2 len(2) version, then commands; only plain
  // write-data commands (tag CC, no mask flags) change anything here.
  const std::vector<uint8_t>& d = dataBuffer_;
  if (d.size() >= 4 && d[0] == 0xD2) {
    size_t total = (size_t)d[1] << 8 | d[2];
    if (total > d.size()) total = d.size();
    size_t pos = 4;
    while (pos + 4 <= total) {
      size_t len = (size_t)d[pos + 1] << 8 | d[pos + 2];
      if (len < 4 || pos + len > total) break;
      uint8_t param = d[pos + 3];
      unsigned width = param & 7;
      if (d[pos] == 0xCC && (param & 0x18) == 0 && (width == 1 || width == 2 || width == 4)) {
        for (size_t at = pos + 4; at + 8 <= pos + len; at += 8) {
          uint32_t address = Be32(&d[at]), value = Be32(&d[at + 4]);
          uint8_t bytes[4];
          for (unsigned i = 0; i < 4; ++i) bytes[i] = (uint8_t)(value >> (8 * i));
          if (!Poke(address, bytes, width)) registers_[address] = value;
        }
      }
      pos += len;
    }
  }
  Hab();
  Respond(kWriteComplete);
  status_ = kStatusOk;
}

void Device::Idle(unsigned quietMs) {
  if (dataLeft_ == 0) return;
  if (quietMs < (aborted_ ? kAbortedQuietMs : kAbandonedQuietMs)) return;
  if (dataCommand_ == kWriteFile) fileWrites_.push_back({dataAddress_, dataCount_, false});
  dataLeft_ = 0;
  aborted_ = false;
  status_ = kStatusFailed;
}

void Device::Reset() {
  dataLeft_ = 0;
  aborted_ = false;
  status_ = kStatusOk;
  jumped_ = false;
  jumpPending_ = false;
  answers_.clear();
}

void SerialFramer::Reset() {
  device_.Reset();
  command_.clear();
  out_.clear();
}

void SerialFramer::Collect() {
  for (const Answer& a : device_.TakeAnswers()) out_.append(a.bytes.begin(), a.bytes.end());
}

void SerialFramer::Receive(const uint8_t* bytes, size_t count) {
  if (device_.silent()) return;
  size_t i = 0;
  while (i < count) {
    if (device_.WantsData()) {
      // Data goes straight through, up to the announced count.
      size_t n = count - i < device_.dataLeft() ? count - i : device_.dataLeft();
      device_.Data(bytes + i, n);
      i += n;
      Collect();
      continue;
    }
    command_.push_back(bytes[i++]);
    if (command_.size() == 4 && memcmp(command_.data(), kAssociation, 4) == 0) {
      if (!device_.jumped()) out_.append((const char*)kAssociation, 4);
      command_.clear();
    } else if (command_.size() == kCommandSize) {
      device_.Command(command_.data());
      command_.clear();
    }
    Collect();
  }
}

void SerialFramer::Idle(unsigned quietMs) {
  device_.Idle(quietMs);
  // A partial command that the host abandoned is dropped so that the next
  // one starts on a command boundary, unless the ROM is to keep it.
  if (quietMs >= kAbandonedQuietMs && !device_.keepsPartial()) command_.clear();
  Collect();
}

std::string SerialFramer::TakeOutput() {
  std::string out;
  out.swap(out_);
  return out;
}

void HidFramer::OutputReport(const uint8_t* report, size_t length) {
  if (length < 1) return;
  if (report[0] == 1 && length >= 1 + kCommandSize) {
    device_.Command(report + 1);
  } else if (report[0] == 2 && device_.WantsData()) {
    device_.Data(report + 1, length - 1);
  }
}

std::vector<std::vector<uint8_t>> HidFramer::TakeInputReports() {
  std::vector<std::vector<uint8_t>> reports;
  for (const Answer& a : device_.TakeAnswers()) {
    if (a.kind == Answer::kHab) {
      std::vector<uint8_t> r = {3};
      r.insert(r.end(), a.bytes.begin(), a.bytes.end());
      reports.push_back(r);
      continue;
    }
    for (size_t at = 0; at < a.bytes.size(); at += 64) {
      std::vector<uint8_t> r(65, 0);
      r[0] = 4;
      size_t n = a.bytes.size() - at < 64 ? a.bytes.size() - at : 64;
      memcpy(r.data() + 1, a.bytes.data() + at, n);
      reports.push_back(r);
    }
  }
  return reports;
}

}  // namespace sdpsim
