// The entries of the run order that this file carries out itself: the
// history message, the choice between update and recovery, and the BIRD
// file check.
#include "app/Commands.h"

#include <stdint.h>
#include <string.h>

#include <string>

#include "app/BirdStatus.h"
#include "app/Log.h"
#include "server/ServerComm.h"
#include "updater/BirdFile.h"
#include "updater/Updater.h"

void PrintServerFailure(const Vorlaine::Updater::ServerCommClass& server) {
  Log::FPrintf(stdout, 0, "ERROR ==> Update server [%s] failed: %s.\n", server.Url().c_str(),
               server.Failure().c_str());
}

Outcome Entry_HistoryMessage(Parameters& params, UpdaterClass& store) {
  if (!store.history.Log(0u, "%s", params.logMessage.c_str())) {
    Log::FPrintf(stdout, 0, "ERROR ==> Could not add the message to [%s]: %s.\n",
                 store.history.filename.c_str(), strerror(store.history.LastError()));
    return Outcome::Failed;
  }
  Log::FPrintf(stdout, 0, "LOGGING ==> %s\n", params.logMessage.c_str());
  return Outcome::Done;
}

Outcome Entry_UpdateOrRecover(Parameters& params, UpdaterClass& store) {
  bool portGiven = !params.serialPort.empty();
  bool recover = params.linkType == PARAM_LINK_RECOVER;
  if (!portGiven && !recover) return Entry_Update(params, store);
  if (portGiven && recover) return Entry_Recovery(params, store);
  Log::FPrintf(stdout, 0,
               "\nERROR ==> Must specify both the serial port and RECOVER link type.\n\n");
  return Outcome::Failed;
}

Outcome Entry_Check(Parameters& params) {
  const char* path = params.birdFile.c_str();
  BirdFileClass file;
  std::string status = GetBIRDFileStatus(path, file);
  status += BIRDHoldsSerial(file, params.serialNumber) ? ", serial number verifed"
                                                       : ", SERIAL NUMBER NOT VERIFIED";
  status += GetBIRDBuildInfo(file);

  Log::FPrintf(stdout, 0, "\t\t%s: %s\n", path, status.c_str());
  return Outcome::Done;
}
