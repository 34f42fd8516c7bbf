// The firmware update of a working module: validate the file, connect and
// check the module, transfer and start the loader, transfer the firmware,
// reboot, record the outcome.
#include "updater/UpdateFirmware.h"

#include <string.h>
#include <time.h>

#include <memory>
#include <string>

#include "app/Log.h"
#include "link/aLink.h"
#include "link/aVersion.h"
#include "protocol/QuillnodeNetwork.h"
#include "updater/BirdFile.h"
#include "updater/History.h"
#include "updater/KeyValueStore.h"
#include "updater/Updater.h"

namespace {

const char* sErrorText(aErr error) { return NetworkClass::GetErrorText(error); }

// The local time as ctime writes it, without the newline:
// "Sun Dec  6 17:25:41 2026".
std::string sCTimeNow() {
  time_t now = time(nullptr);
  char text[32] = "";
  if (!ctime_r(&now, text)) return std::string();
  size_t length = strlen(text);
  if (length > 0 && text[length - 1] == '\n') text[length - 1] = '\0';
  return text;
}

// Connects to `target`, once more at once when the first try fails.
aErr sConnectTwice(NetworkClass& net, linkType link, unsigned int serial, unsigned int target) {
  aErr err = net.Connect(link, target, false);
  if (err == aErrNone) return aErrNone;
  Log::FPrintf(stdout, DEBUG_Updater, "Error connecting to [%08X]. Trying to connect again:\n",
               serial);
  return net.Connect(link, target, false);
}

// A file worth updating a module with: at least one firmware block, and
// every firmware block holds more than its 4-byte address (a shorter one has
// nothing to write, and the module would be "updated" with nothing).
bool sFirmwareBlocksHaveImages(BirdFileClass& bird) {
  BirdFileBlockClass* block = bird.FindBlockType(BirdFileClass::BLOCK_FIRMWARE, nullptr);
  if (!block) return false;
  for (; block; block = bird.FindBlockType(BirdFileClass::BLOCK_FIRMWARE, block)) {
    if (block->length <= 4 || !block->data) return false;
  }
  return true;
}

}  // namespace

bool _UpdateFirmware_ValidateBirdFile(BirdFileClass** bird, unsigned int serial, const char* path) {
  if (!bird) return false;
  *bird = nullptr;
  if (!path) {
    Log::FPrintf(stdout, DEBUG_Updater, "UpdateFirmware requires a BIRD filename.\n");
    return false;
  }
  if (!BirdFileClass::VerifyFile(path)) {
    Log::FPrintf(stdout, DEBUG_Updater,
                 "UpdateFirmware: BIRD file [%s] has an invalid file format.\n", path);
    return false;
  }
  std::unique_ptr<BirdFileClass> file(new BirdFileClass(path));
  if (file->blocks.empty() || !sFirmwareBlocksHaveImages(*file)) {
    Log::FPrintf(stdout, 0, "Error:  No valid firmware blocks in the BIRD file.\n");
    return false;
  }
  std::string description = ", valid firmware blocks";
  if (file->FindBlockType(BirdFileClass::BLOCK_SERIAL_OFFSETS, nullptr)) {
    description += ", offline compatible";
    file->offline = true;
  } else if (!file->ValidateSerialNumber(serial)) {
    char fileSerial[16] = "";
    file->GetSerialNumber(fileSerial);
    Log::FPrintf(stdout, 0,
                 "Error: Update command must specify an OFFLINE or device specific device BIRD "
                 "file.\n");
    Log::FPrintf(stdout, 0, "Error: Bird serial number [%s] != [%08X]\n", fileSerial, serial);
    return false;
  }
  Log::FPrintf(stdout, DEBUG_Updater, "Valid birdfile [%s] %d bytes%s\n", path, (int)file->dataSize,
               description.c_str());
  *bird = file.release();
  return true;
}

bool _UpdateFirmware_ValidateModule(BirdFileClass* bird, NetworkClass& net, linkType link,
                                    unsigned int serial, unsigned char module,
                                    unsigned int routerSerial, bool overrideModel,
                                    DeviceHistory& history) {
  if (!bird) return false;
  Log::FPrintf(stdout, DEBUG_Updater, "UpdateFirmware() Connecting to device: [%08x]\n", serial);
  unsigned int target = routerSerial != 0 ? routerSerial : serial;
  aErr err = sConnectTwice(net, link, serial, target);
  if (err != aErrNone) {
    Log::FPrintf(stdout, 0, "Error connecting to [%08X] ==> [%s].\n", serial, sErrorText(err));
    return false;
  }

  unsigned char connectedModule = net.GetModuleAddress();
  if (module != 0) net.moduleAddress = module;

  unsigned int actual = net.GetSerialNumber();
  if (actual != serial) {
    Log::FPrintf(stdout, 0,
                 "Connected device does not match desired serial number [%08X != %08X]\n", serial,
                 actual);
    return false;
  }

  unsigned char model = net.GetModel();
  const char* modelName = NetworkClass::GetModelName(model);
  if (!bird->ValidateModel(modelName)) {
    Log::FPrintf(stdout, 0, "Connected device model and Bird file model do not match [%s]\n",
                 modelName);
    if (!overrideModel) return false;
    Log::FPrintf(stdout, 0,
                 "****\n***** OVERRIDING INVALID BIRD MODEL [%s] for device [%08X].\n****\n",
                 modelName, serial);
  }

  unsigned char router = net.GetRouterAddress();
  if (router != connectedModule)
    Log::FPrintf(stdout, 0, "Router number not to connected device [%02X] != [%02X], \n", router,
                 connectedModule);

  unsigned int version = net.GetVersion();
  int major = aVersion_ParseMajor(version);
  int minor = aVersion_ParseMinor(version);
  int patch = (int)aVersion_ParsePatch(version);
  Log::FPrintf(stdout, DEBUG_Updater,
               "Device:[%08X], Module:[%02X], Model:[%02X, %s], Firmware Version:%3d.%d.%d\n",
               actual, net.moduleAddress, model, modelName, major, minor, patch);

  history.Log(0, "Current settings:\n");
  history.Log(0, "\tSerial#:[%08X, %d]\n", actual, (int)actual);
  history.Log(0, "\tModule#:[%02X]\n", net.moduleAddress);
  history.Log(0, "\tModel#:[%02X, %s]\n", model, modelName);
  history.Log(0, "\tFirmware Version:%3d.%d.%d\n", major, minor, patch);
  history.Log(0, "Updating device from BIRD file: [%s]\n", bird->filename.c_str());

  if (bird->offline) {
    Log::FPrintf(stdout, DEBUG_Updater, "Setting serial number into firmware... ");
    if (!bird->ReplaceSerialNumber(actual)) {
      Log::FPrintf(stdout, DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      return false;
    }
    Log::FPrintf(stdout, DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }
  return true;
}

aErr _UpdateFirmware_TransferLoader(NetworkClass& net, BirdFileClass* bird) {
  if (!bird) return aErrParam;
  aErr status = net.LoaderInit();
  if (status != aErrNone) {
    Log::FPrintf(stdout, DEBUG_Updater, "Error starting loader [%d, %s].\n", status,
                 sErrorText(status));
    return status;
  }
  Log::FPrintf(stdout, 0, "Transferring loader to device\n");
  int blocks = 0;
  unsigned int total = 0;
  for (BirdFileBlockClass* block = bird->FindBlockType(BirdFileClass::BLOCK_LOADER, nullptr);
       block && status == aErrNone;
       block = bird->FindBlockType(BirdFileClass::BLOCK_LOADER, block)) {
    Log::FPrintf(stdout, 0, "Transferring loader block %d, %d bytes\n", blocks, (int)block->length);
    unsigned short blockSize = 0;  // the loader takes its blocks whole
    status = net.TransferPrepare(block->data, block->length, block->flags, &blockSize);
    // Modules that load without preparing do not answer PREPARE.
    if (status == aErrTimeout) status = aErrNone;
    if (status != aErrNone) {
      Log::FPrintf(stdout, DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", status,
                   sErrorText(status));
      break;
    }
    status = net.LoaderTransfer(block->data, block->length);
    if (status != aErrNone) {
      Log::FPrintf(stdout, DEBUG_Updater, "Error loader transfer [%d, %s].\n", status,
                   sErrorText(status));
      break;
    }
    ++blocks;
    total += block->length;
  }
  Log::FPrintf(stdout, 0, "Transferred %d blocks, %d total bytes\n", blocks, (int)total);
  if (status == aErrNone) {
    Log::FPrintf(stdout, 0, "Starting Load on Device\n");
    status = net.LoaderStart();
    if (status != aErrNone)
      Log::FPrintf(stdout, 0, "Error starting loader [%d, %s].\n", status, sErrorText(status));
  }
  return status;
}

aErr _UpdateFirmware_TransferFirmware(NetworkClass& net, BirdFileClass* bird,
                                      DeviceHistory& history) {
  if (!bird) return aErrParam;
  Log::FPrintf(stdout, DEBUG_Updater, "Transferring firmware to device \n");
  aErr status = aErrNone;
  int blocks = 0;
  unsigned int total = 0;
  unsigned short blockSize = 0;
  for (BirdFileBlockClass* block = bird->FindBlockType(BirdFileClass::BLOCK_FIRMWARE, nullptr);
       block && status == aErrNone;
       block = bird->FindBlockType(BirdFileClass::BLOCK_FIRMWARE, block)) {
    Log::FPrintf(stdout, 0, "Transferring firmware block %d, %d bytes\n", blocks,
                 (int)block->length);
    status = net.TransferPrepare(block->data, block->length, block->flags, &blockSize);
    if (status != aErrNone) {
      Log::FPrintf(stdout, DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", status,
                   sErrorText(status));
      break;
    }
    status = net.FirmwareTransfer(block->data, block->length, blockSize);
    if (status != aErrNone) {
      Log::FPrintf(stdout, DEBUG_Updater, "Error firmware transfer [%d, %s].\n", status,
                   sErrorText(status));
      break;
    }
    ++blocks;
    total += block->length;
  }
  Log::FPrintf(stdout, 0, "Transferred %d blocks, %d total bytes\n", blocks, (int)total);
  if (status == aErrNone) {
    history.Log(0, "Update successful. Transferred %d blocks, %d total bytes\n", blocks,
                (int)total);
    Log::FPrintf(stdout, DEBUG_Updater, "Rebooting Device\n");
    status = net.LoaderReboot();
  }
  return status;
}

aErr _UpdateFirmware_Cleanup(BirdFileClass** bird, KeyValueStore& settings, NetworkClass& net,
                             unsigned int serial, aErr status, linkType link,
                             unsigned int routerSerial) {
  if (status == aErrNone && bird && *bird) {
    settings.Add("LAST_TRANSFER_VERSION", (*bird)->filename);
    settings.Add("LAST_TRANSFER_DATE", sCTimeNow());
    // The firmware is in the module by now; a record that cannot be written
    // must not go unnoticed, but it does not undo the update.
    if (!settings.Save())
      Log::FPrintf(stdout, 0,
                   "Error: Could not save the update record in the device settings [%s]: %s.\n",
                   settings.filename.c_str(), strerror(settings.SaveError()));
  }
  if (status != aErrNone) {
    Log::FPrintf(stdout, 0, "Device Error [%08X] ==> [%d, %s].\n", serial, status,
                 sErrorText(status));
    Log::FPrintf(stdout, DEBUG_Updater, "Link status = %d [%s]\n", (int)aLink_GetStatus(net.linkId),
                 "");
  } else if (routerSerial != 0) {
    // The device has just rebooted: its own replies cannot be relied on, and
    // the connection's address query is answered by the router at the end of
    // the link. The device is the one the commands were addressed to.
    status = UpdaterClass::ResetRouterAddress(link, routerSerial, serial, net.moduleAddress);
    if (status != aErrNone)
      Log::FPrintf(stdout, 0,
                   "Error restoring router number to updated network device[%08X] ==> [%d, %s].\n",
                   serial, status, sErrorText(status));
  }
  if (bird) {
    delete *bird;
    *bird = nullptr;
  }
  net.Disconnect();
  net.Release();
  Log::FPrintf(stdout, DEBUG_Updater, "Device Disconnected\n");
  return status;
}

bool UpdaterClass::UpdateFirmware(linkType link, unsigned int serial, const char* birdFile,
                                  unsigned char module, unsigned int routerSerial,
                                  bool overrideModel) {
  BirdFileClass* bird = nullptr;
  if (!_UpdateFirmware_ValidateBirdFile(&bird, serial, birdFile)) return false;
  NetworkClass net(LINK_INVALID);
  if (!_UpdateFirmware_ValidateModule(bird, net, link, serial, module, routerSerial, overrideModel,
                                      history)) {
    delete bird;
    return false;
  }
  Log::FPrintf(stdout, DEBUG_Updater, "Updating device firmware: \n");
  aErr status = _UpdateFirmware_TransferLoader(net, bird);
  if (status == aErrNone) status = _UpdateFirmware_TransferFirmware(net, bird, history);
  // A directory without a settings file yet: the record goes into this
  // directory, not into a ".settings" of the working directory.
  if (settings.filename.empty() && !path.empty())
    settings.filename = BuildPath(path.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
  status = _UpdateFirmware_Cleanup(&bird, settings, net, serial, status, link, routerSerial);
  return status == aErrNone;
}
