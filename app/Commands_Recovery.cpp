// "-N" (read an NXP chip's fingerprint) and "-U -t RECOVER -s PORT" (recover
// a module through its processor's boot ROM).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "app/Commands.h"
#include "app/Log.h"
#include "app/Recovery.h"
#include "link/aTime.h"
#include "recovery/NXPSerial.h"
#include "server/ServerComm.h"
#include "updater/BirdFile.h"
#include "updater/Updater.h"

using Vorlaine::Updater::ServerCommClass;

namespace {

const char kRecoverEntry[] = "RECOVER";

// The store entry that keeps the recovery file of `serial`: the device's own,
// else "RECOVER", created on first use. Null when none can be had.
UpdaterItemClass* sRecoveryEntry(UpdaterClass* store, unsigned int serial) {
  UpdaterItemClass* entry = serial != 0 ? store->Find(serial) : nullptr;
  if (!entry) entry = store->Find(kRecoverEntry);
  if (!entry) entry = store->Create(kRecoverEntry);
  if (!entry || !entry->updater) {
    Log::FPrintf(stdout, 0, "Could not create directory for storing BIRD file.\n");
    return nullptr;
  }
  return entry;
}

}  // namespace

Outcome Entry_Fingerprint(Parameters& params) {
  Log::FPrintf(stdout, 0, "Getting NXP device fingerprint:\n");
  if (params.serialPort.empty()) {
    Log::FPrintf(stdout, 0, "\tERROR ==> Must specify the serial port used for connecting\n\n");
    return Outcome::Failed;
  }
  NXPSerialClass isp;
  if (isp.Connect(params.serialPort.c_str(), params.baudRate) != aErrNone) {
    Log::FPrintf(stdout, 0, "ERROR ==> Could not open serial port\n");
    return Outcome::EndRun;
  }
  Log::FPrintf(stdout, DEBUG_APP, "\n\tSync to Device:\n");
  if (isp.Sync() != aErrNone) {
    Log::FPrintf(stdout, 0, "ERROR ==> Could not communicate with device over serial port\n");
    return Outcome::EndRun;
  }
  Log::FPrintf(stdout, DEBUG_APP, "\n\tGet Info from Device:\n");
  if (isp.GetDeviceID() != aErrNone) {
    Log::FPrintf(stdout, 0, "\tERROR ==> Got no response from chip\n");
    return Outcome::Failed;
  }
  Log::FPrintf(stdout, 0, "\t[ %08X %08X %08X %08X ]\n", isp.deviceID[0], isp.deviceID[1],
               isp.deviceID[2], isp.deviceID[3]);
  return Outcome::Done;
}

Outcome Entry_Recovery(Parameters& params, UpdaterClass& store) {
  if (params.serialPort == "USB")
    return Firmware_Recovery_iMX(&store, &params) ? Outcome::Done : Outcome::Failed;
  bool recovered = false;
  if (Firmware_Recovery(&store, &params, &recovered))
    return recovered ? Outcome::Done : Outcome::Failed;
  return Firmware_Recovery_iMX(&store, &params) ? Outcome::Done : Outcome::Failed;
}

bool Firmware_Recovery(UpdaterClass* store, Parameters* params, bool* recovered) {
  if (recovered) *recovered = false;
  UpdaterClass::echo_bytes = params->echo;
  Log::FPrintf(stdout, 0, "Firmware_Recovery via Serial Interface:\n");

  NXPSerialClass isp;
  if (isp.Connect(params->serialPort.c_str(), params->baudRate) != aErrNone) {
    Log::FPrintf(stdout, 0, "ERROR ==> Could not open serial port.\n");
    isp.Disconnect();
    return false;
  }
  Log::FPrintf(stdout, DEBUG_APP, "\n\tSync to Device:\n");
  if (isp.Sync() != aErrNone) {
    Log::FPrintf(stdout, 0, "ERROR ==> Syncing Failed. Is this board provisioned?\n");
    isp.Disconnect();
    return false;
  }
  Log::FPrintf(stdout, DEBUG_APP, "\n\tGet Info from Device:\n");
  if (isp.GetDeviceID() == aErrNone) {
    Log::FPrintf(stdout, 0, "\tGot device fingerprint [ %08X %08X %08X %08X ]\n", isp.deviceID[0],
                 isp.deviceID[1], isp.deviceID[2], isp.deviceID[3]);
    unsigned int fingerprint[4] = {isp.deviceID[0], isp.deviceID[1], isp.deviceID[2],
                                   isp.deviceID[3]};
    if (!Get_Firmware_Recovery_File(store, params, fingerprint)) return false;
  }
  Log::FPrintf(stdout, DEBUG_APP, "\n\tUnlock Memory:\n");
  isp.Unlock();

  unsigned long start = aTime_GetMSTicks();
  bool ok = UpdaterClass::DeviceRecovery(&isp, params->birdFile.c_str());
  if (!ok) Log::FPrintf(stdout, 0, "Error in Recovery process:\n\n");
  if (recovered) *recovered = ok;
  Log::FPrintf(stdout, 0, "Update time: %.4f sec\n", (aTime_GetMSTicks() - start) / 1000.0);
  Log::FPrintf(stdout, 0, "END of Firmware_Recovery via Serial Interface\n");
  isp.Disconnect();
  return true;
}

bool Get_Firmware_Recovery_File(UpdaterClass* store, Parameters* params,
                                const unsigned int* fingerprint) {
  ServerCommClass server(params->serverUrl.c_str(), ServerCommClass::DEFAULT_BUFFER_SIZE);
  unsigned int serial = 0;
  unsigned int number = 0;
  std::string content;
  if (!server.GetRecoveryInfo(fingerprint, serial, number, content)) {
    Log::FPrintf(stdout, 0,
                 "Invalid Device ID Cannot retreive the information from Vorlaine update server.\n");
    return false;
  }
  if (server.Failed()) {
    // A file given with "-f" does not need the server's answer.
    PrintServerFailure(server);
    return !params->birdFile.empty();
  }
  if (content.empty() || !params->birdFile.empty()) return true;

  if (!params->build.empty()) {
    // The build names a file in the store: only a plain build number may.
    if (!ServerCommClass::IsPlainBuildNumber(params->build)) {
      Log::FPrintf(stdout, 0, "ERROR ==> Build [%s] is not a build number.\n",
                   params->build.c_str());
      return false;
    }
    number = (unsigned int)strtoul(params->build.c_str(), nullptr, 10);
    std::string latest, firmware;
    if (!server.QueryBuild(serial, latest, firmware) || server.Failed()) {
      if (server.Failed()) PrintServerFailure(server);
      Log::FPrintf(stdout, 0, "Failed acquiring model string during recovery.\n");
      return false;
    }
    if (!server.GetBuild(serial, firmware, params->build, content) || server.Failed()) {
      if (server.Failed()) PrintServerFailure(server);
      Log::FPrintf(stdout, 0, "Failed acquiring specific build during recovery.\n");
      return false;
    }
  }

  std::string fileName = std::to_string(number) + ".bird";
  size_t length = 0;
  unsigned char* data = content.empty()
                            ? nullptr
                            : ServerCommClass::Base64Decode(content.c_str(), content.size(), &length);
  if (!data) {
    Log::FPrintf(stdout, 0, "ERROR ==> The server sent no valid recovery file; nothing stored.\n");
    return false;
  }
  UpdaterItemClass* entry = sRecoveryEntry(store, serial);
  // The new file replaces an old one of that name only once it is complete
  // and verified; the old one stays otherwise.
  aErr written = aErrNotFound;
  int error = 0;
  if (entry)
    written = entry->Write_Birdfile(fileName.c_str(), data, length, BirdFileClass::VerifyFile,
                                    &error);
  free(data);
  if (!entry) return false;
  std::string path = BuildPath(entry->path.c_str(), entry->name.c_str(), fileName.c_str(), nullptr);
  if (written == aErrParse) {
    Log::FPrintf(stdout, 0, "ERROR ==> The server's recovery file is not a valid BIRD file; nothing stored.\n");
    return false;
  }
  if (written != aErrNone) {
    Log::FPrintf(stdout, 0, "ERROR ==> Could not write [%s]: %s.\n", path.c_str(), strerror(error));
    return false;
  }
  Log::FPrintf(stdout, DEBUG_APP, "GetBuild BIRD [%s] %s.\n", path.c_str(), "VERIFIED");
  params->birdFile = path;
  entry->updater->history.Log("Recovering device, serial#: %08X, filename: %s", serial,
                              fileName.c_str());
  params->serialNumber = serial;
  return true;
}
