// Serial ISP recovery: writes a chip-bound recovery BIRD file into the flash
// of an LPC17xx through its boot ROM, in chunks staged in RAM.
#include <string.h>

#include <string>
#include <vector>

#include "app/Log.h"
#include "link/aErr.h"
#include "recovery/NXPSerial.h"
#include "updater/BirdFile.h"
#include "updater/Updater.h"

namespace {

const uint32_t kChunkSize = 4096;
// Sectors 0 to 29: the whole flash of the largest part (512 KB).
const int kLastSector = 29;

// A file worth erasing the chip for: at least one firmware block (a body that
// did not load has none, and would leave the chip erased yet "recovered"),
// and every firmware block long enough for its 4-byte address field (a
// shorter one would make the image length negative).
bool sFirmwareBlocksWellFormed(BirdFileClass& bird) {
  BirdFileBlockClass* block = bird.FindBlockType(BirdFileClass::BLOCK_FIRMWARE, nullptr);
  if (block == nullptr) return false;
  for (; block; block = bird.FindBlockType(BirdFileClass::BLOCK_FIRMWARE, block)) {
    if (block->length < 4 || block->data == nullptr) return false;
  }
  return true;
}

// One chunk: staged in RAM, then copied into the sectors it covers. The
// staging write is padded with 0xFF (erased flash) up to the copy length, so
// that the copy never carries RAM left over from the previous chunk into
// flash beyond the image.
aErr sWriteChunk(NXPSerialClass* isp, uint32_t address, const uint8_t* image, uint32_t chunk,
                 std::vector<uint8_t>* staging) {
  uint32_t copyLength = NXPSerialClass::CopyLength(chunk);
  staging->assign(copyLength, 0xFF);
  memcpy(staging->data(), image, chunk);

  Log::FPrintf(stdout, DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n",
               (int)chunk, address);
  Log::FPrintf(stdout, DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", (int)chunk,
               NXPSerialClass::WRITE_ADDRESS);
  aErr status = isp->Write(NXPSerialClass::WRITE_ADDRESS, copyLength, staging->data());
  if (status != aErrNone) return status;

  int first = NXPSerialClass::SectorFromAddress(address);
  int last = NXPSerialClass::SectorFromAddress(address + chunk - 1);
  Log::FPrintf(stdout, DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", first, last);
  status = isp->Prepare(first, last);
  if (status != aErrNone) return status;

  Log::FPrintf(stdout, DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", (int)copyLength,
               NXPSerialClass::WRITE_ADDRESS, address);
  return isp->CopyToFlash(address, NXPSerialClass::WRITE_ADDRESS, copyLength);
}

// Writes every firmware block; stops at the first error or at a block whose
// image is exactly 4 bytes. `status` is the result of switching the echo
// for the transfer; nothing is written when it is an error.
aErr sTransferBlocks(NXPSerialClass* isp, BirdFileClass& bird, aErr status) {
  int blocks = 0;
  long total = 0;
  std::vector<uint8_t> staging;
  for (BirdFileBlockClass* block = bird.FindBlockType(BirdFileClass::BLOCK_FIRMWARE, nullptr);
       block && status == aErrNone;
       block = bird.FindBlockType(BirdFileClass::BLOCK_FIRMWARE, block)) {
    Log::FPrintf(stdout, 0, "Transferring firmware block %d, %d bytes\n", blocks,
                 (int)block->length);
    uint32_t address = BirdFileClass::GetInt(block->data);
    const uint8_t* image = block->data + 4;
    uint32_t n = block->length - 4;
    if (n == 4) break;
    Log::FPrintf(stdout, DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n",
                 (int)n, address);
    uint32_t offset = 0;
    uint32_t chunk = kChunkSize;
    while (offset < n && status == aErrNone) {
      if (n - offset < chunk) chunk = n - offset;
      status = sWriteChunk(isp, address, image + offset, chunk, &staging);
      if (status == aErrNone) {
        address += chunk;
        offset += chunk;
        printProgress((double)offset / n);
      }
    }
    Log::FPrintf(stdout, 0, "\r%85s\r", "");
    total += offset;
    blocks += 1;
  }
  Log::FPrintf(stdout, 0, "Transferred %d blocks, %d total bytes\n", blocks, (int)total);
  aErr echoStatus = isp->SetEcho(true);
  if (status == aErrNone) status = echoStatus;
  return status;
}

}  // namespace

bool UpdaterClass::DeviceRecovery(NXPSerialClass* isp, const char* birdFile) {
  if (isp == nullptr || birdFile == nullptr || birdFile[0] == '\0') {
    Log::FPrintf(stdout, DEBUG_Updater,
                 "DeviceRecovery requires a serial device and BIRD filename.\n");
    return false;
  }
  if (!BirdFileClass::VerifyFile(birdFile)) {
    Log::FPrintf(stdout, DEBUG_Updater,
                 "DeviceRecovery: BIRD file [%s] has an invalid file format.\n", birdFile);
    return false;
  }
  BirdFileClass bird(birdFile);
  if (!sFirmwareBlocksWellFormed(bird)) {
    Log::FPrintf(stdout, DEBUG_Updater,
                 "DeviceRecovery: BIRD file [%s] has an invalid file format.\n", birdFile);
    return false;
  }
  std::string description;
  if (!bird.blocks.empty()) description = ", valid firmware blocks";

  if (bird.FindBlockType(BirdFileClass::BLOCK_SERIAL_OFFSETS, nullptr)) {
    Log::FPrintf(stdout, DEBUG_Updater,
                 "Recovery command does not currently support an OFFLINE BIRD file (because it is "
                 "not device specific).\n");
    return false;
  }
  if (!bird.DecodeFirmwareBlocks(isp->deviceID)) {
    Log::FPrintf(stdout, DEBUG_Updater,
                 "Update command could not decode firware blocks in from BIRD file.\n");
    return false;
  }
  if (!bird.ReplaceVectorChecksum()) {
    Log::FPrintf(
        stdout, DEBUG_Updater,
        "Update command could not update the interrupt vector checksum in the BIRD file.\n");
    return false;
  }
  Log::FPrintf(stdout, DEBUG_Updater, "Valid birdfile [%s] %d bytes%s\n", birdFile,
               (int)bird.dataSize, description.c_str());
  Log::FPrintf(stdout, DEBUG_Updater, "DeviceRecovery: Connecting to serial port: [%s]\n",
               isp->portName().c_str());

  aErr status = isp->GetDeviceID();
  Log::FPrintf(stdout, DEBUG_Updater, "DeviceRecovery: Device Fingerprint: [%08X %08X %08X %08X]\n",
               isp->deviceID[0], isp->deviceID[1], isp->deviceID[2], isp->deviceID[3]);
  if (status == aErrNone) {
    Log::FPrintf(stdout, DEBUG_Updater, "\n\tUnlock Memory:\n");
    status = isp->Unlock();
  }
  if (status == aErrNone) {
    Log::FPrintf(stdout, DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    status = isp->Prepare(0, kLastSector);
  }
  if (status == aErrNone) {
    Log::FPrintf(stdout, DEBUG_Updater, "\n\tErase all memory before update:\n");
    status = isp->Erase(0, kLastSector);
  }
  if (status == aErrNone) {
    status = isp->SetEcho(echo_bytes);
    Log::FPrintf(stdout, DEBUG_Updater, "Updating device firmware: \n");
    Log::FPrintf(stdout, DEBUG_Updater, "Transferring firmware to device from [%s]\n", birdFile);
    status = sTransferBlocks(isp, bird, status);
  }

  if (status == aErrNone) {
    Log::FPrintf(stdout, 0, "Rebooting Device\n");
    status = isp->ExecuteFrom(0);
  } else {
    Log::FPrintf(stdout, 0, "Recovery Error transfering data to device[%08X] ==> [%d, %s].\n",
                 isp->deviceID[0], (int)status, aErr_Text(status));
  }
  return status == aErrNone;
}
