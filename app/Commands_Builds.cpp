// "-G" (download a build into the store) and "-B" (list the builds the update
// server offers).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/Commands.h"
#include "app/Discovery.h"
#include "app/Log.h"
#include "app/Printable.h"
#include "server/ServerComm.h"
#include "updater/BirdFile.h"
#include "updater/Updater.h"

using Vorlaine::Updater::ServerCommClass;

Outcome Entry_Get(Parameters& params, UpdaterClass& store) {
  if (params.serialNumber == 0) {
    Log::FPrintf(stdout, 0, "ERROR ==> -G must specify a specific device via -d.\n");
    Log::FPrintf(stdout, 0, "\t --help for usage information\n");
    return Outcome::Failed;
  }
  uint32_t serial = params.serialNumber;
  Log::FPrintf(stdout, 0, "Retrieving firmware for device with serial number %08X.\n", serial);

  UpdaterItemClass* entry = store.Find(serial);
  if (!entry) {
    Log::FPrintf(stdout, DEBUG_APP, "Could not find device in our update history\n");
    entry = CreateNewDevice(store, serial, params.linkType);
    if (!entry) return Outcome::Done;
  }

  ServerCommClass server(params.serverUrl.c_str(), ServerCommClass::DEFAULT_BUFFER_SIZE);
  if (Log::IsActive(DEBUG_ServerComm)) server.Connect();

  std::string latest, firmware;
  if (!server.QueryBuild(serial, latest, firmware)) {
    Log::FPrintf(stdout, 0, "ERROR ==> -G no build information for device.\n");
    return Outcome::EndRun;
  }
  if (server.Failed()) {
    PrintServerFailure(server);
    return Outcome::Failed;
  }

  bool valid = false;
  if (params.build.empty()) {
    Log::FPrintf(stdout, 0, "\tNo build specified.\n");
    Log::FPrintf(stdout, 0, "\tUsing Latest build for %s device.\n", Printable(firmware).c_str());
    Log::FPrintf(stdout, 0, "\tFound build: %s.\n", Printable(latest).c_str());
    params.build = latest;
    valid = true;
  } else if (params.overrideModel) {
    Log::FPrintf(stdout, 0, "\tOverride specified, skipping validation of build %s.\n",
                 params.build.c_str());
    valid = true;
  } else {
    Log::FPrintf(stdout, 0, "\tValidating build %s with server.\n", params.build.c_str());
    std::vector<std::string> builds, versions;
    if (server.GetBuildList(serial, builds, versions) && !server.Failed()) {
      for (const std::string& b : builds)
        if (b == params.build) valid = true;
    } else {
      if (server.Failed()) PrintServerFailure(server);
      Log::FPrintf(stdout, 0, "ERROR ==> -G Failed to retrieve info from update server.\n");
    }
    if (valid) Log::FPrintf(stdout, 0, "\tBuild %s VALIDATED.\n", params.build.c_str());
  }
  if (!valid) {
    Log::FPrintf(stdout, 0, "ERROR ==> -G Invalid build requested.\n");
    return Outcome::Failed;
  }

  // The build names a file in the device's directory: only a name that is
  // safe there may, whatever the server sent (an empty one would name ".bird").
  if (!ServerCommClass::IsSafeBuildName(params.build)) {
    Log::FPrintf(stdout, 0, "ERROR ==> -G Build name [%s] is not a build number; nothing stored.\n",
                 Printable(params.build).c_str());
    return Outcome::Failed;
  }

  Log::FPrintf(stdout, 0, "\tRetrieving %s firmware.\n", Printable(firmware).c_str());
  std::string content;
  bool got = server.GetBuild(serial, firmware, params.build, content);
  if (server.Failed()) {
    PrintServerFailure(server);
    return Outcome::Failed;
  }
  if (got)
    Log::FPrintf(stdout, DEBUG_APP, "Get build for [%08X][%s][%s] ==> %d bytes [%.20s].\n", serial,
                 Printable(firmware).c_str(), params.build.c_str(), (int)content.size(),
                 Printable(content.substr(0, 20)).c_str());
  if (content.empty()) {
    Log::FPrintf(stdout, 0, "\nERROR ==> GetBuild failed to retreive a valid BIRD file.\n");
    return Outcome::Failed;
  }

  std::string fileName = params.build + ".bird";
  std::string path = BuildPath(entry->path.c_str(), entry->name.c_str(), fileName.c_str(), nullptr);
  size_t length = 0;
  unsigned char* data = ServerCommClass::Base64Decode(content.c_str(), content.size(), &length);
  if (!data) {
    Log::FPrintf(stdout, 0,
                 "\tERROR ==> The server's BIRD file is not valid Base64; nothing stored.\n");
    return Outcome::Failed;
  }
  // The new file replaces the old one only once it is complete and verified.
  int error = 0;
  aErr written =
      entry->Write_Birdfile(fileName.c_str(), data, length, BirdFileClass::VerifyFile, &error);
  free(data);
  if (written == aErrParse) {
    Log::FPrintf(stdout, 0, "\n\tERROR ==> Invalid bird file received from server.\n");
    return Outcome::Failed;
  }
  if (written != aErrNone) {
    Log::FPrintf(stdout, 0, "ERROR ==> Could not write [%s]: %s.\n", path.c_str(), strerror(error));
    return Outcome::Failed;
  }
  Log::FPrintf(stdout, DEBUG_APP, "Downloaded firmware into local file [%s]\n", path.c_str());
  Log::FPrintf(stdout, 0, "\tBuild %s VERIFIED.\n", params.build.c_str());
  return Outcome::Done;
}

Outcome Entry_Builds(Parameters& params, UpdaterClass& store) {
  (void)store;
  if (params.serialNumber == 0) {
    Log::FPrintf(stdout, 0, "Error must supply a serial number for the List Builds command\n");
    ShowUsage(false, false);
    return Outcome::Done;
  }
  if (params.routerSerialNumber != 0 && params.moduleNumber == 0) {
    Log::FPrintf(stdout, 0,
                 "Error: Getting Build list for networked device requires router serial number, "
                 "device serial number, and device module number.\n");
    return Outcome::Done;
  }
  ServerCommClass server(params.serverUrl.c_str(), ServerCommClass::DEFAULT_BUFFER_SIZE);
  if (Log::IsActive(DEBUG_ServerComm)) server.Connect();
  Log::FPrintf(stdout, 0, "\nBuild List for device[%08X]:\n", params.serialNumber);
  std::vector<std::string> builds, versions;
  if (!server.GetBuildList(params.serialNumber, builds, versions) || server.Failed()) {
    if (server.Failed()) PrintServerFailure(server);
    Log::FPrintf(stdout, 0, "Error getting build information from the Vorlaine Update Server.\n");
    return Outcome::Failed;
  }
  Log::FPrintf(stdout, 0, "\t%-15.15s\t%-15.15s\n", "Build", "Version");
  for (size_t i = 0; i < builds.size() && i < versions.size(); ++i)
    Log::FPrintf(stdout, 0, "\t%-15.15s\t%-15.15s\n", Printable(builds[i]).c_str(),
                 Printable(versions[i]).c_str());
  Log::FPrintf(stdout, 0, "\n\n");
  return Outcome::Done;
}
