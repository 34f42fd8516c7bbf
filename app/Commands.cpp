// The entries of the run order that this file carries out itself: the
// history message, the choice between update and recovery, and the BIRD
// file check.
#include "app/Commands.h"

#include <stdint.h>

#include <string>

#include "app/DeviceDisplay.h"
#include "app/Log.h"
#include "updater/BirdFile.h"
#include "updater/Updater.h"

Outcome Entry_HistoryMessage(Parameters& params, UpdaterClass& store) {
  store.history.Log(0u, "%s", params.logMessage.c_str());
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
  std::string status = BirdFileClass::VerifyFile(path) ? "verified" : "*** invalid file format ***";

  BirdFileClass file(path);
  if (file.blockCount != 0) status += ", valid firmware blocks";
  if (file.FindBlockType(BirdFileClass::BLOCK_SERIAL_OFFSETS, nullptr))
    status += ", offline compatible";
  uint8_t serial[4] = {(uint8_t)params.serialNumber, (uint8_t)(params.serialNumber >> 8),
                       (uint8_t)(params.serialNumber >> 16), (uint8_t)(params.serialNumber >> 24)};
  status += file.ValidateData(serial, sizeof(serial)) ? ", serial number verifed"
                                                      : ", SERIAL NUMBER NOT VERIFIED";
  status += GetBIRDBuildInfo(file);

  Log::FPrintf(stdout, 0, "\t\t%s: %s\n", path, status.c_str());
  return Outcome::Done;
}
