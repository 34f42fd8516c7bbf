// Choosing the recovery file for a chip: the update server's answer for its
// fingerprint, stored in the store entry of the device (else "RECOVER").
#include "app/RecoveryFile.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "app/Commands.h"
#include "app/Log.h"
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

bool Get_Firmware_Recovery_File(UpdaterClass* store, Parameters* params,
                                const unsigned int* fingerprint) {
  ServerCommClass server(params->serverUrl.c_str(), ServerCommClass::DEFAULT_BUFFER_SIZE);
  unsigned int serial = 0;
  unsigned int number = 0;
  std::string content;
  if (!server.GetRecoveryInfo(fingerprint, serial, number, content)) {
    Log::FPrintf(
        stdout, 0,
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
  unsigned char* data =
      content.empty() ? nullptr
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
    written =
        entry->Write_Birdfile(fileName.c_str(), data, length, BirdFileClass::VerifyFile, &error);
  free(data);
  if (!entry) return false;
  std::string path = BuildPath(entry->path.c_str(), entry->name.c_str(), fileName.c_str(), nullptr);
  if (written == aErrParse) {
    Log::FPrintf(
        stdout, 0,
        "ERROR ==> The server's recovery file is not a valid BIRD file; nothing stored.\n");
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
