#include "app/DeviceDisplay.h"

#include <stdint.h>
#include <stdio.h>

#include <string>

#include "app/BirdStatus.h"
#include "app/Log.h"
#include "app/Printable.h"
#include "protocol/QuillnodeNetwork.h"
#include "updater/BirdFile.h"
#include "updater/Updater.h"

namespace {

// The status text of a stored build file.
std::string sBuildStatus(const std::string& path, uint32_t serial, int model) {
  BirdFileClass file;
  std::string status = GetBIRDFileStatus(path.c_str(), file);
  status +=
      BIRDHoldsSerial(file, serial) ? ", serial number verifed" : ", SERIAL NUMBER NOT VERIFIED";
  status += file.ValidateModel(NetworkClass::GetModelName((unsigned)model))
                ? ", model verifed"
                : ", MODEL NOT VERIFIED";
  status += GetBIRDBuildInfo(file);
  return status;
}

}  // namespace

void DisplayDevice(UpdaterItemClass* entry, Parameters& params) {
  if (!entry || !entry->updater) return;
  UpdaterClass* device = entry->updater;
  Log::FPrintf(stdout, 0, "\n");
  uint32_t serial = device->settings.GetHex("SERIAL_NUMBER", 0x7FFFFFFF);
  NetworkClass probe(LINK_INVALID);
  bool available = probe.IsAvailable(params.linkType, serial);
  Log::FPrintf(stdout, 0, "\tSettings for device:\n");
  Log::FPrintf(stdout, 0, "\t%c[%s]\n", available ? '*' : ' ', entry->name.c_str());

  std::string firmware = device->settings.GetString("FIRMWARE");
  if (!firmware.empty()) Log::FPrintf(stdout, 0, "\t  Firmware: %s\n", Printable(firmware).c_str());
  std::string module = device->settings.GetString("MODULE_NUMBER");
  if (!module.empty()) Log::FPrintf(stdout, 0, "\t  Module: %s\n", Printable(module).c_str());
  int model = device->settings.GetInt("MODEL_NUMBER", -1);
  if (model >= 0)
    Log::FPrintf(stdout, 0, "\t  Model: %d [%s]\n", model,
                 NetworkClass::GetModelName((unsigned)model));
  std::string last = device->settings.GetString("LAST_TRANSFER_VERSION");
  if (!last.empty())
    Log::FPrintf(stdout, 0, "\t  Version of Last Update: %s\n", Printable(last).c_str());

  if (!device->items.empty()) {
    Log::FPrintf(stdout, 0, "\t  Builds:\n");
    for (UpdaterItemClass* item : device->items) {
      std::string path = BuildPath(device->path.c_str(), item->name.c_str(), nullptr);
      Log::FPrintf(stdout, 0, "\t\t%s [%d bytes] %s\n", Printable(item->name).c_str(),
                   (int)item->size, sBuildStatus(path, serial, model).c_str());
    }
    return;
  }
  if (params.birdFile.empty()) return;

  const char* path = params.birdFile.c_str();
  BirdFileClass file;
  std::string status = GetBIRDFileStatus(path, file);
  status += BIRDHoldsSerial(file, params.serialNumber) ? ", serial number verifed"
                                                       : ", serial number NOT verifed";
  uint8_t product[14];
  const char* name = "Tarlinx";
  for (int i = 0; i < 7; ++i) {
    product[2 * i] = (uint8_t)name[i];
    product[2 * i + 1] = 0;
  }
  if (file.ValidateData(product, sizeof(product))) {
    status += ", Tarlinx verifed";
  } else {
    status += ", Tarlinx NOT verifed";
    file.DumpBlocks(BirdFileClass::BLOCK_FIRMWARE);
  }
  status += GetBIRDBuildInfo(file);
  Log::FPrintf(stdout, 0, "\t\t%s [%d bytes] %s\n", path, (int)file.dataSize, status.c_str());
}
