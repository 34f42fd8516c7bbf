// i.MX RT recovery: a RAM loader goes in through the boot ROM's serial
// download protocol, then the started loader is updated like any USB module
// running its loader.
#include "updater/DeviceRecovery_iMX.h"

#include <stdio.h>

#include <vector>

#include "app/Log.h"
#include "protocol/QuillnodeNetwork.h"
#include "recovery/SDPLoader.h"
#include "updater/BirdFile.h"
#include "updater/UpdateFirmware.h"
#include "updater/Updater.h"

namespace {

const char kHidPort[] = "USB";

// Gives `loader` the transport for `port` and opens it; `port` must outlive
// the loader.
aErr sOpenLoader(const std::string& port, SDPLoader& loader) {
  loader.setLoader(_iMX_CreateTransport(port));
  return loader.init();
}

}  // namespace

SDPLoader_Interface* _iMX_CreateTransport(const std::string& port) {
  if (port == kHidPort) return new HID_SDPLoader(IMX1050::VID, IMX1050::PID);
  return new Serial_SDPLoader(port.c_str());
}

aErr _UpdateFirmware_TransferLoader_iMX(BirdFileClass* bird, std::string port) {
  Log::FPrintf(stdout, 0, "Firmware_Recovery via Serial Interface (iMX):\n");
  if (bird == nullptr) return aErrParam;
  SDPLoader loader;
  aErr status = sOpenLoader(port, loader);
  if (status != aErrNone) return status;

  uint32_t address = 0;
  int k = 0;
  for (BirdFileBlockClass* block = bird->FindBlockType(BirdFileClass::BLOCK_LOADER, nullptr); block;
       block = bird->FindBlockType(BirdFileClass::BLOCK_LOADER, block), ++k) {
    const uint8_t* image = block->data;
    uint32_t size = block->data ? block->length : 0;
    if (size >= 4) {
      address = BirdFileClass::GetInt(block->data);
      image += 4;
      size -= 4;
    }
    std::vector<uint8_t> bytes(image, image + size);
    Log::FPrintf(stdout, DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\n", k,
                 bytes.size(), (int)address);
    if (loader.writeLoader(bytes, address) != 0) return aErrConnection;
  }

  uint32_t entry = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
  BirdFileBlockClass* entryBlock = bird->FindBlockType(BirdFileClass::BLOCK_LOADER_ENTRY, nullptr);
  if (entryBlock && entryBlock->data && entryBlock->length >= 4)
    entry = BirdFileClass::GetInt(entryBlock->data);
  loader.startLoader(entry);
  return aErrNone;
}

uint64_t UpdaterClass::GetFingerPrint_iMX(std::string port) {
  Log::FPrintf(stdout, 0, "Fetching Fingerprint via Serial Interface (iMX):\n");
  SDPLoader loader;
  if (sOpenLoader(port, loader) != aErrNone) {
    printf("Error initializing Loader");
    return 0;
  }
  uint64_t value = 0;
  if (loader.getFingerprint(value) != aErrNone) return 0;
  Log::FPrintf(stdout, 0, "Fingerprint: 0x%X%X\n", (unsigned)(value >> 32), (unsigned)value);
  return value;
}

bool UpdaterClass::DeviceRecovery_iMX(std::string port, linkType link, unsigned int serial,
                                      const char* birdFile) {
  BirdFileClass* bird = nullptr;
  if (!_UpdateFirmware_ValidateBirdFile(&bird, serial, birdFile)) return false;
  Log::FPrintf(stdout, DEBUG_Updater, "Updating device firmware: \n");
  aErr status = _UpdateFirmware_TransferLoader_iMX(bird, port);

  // The started loader shows up as a USB module with the device's serial
  // number; the connection's own search waits for it to appear.
  NetworkClass net(LINK_INVALID);
  if (status == aErrNone) status = net.Connect(LINK_USB, serial, false);
  if (status == aErrNone) {
    net.GetVersion();
    status = _UpdateFirmware_TransferFirmware(net, bird, history);
  }
  // A directory without a settings file yet: the record goes into this
  // directory, not into a ".settings" of the working directory.
  if (settings.filename.empty() && !path.empty())
    settings.filename = BuildPath(path.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
  status = _UpdateFirmware_Cleanup(&bird, settings, net, serial, status, link, 0);
  return status == aErrNone;
}
