// "-U" for a working module: choose the BIRD file, check it, find the link
// type and run the update procedure on the device's store directory;
// directly, or for a device behind a router, through the router.
#include <string>

#include "app/Commands.h"
#include "app/Discovery.h"
#include "app/Log.h"
#include "app/Printable.h"
#include "link/aFile.h"
#include "link/aTime.h"
#include "protocol/QuillnodeNetwork.h"
#include "server/ServerComm.h"
#include "updater/BirdFile.h"
#include "updater/Updater.h"

using Vorlaine::Updater::ServerCommClass;

namespace {

// What differs between a direct update and one through a router.
struct UpdateRoute {
  bool network;  // a device behind the router params->routerSerialNumber
  FILE* report;  // where the choice and failure messages go
};

// Chooses params->birdFile for the device `entry`: the given build, else the
// latest release, else the last installed file (which may have gone; the
// format check then reports it). False when there is nothing to try.
bool sChooseFile(UpdaterItemClass* entry, Parameters* params, FILE* report) {
  UpdaterClass* device = entry->updater;
  std::string dir = BuildPath(entry->path.c_str(), entry->name.c_str(), nullptr);

  if (!params->build.empty()) {
    std::string bare = BuildPath(dir.c_str(), params->build.c_str(), nullptr);
    std::string withExtension = bare + ".bird";
    if (aFile_Exists(bare.c_str())) {
      params->birdFile = bare;
    } else if (aFile_Exists(withExtension.c_str())) {
      params->birdFile = withExtension;
    } else {
      Log::FPrintf(report, 0, "Given build firmware file not found [%s][%s][%s].\n",
                   entry->path.c_str(), entry->name.c_str(), params->build.c_str());
      return false;
    }
  }

  if (params->birdFile.empty()) {
    ServerCommClass server(params->serverUrl.c_str(), ServerCommClass::DEFAULT_BUFFER_SIZE);
    std::string latest, firmware;
    bool answered = server.QueryBuild(params->serialNumber, latest, firmware);
    if (server.Failed()) {
      // Reported; the last installed file may still serve.
      PrintServerFailure(server);
    } else if (answered) {
      // The build names a file in the device's directory: only a name that is
      // safe there may, whatever the server sent (an empty one would name ".bird").
      if (!ServerCommClass::IsSafeBuildName(latest)) {
        Log::FPrintf(report, 0, "Latest release [%s] is not a build number; ignored.\n",
                     Printable(latest).c_str());
      } else {
        std::string candidate = BuildPath(dir.c_str(), (latest + ".bird").c_str(), nullptr);
        if (aFile_Exists(candidate.c_str()))
          params->birdFile = candidate;
        else
          Log::FPrintf(report, 0, "Latest release is firmware file not found [%s].\n",
                       candidate.c_str());
      }
    }
  }

  if (params->birdFile.empty()) {
    params->birdFile = device->settings.GetString("LAST_TRANSFER_VERSION");
    if (!params->birdFile.empty() && !aFile_Exists(params->birdFile.c_str()))
      Log::FPrintf(report, 0, "Last downloaded firmware file not found [%s].\n",
                   params->birdFile.c_str());
  }
  return !params->birdFile.empty();
}

bool sUpdate(UpdaterClass* store, Parameters* params, const UpdateRoute& route) {
  FILE* report = route.report;
  bool ok = true;
  UpdaterItemClass* entry = nullptr;
  if (params->serialNumber == 0) {
    Log::FPrintf(report, 0, "Update command must specify the specific device.\n");
    ok = false;
  } else {
    entry = store->Find(params->serialNumber);
    if (!entry || !entry->updater) {
      Log::FPrintf(report, DEBUG_APP, "Could not find device in our update history\n");
      Log::FPrintf(report, 0,
                   "Device is unknown. Try -D to discover device, then -U to Update firmware.\n");
      ok = false;
    }
  }

  if (params->birdFile.empty() && ok) {
    ok = sChooseFile(entry, params, report);
  } else if (!aFile_Exists(params->birdFile.c_str())) {
    // A file given with "-f", or none at all after a failure above.
    Log::FPrintf(report, 0, "BIRD firmware file does not exist [%s].\n", params->birdFile.c_str());
    ok = false;
  }
  if (ok && !BirdFileClass::VerifyFile(params->birdFile.c_str())) {
    Log::FPrintf(report, 0, "Error - Invalid BIRD formmated file [%s].\n",
                 params->birdFile.c_str());
    ok = false;
  }
  if (!ok) {
    Log::FPrintf(report, 0, "Could not locate a valid firmware file.\n");
    Log::FPrintf(report, 0,
                 "Use either -G to get current firmware or -f option to use specific file.\n");
    return false;
  }
  Log::FPrintf(stdout, DEBUG_APP, "Update using firmware file [%s].\n", params->birdFile.c_str());

  if (!params->linkTypeGiven) {
    NetworkClass finder(LINK_INVALID);
    finder.DiscoverLinkType(route.network ? params->routerSerialNumber : params->serialNumber);
    if (finder.connectionType != LINK_INVALID)
      params->linkType = finder.connectionType;
    else
      Log::FPrintf(report, 0, "Error could not discover the device on either USB or TCPIP.\n");
  }

  unsigned long start = aTime_GetMSTicks();
  bool updated;
  if (route.network)
    updated = entry->updater->UpdateFirmware(params->linkType, params->serialNumber,
                                             params->birdFile.c_str(), params->moduleNumber,
                                             params->routerSerialNumber, false);
  else
    updated = entry->updater->UpdateFirmware(params->linkType, params->serialNumber,
                                             params->birdFile.c_str(), 0, 0, params->overrideModel);
  if (updated) {
    Log::FPrintf(stdout, 0, "Completed updating firmware on device [%08X]\n", params->serialNumber);
  } else {
    Log::FPrintf(report, 0, "Error updating firmware on device [%08X]\n", params->serialNumber);
    ok = false;
  }
  if (!route.network)
    Log::FPrintf(stdout, 0, "Update time: %.4f sec\n", (aTime_GetMSTicks() - start) / 1000.0);
  return ok;
}

// Restarts the updated device through its router; nothing here is checked.
void sRebootThroughRouter(const Parameters& params) {
  NetworkClass net(LINK_INVALID);
  net.Connect(params.linkType, params.routerSerialNumber, false);
  net.moduleAddress = params.moduleNumber;
  Log::FPrintf(stdout, 0, "Rebooting Device\n");
  net.Reset();
  net.Disconnect();
  net.Release();
}

}  // namespace

bool Firmware_Update(UpdaterClass* store, Parameters* params) {
  return sUpdate(store, params, UpdateRoute{false, stdout});
}

bool Firmware_Indirect_Update(UpdaterClass* store, Parameters* params) {
  return sUpdate(store, params, UpdateRoute{true, stderr});
}

Outcome Entry_Update(Parameters& params, UpdaterClass& store) {
  if (params.serialNumber == 0) {
    Log::FPrintf(stdout, 0, "\nERROR ==> Must specify the specific device to be updated.\n\n");
    return Outcome::Failed;
  }
  Outcome outcome = Outcome::Done;
  if (params.routerSerialNumber != 0) {
    Log::FPrintf(stdout, 0, "Network Update of device [%08X] via [%08X][%02X]\n",
                 params.serialNumber, params.routerSerialNumber, params.moduleNumber);
    if (params.moduleNumber == 0) {
      Log::FPrintf(stdout, 0, "Discovering Module # of Network Device [%08X] thru [%08X]\n",
                   params.serialNumber, params.routerSerialNumber);
      Discover_Indirect_Module(params, store);
      Log::FPrintf(stdout, 0, "Using Module #[%02X] for Network Device\n", params.moduleNumber);
    }
    if (params.moduleNumber != 0) {
      if (Firmware_Indirect_Update(&store, &params))
        sRebootThroughRouter(params);
      else
        outcome = Outcome::Failed;
    } else {
      Log::FPrintf(stdout, 0,
                   "Error: Network Update must specify router device and network device's module "
                   "number.\n");
      outcome = Outcome::Failed;
    }
  } else if (!Firmware_Update(&store, &params)) {
    Log::FPrintf(stdout, 0, "Firmware Update Unsuccessful\n");
    outcome = Outcome::Failed;
  }
  Log::FPrintf(stdout, 0, "END Firmware Update\n");
  return outcome;
}
