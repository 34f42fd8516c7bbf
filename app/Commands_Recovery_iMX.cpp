// The i.MX RT half of "-U -t RECOVER": fingerprint through the boot ROM, the
// recovery file for it from the update server, then the recovery procedure.
#include <stdint.h>

#include "app/Log.h"
#include "app/Recovery.h"
#include "app/RecoveryFile.h"
#include "link/aTime.h"
#include "updater/Updater.h"

bool Firmware_Recovery_iMX(UpdaterClass* store, Parameters* params) {
  UpdaterClass::echo_bytes = params->echo;

  uint64_t fingerprint = UpdaterClass::GetFingerPrint_iMX(params->serialPort);
  unsigned int words[4] = {0, 0, (unsigned int)(fingerprint >> 32), (unsigned int)fingerprint};
  Log::FPrintf(stdout, 0, "\tGot device fingerprint [ %08X %08X %08X %08X ]\n", words[0], words[1],
               words[2], words[3]);

  // A fingerprint that could not be read is 0. The server is never asked
  // about it: its answer would belong to some other chip. A file given with
  // "-f" is still used.
  if (fingerprint == 0 && params->birdFile.empty()) {
    Log::FPrintf(stdout, 0,
                 "ERROR ==> Could not read the chip fingerprint through [%s]; nothing recovered.\n",
                 params->serialPort.c_str());
    return false;
  }
  if (fingerprint != 0 && !Get_Firmware_Recovery_File(store, params, words)) {
    Log::FPrintf(stdout, 0, "Could not retrieve valide .bird file:\n");
    return false;
  }

  unsigned long start = aTime_GetMSTicks();
  bool recovered =
      store->DeviceRecovery_iMX(params->serialPort, params->linkType, params->serialNumber,
                                params->birdFile.empty() ? nullptr : params->birdFile.c_str());
  if (recovered)
    Log::FPrintf(stdout, 0, "Completed updating firmware on device [%08X]\n", params->serialNumber);
  else
    Log::FPrintf(stdout, 0, "Error transfering firmware on device [%08X]\n", params->serialNumber);
  Log::FPrintf(stdout, 0, "Update time: %.4f sec\n", (aTime_GetMSTicks() - start) / 1000.0);
  Log::FPrintf(stdout, 0, "END of Firmware_Recovery via Serial Interface(%s)\n",
               params->serialPort.c_str());
  // The i.MX path is the last one the recovery entry tries, so a false here
  // only fails the run: a recovery that did not complete must not end with
  // exit status 0.
  return recovered;
}
