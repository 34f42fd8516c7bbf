// Serial download protocol logic, independent of the transport.
#include "recovery/SDPLoader.h"

#include <stdio.h>

#include <algorithm>

#include "app/Log.h"

namespace {

const size_t MAX_COMMAND_BYTES = 17;  // report id and 16 command bytes
const size_t MAX_WRITE_BYTES = 1025;  // report id and 1024 data bytes

const uint8_t REPORT_COMMAND = 1;
const uint8_t REPORT_DATA = 2;

const uint16_t CMD_READ_REGISTER = 0x0101;
const uint16_t CMD_WRITE_FILE = 0x0404;
const uint16_t CMD_ERROR_STATUS = 0x0505;
const uint16_t CMD_JUMP_ADDRESS = 0x0B0B;

const uint8_t FORMAT_32BIT = 0x20;

const int ALIVE_ATTEMPTS = 5;
const unsigned REPLY_WAIT_MS = 100;

void sPut16(std::vector<uint8_t>& packet, uint16_t value) {
  packet.push_back(uint8_t(value >> 8));
  packet.push_back(uint8_t(value));
}

void sPut32(std::vector<uint8_t>& packet, uint32_t value) {
  packet.push_back(uint8_t(value >> 24));
  packet.push_back(uint8_t(value >> 16));
  packet.push_back(uint8_t(value >> 8));
  packet.push_back(uint8_t(value));
}

// Report id, type, address, format, data count; the data word and the
// reserved byte are left to _fillCommand.
void sCommand(std::vector<uint8_t>& packet, uint16_t type, uint32_t address, uint8_t format,
              uint32_t count) {
  packet.push_back(REPORT_COMMAND);
  sPut16(packet, type);
  sPut32(packet, address);
  packet.push_back(format);
  sPut32(packet, count);
}

}  // namespace

SDPLoader::~SDPLoader() { delete loader_; }

bool SDPLoader::setLoader(SDPLoader_Interface* loader) {
  if (loader == nullptr || loader_ != nullptr) return false;
  loader_ = loader;
  return true;
}

aErr SDPLoader::init() {
  if (loader_ == nullptr) return 1;
  return loader_->init() ? aErrNone : aErrIO;
}

void SDPLoader::_fillCommand(std::vector<uint8_t>& packet) {
  while (packet.size() < MAX_COMMAND_BYTES) packet.push_back(0);
}

void SDPLoader::_createStatusPacket(std::vector<uint8_t>& packet) {
  packet.clear();
  sCommand(packet, CMD_ERROR_STATUS, 0, 0, 0);
  _fillCommand(packet);
}

void SDPLoader::_create4ByteReadRegisterPacket(std::vector<uint8_t>& packet, uint32_t address) {
  packet.clear();
  sCommand(packet, CMD_READ_REGISTER, address, FORMAT_32BIT, 4);
  _fillCommand(packet);
}

void SDPLoader::_createWriteFilePacket(std::vector<uint8_t>& packet, uint32_t address,
                                       uint32_t count) {
  packet.clear();
  sCommand(packet, CMD_WRITE_FILE, address, FORMAT_32BIT, count);
  _fillCommand(packet);
}

void SDPLoader::_createJumpPacket(std::vector<uint8_t>& packet, uint32_t address) {
  sCommand(packet, CMD_JUMP_ADDRESS, address, 0, 0);
  _fillCommand(packet);
}

void SDPLoader::_printBuffer(const std::vector<uint8_t>& packet) {
  if (!Log::IsActive(DEBUG_iMXSerial)) return;
  for (uint8_t byte : packet) Log::FPrintf(stdout, DEBUG_iMXSerial, "%X ", byte);
  Log::FPrintf(stdout, DEBUG_iMXSerial, "\n");
}

bool SDPLoader::_expectResponse(const std::vector<uint8_t>& reply) {
  unsigned word = 0;
  return loader_ != nullptr && loader_->getDataFromBuffer(reply, 0, word);
}

bool SDPLoader::_expectSuccess(const std::vector<uint8_t>& reply) {
  unsigned word = 0;
  return loader_ != nullptr && loader_->getDataFromBuffer(reply, 0, word) &&
         word == WRITE_FILE_COMPLETE;
}

ssize_t SDPLoader::_exchange(const std::vector<uint8_t>& packet, std::vector<uint8_t>& reply,
                             unsigned waitMs) {
  ssize_t written = loader_->writeData(packet);
  Log::FPrintf(stdout, DEBUG_iMXSerial, "bytesWritten: %zu\n", (size_t)written);
  _printBuffer(packet);
  // Each answer is read into an empty vector: the transports append, and a
  // partial answer left from an earlier attempt must not shift this one.
  reply.clear();
  ssize_t read = loader_->readData(reply, waitMs);
  Log::FPrintf(stdout, DEBUG_iMXSerial, "Read Data: %zd\n", read);
  _printBuffer(reply);
  return read;
}

bool SDPLoader::_isConnectionAlive() {
  if (loader_ == nullptr) return false;
  std::vector<uint8_t> packet;
  _createStatusPacket(packet);
  std::vector<uint8_t> reply;
  for (int attempt = 0; attempt < ALIVE_ATTEMPTS; ++attempt) {
    _exchange(packet, reply, REPLY_WAIT_MS);
    if (_expectResponse(reply)) return true;
    // Unanswered: the ROM may hold part of a command that was not ours.
    if (attempt == 0 && loader_->realign())
      Log::FPrintf(stdout, DEBUG_iMXSerial, "Back in step with the ROM's commands\n");
  }
  Log::FPrintf(stdout, 0, "Error: No ack from iMX device\n");
  return false;
}

aErr SDPLoader::_readWord(uint32_t address, unsigned& word) {
  std::vector<uint8_t> packet;
  _create4ByteReadRegisterPacket(packet, address);
  std::vector<uint8_t> reply;
  _exchange(packet, reply, REPLY_WAIT_MS);
  word = 0;
  return loader_->getDataFromBuffer(reply, 0, word) ? aErrNone : aErrMode;
}

aErr SDPLoader::getFingerprint(uint64_t& value) {
  if (!_isConnectionAlive()) return aErrParam;
  unsigned word = 0;
  if (_readWord(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET, word) != aErrNone)
    return aErrMode;
  value |= uint64_t(word);
  if (_readWord(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET, word) != aErrNone)
    return aErrMode;
  value |= uint64_t(word) << 32;
  return aErrNone;
}

int SDPLoader::writeLoader(std::vector<uint8_t> data, uint32_t address) {
  if (!_isConnectionAlive()) return 2;

  std::vector<uint8_t> packet;
  _createWriteFilePacket(packet, address, (uint32_t)data.size());
  ssize_t result = loader_->writeData(packet);
  Log::FPrintf(stdout, DEBUG_iMXSerial, "Write Res: %zd\n", result);
  _printBuffer(packet);

  std::vector<uint8_t> reply;
  std::vector<uint8_t> report;
  report.reserve(MAX_WRITE_BYTES);
  size_t taken = 0;
  int total = 0;
  for (int loop = 0;; ++loop) {
    if (taken >= data.size()) {
      Log::FPrintf(stdout, DEBUG_iMXSerial, "Written Bytes: %d\n", total);
      reply.clear();
      loader_->readData(reply, REPLY_WAIT_MS);
      Log::FPrintf(stdout, DEBUG_iMXSerial, "Data Read: \n");
      _printBuffer(reply);
      if (_expectSuccess(reply)) {
        Log::FPrintf(stdout, 0, "Loader Transfer Successful\n");
        return 0;
      }
      Log::FPrintf(stdout, 0, "Loader Transfer Unsuccessful\n");
      return 4;
    }

    // The ROM says nothing until the last byte; anything before that is an
    // error report.
    reply.clear();
    ssize_t read = loader_->readData(reply, 0);
    Log::FPrintf(stdout, DEBUG_iMXSerial, "Read Data: %zd\n", read);
    _printBuffer(reply);
    if (read > 0 || !reply.empty()) {
      Log::FPrintf(stdout, 0, "Error while transfering loader. Aborting\n");
      return 3;
    }

    size_t chunk = std::min(data.size() - taken, MAX_WRITE_BYTES - 1);
    report.clear();
    report.push_back(REPORT_DATA);
    report.insert(report.end(), data.begin() + taken, data.begin() + taken + chunk);
    taken += chunk;
    result = loader_->writeData(report);
    total += (int)result;
    Log::FPrintf(stdout, DEBUG_iMXSerial,
                 "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", result, total,
                 loop, (long)taken, (ssize_t)report.size());
  }
}

void SDPLoader::startLoader(uint32_t address) {
  if (loader_ == nullptr) return;
  std::vector<uint8_t> packet;
  _createJumpPacket(packet, address);
  ssize_t result = loader_->writeData(packet);
  Log::FPrintf(stdout, DEBUG_iMXSerial, "Write Res: %zd\n", result);
  _printBuffer(packet);
  std::vector<uint8_t> reply;
  loader_->readData(reply, REPLY_WAIT_MS);
}
