#include "app/BirdStatus.h"

#include <string.h>

#include "app/Printable.h"
#include "updater/BirdFile.h"

namespace {

const uint32_t kInfoFieldSize = 16;

// Field `index` (0 to 3) of an info block: up to 16 characters, ending early
// at a zero byte or at the end of the block data.
std::string sInfoField(const BirdFileBlockClass& block, uint32_t index) {
  uint32_t start = index * kInfoFieldSize;
  if (!block.data || block.length <= start) return std::string();
  uint32_t avail = block.length - start;
  uint32_t size = avail < kInfoFieldSize ? avail : kInfoFieldSize;
  const char* field = (const char*)block.data + start;
  const void* nul = memchr(field, 0, size);
  // The file came from a server: its texts must not drive the terminal.
  return Printable(std::string(field, nul ? (const char*)nul - field : size));
}

}  // namespace

std::string GetBIRDBuildInfo(BirdFileClass& file) {
  BirdFileBlockClass* info = file.FindBlockType(BirdFileClass::BLOCK_INFO, nullptr);
  if (!info) return std::string();
  return "\n\t\t\tBuild:   " + sInfoField(*info, 0) + "\n\t\t\tVersion: " + sInfoField(*info, 1) +
         "\n\t\t\tSerial#: " + sInfoField(*info, 2) + "\n\t\t\tModel:   " + sInfoField(*info, 3) +
         "\n\t\t\t";
}

std::string GetBIRDFileStatus(const char* path, BirdFileClass& file) {
  std::string status = BirdFileClass::VerifyFile(path) ? "verified" : "*** invalid file format ***";
  file.Load(path);
  if (file.blockCount != 0) status += ", valid firmware blocks";
  if (file.FindBlockType(BirdFileClass::BLOCK_SERIAL_OFFSETS, nullptr))
    status += ", offline compatible";
  return status;
}

bool BIRDHoldsSerial(BirdFileClass& file, uint32_t serial) {
  uint8_t pattern[4] = {(uint8_t)serial, (uint8_t)(serial >> 8), (uint8_t)(serial >> 16),
                        (uint8_t)(serial >> 24)};
  return file.ValidateData(pattern, sizeof(pattern));
}
